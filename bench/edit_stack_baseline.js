// Node baseline for edit_stack_bench: JSON.parse and JSON.stringify of the same stored edit
// stack the C++ side wrote. Prints "parse <MB/s> stringify <MB/s>" (best round of each).
'use strict';
const fs = require('fs');

const text = fs.readFileSync(process.argv[2], 'utf8');
const rounds = Number(process.argv[3] || 5);
const repeat = Number(process.argv[4] || 1);
const mb = Buffer.byteLength(text, 'utf8') * repeat / 1e6;

function best(work) {
  let seconds = Infinity;
  for (let r = 0; r < rounds; r++) {
    const start = process.hrtime.bigint();
    for (let k = 0; k < repeat; k++) work();
    seconds = Math.min(seconds, Number(process.hrtime.bigint() - start) / 1e9);
  }
  return seconds;
}

let sink = 0;
const parse = mb / best(() => { sink += JSON.parse(text).version; });
const doc = JSON.parse(text);
const stringify = mb / best(() => { sink += JSON.stringify(doc).length; });
console.log(`parse ${parse.toFixed(1)} stringify ${stringify.toFixed(1)} sink ${sink > 0 ? 1 : 0}`);
