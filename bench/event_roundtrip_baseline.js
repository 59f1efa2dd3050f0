// Node baseline for event_roundtrip_bench: JSON.stringify + JSON.parse of the same event
// objects (read from the JSON lines the C++ side wrote). Prints "eps <best events/s> bytes <n>".
'use strict';
const fs = require('fs');

const events = fs.readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l.length > 0)
  .map((l) => JSON.parse(l));
const rounds = Number(process.argv[3] || 5);
const repeat = Number(process.argv[4] || 1);

let best = Infinity;
let bytes = 0;
for (let r = 0; r < rounds; r++) {
  const start = process.hrtime.bigint();
  bytes = 0;
  for (let k = 0; k < repeat; k++) {
    for (const e of events) {
      const text = JSON.stringify(e);
      const back = JSON.parse(text);
      bytes += text.length + (back === null ? 1 : 0);
    }
  }
  best = Math.min(best, Number(process.hrtime.bigint() - start) / 1e9);
}
console.log(`eps ${(events.length * repeat / best).toFixed(0)} bytes ${bytes}`);
