// Node baseline for stream_json_bench: the same line rules with JSON.parse, fed in 64 KiB
// chunks through a UTF-8 StringDecoder. Prints "mbps <MB/s> events <count>".
'use strict';
const fs = require('fs');
const { StringDecoder } = require('string_decoder');

const MAX = 200;

function isObject(v) {
  return typeof v === 'object' && v !== null && !Array.isArray(v);
}

function shorten(s, max) {
  s = s.trim();
  if (s.length <= max) return s;
  // Code points stand in for user-perceived characters; cheaper than Intl.Segmenter.
  let out = '';
  let n = 0;
  for (const cp of s) {
    if (n === max) return out + '\u2026';
    out += cp;
    n++;
  }
  return out;
}

function summarize(v, max) {
  if (v === undefined) return '';
  let text;
  if (typeof v === 'string') {
    text = v;
  } else if (Array.isArray(v) && v.every(isObject)) {
    const texts = v.filter((e) => typeof e.text === 'string').map((e) => e.text);
    text = texts.length > 0 ? texts.join(' ') : JSON.stringify(v);
  } else {
    text = JSON.stringify(v);
  }
  return shorten(text, max);
}

function contentBlocks(message) {
  if (!isObject(message)) return null;
  const c = message.content;
  return Array.isArray(c) && c.every(isObject) ? c : null;
}

function events(line) {
  line = line.trim();
  if (line.length === 0) return [];
  let o;
  try {
    o = JSON.parse(line);
  } catch (e) {
    return [];
  }
  if (!isObject(o) || typeof o.type !== 'string') return [];
  const out = [];
  switch (o.type) {
    case 'system':
      if (o.subtype === 'init' && typeof o.session_id === 'string') {
        const e = { sessionID: o.session_id };
        if (typeof o.model === 'string') e.model = o.model;
        out.push({ sessionStarted: e });
      }
      break;
    case 'assistant': {
      const blocks = contentBlocks(o.message);
      if (!blocks) break;
      for (const b of blocks) {
        if (typeof b.type !== 'string') continue;
        if (b.type === 'text') {
          if (typeof b.text === 'string' && b.text.length > 0) out.push({ assistantText: { _0: b.text } });
        } else if (b.type === 'tool_use' || b.type === 'mcp_tool_use') {
          out.push({ toolUse: {
            id: typeof b.id === 'string' ? b.id : '',
            name: typeof b.name === 'string' ? b.name : 'tool',
            inputSummary: summarize(b.input, MAX) } });
        }
      }
      break;
    }
    case 'user': {
      const blocks = contentBlocks(o.message);
      if (!blocks) break;
      for (const b of blocks) {
        if (b.type !== 'tool_result' && b.type !== 'mcp_tool_result') continue;
        out.push({ toolResult: {
          id: typeof b.tool_use_id === 'string' ? b.tool_use_id : '',
          isError: typeof b.is_error === 'boolean' ? b.is_error : false,
          summary: summarize(b.content, MAX) } });
      }
      break;
    }
    case 'result': {
      const text = typeof o.result === 'string' ? o.result : typeof o.error === 'string' ? o.error : '';
      const isError = typeof o.is_error === 'boolean' ? o.is_error
        : typeof o.subtype === 'string' && o.subtype.includes('error');
      const e = { text, isError };
      if (typeof o.session_id === 'string') e.sessionID = o.session_id;
      out.push({ finished: e });
      break;
    }
    case 'stream_event': {
      const ev = o.event;
      if (!isObject(ev) || !isObject(ev.delta)) break;
      const d = ev.delta;
      if (d.type === 'text_delta' && typeof d.text === 'string' && d.text.length > 0) {
        out.push({ textDelta: { _0: d.text } });
      }
      break;
    }
    default:
      break;
  }
  return out;
}

function pass(data) {
  const decoder = new StringDecoder('utf8');
  let buffer = '';
  let count = 0;
  const CHUNK = 65536;
  for (let at = 0; at < data.length; at += CHUNK) {
    buffer += decoder.write(data.subarray(at, Math.min(at + CHUNK, data.length)));
    let from = 0;
    let nl;
    while ((nl = buffer.indexOf('\n', from)) >= 0) {
      count += events(buffer.slice(from, nl)).length;
      from = nl + 1;
    }
    buffer = buffer.slice(from);
  }
  buffer += decoder.end();
  if (buffer.length > 0) count += events(buffer).length;
  return count;
}

const data = fs.readFileSync(process.argv[2]);
const rounds = Number(process.argv[3] || 10);
// Timed per ~2 MB segment (cut at a line end), fastest round per segment, as the C++ side does.
const SEGMENT = 2000000;
const segments = [];
for (let at = 0; at < data.length;) {
  let end = Math.min(data.length, at + SEGMENT);
  const nl = data.indexOf(10, end);
  end = nl < 0 ? data.length : nl + 1;
  segments.push(data.subarray(at, end));
  at = end;
}
const fastest = segments.map(() => Infinity);
let count = 0;
for (let i = 0; i < rounds; i++) {
  count = 0;
  segments.forEach((segment, k) => {
    const start = process.hrtime.bigint();
    count += pass(segment);
    fastest[k] = Math.min(fastest[k], Number(process.hrtime.bigint() - start) / 1e9);
  });
}
const best = fastest.reduce((a, b) => a + b, 0);
console.log(`mbps ${(data.length / 1e6 / best).toFixed(2)} events ${count}`);
