// The client against a real printgate (PRINTGATE_URL, whose jobs land in
// CAPTURE_DIR; tests/cups/test_js_client.py starts both), and against small
// loopback servers standing in for what cannot be had otherwise: an older
// printgate, one that never answers, and nothing at all.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import http from 'node:http';
import { join } from 'node:path';
import test from 'node:test';
import { deflateSync } from 'node:zlib';

import {
  cancelJob, getJob, listPrinters, PrintgateError, printLabel, reasonMessage, watchJobs, watchPrinters,
} from '../index.js';

const baseUrl = process.env.PRINTGATE_URL;
const captureDir = process.env.CAPTURE_DIR;
const real = { skip: baseUrl ? false : 'PRINTGATE_URL is not set' };

function crc32(bytes) {
  let crc = 0xffffffff;
  for (const byte of bytes) {
    crc ^= byte;
    for (let k = 0; k < 8; k += 1) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return (crc ^ 0xffffffff) >>> 0;
}

// A PNG of width x height, all one grey.
function png(width, height, grey = 0) {
  const chunk = (kind, data) => {
    const head = Buffer.alloc(4);
    head.writeUInt32BE(data.length);
    const body = Buffer.concat([Buffer.from(kind, 'latin1'), data]);
    const tail = Buffer.alloc(4);
    tail.writeUInt32BE(crc32(body));
    return Buffer.concat([head, body, tail]);
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header.set([8, 0, 0, 0, 0], 8);
  const rows = Buffer.alloc((width + 1) * height, grey);
  for (let y = 0; y < height; y += 1) rows[y * (width + 1)] = 0;
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', header), chunk('IDAT', deflateSync(rows)), chunk('IEND', Buffer.alloc(0))]);
}

async function captured(job) {
  const marker = join(captureDir, `job-${job}.queue`);
  for (let i = 0; i < 300 && !existsSync(marker); i += 1) await new Promise((r) => setTimeout(r, 100));
  return existsSync(marker);
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    assert.ok(error instanceof PrintgateError, `not a PrintgateError: ${error}`);
    assert.ok(error.message.length > 20, 'a message a user can read');
    return error;
  }
  assert.fail('expected a PrintgateError');
}

// A loopback server for one test; handler(req, body, res).
async function serve(t, handler) {
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => handler(req, Buffer.concat(chunks), res));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => {
    server.closeAllConnections();
    server.close();
  });
  return `http://127.0.0.1:${server.address().port}`;
}

test('lists each printer with its state, filters as asked', real, async () => {
  const all = await listPrinters({ baseUrl });
  assert.equal(all.legacy, false);
  assert.match(all.version, /^\d+\.\d+\.\d+$/);
  const byName = Object.fromEntries(all.printers.map((p) => [p.name, p]));
  assert.deepEqual(byName.VELQ, { name: 'VELQ', online: true, local: true, supported: true, default: true,
    state: 'idle', reasons: [] });
  assert.deepEqual(byName.Office, { name: 'Office', online: false, local: true, supported: false, default: false,
    state: 'waiting', reasons: ['queue-stopped'] });
  const online = await listPrinters({ baseUrl, onlyOnline: true });
  assert.ok(!online.printers.some((p) => p.name === 'Office'));
  // false leaves an option off: printgate takes a parameter's presence as on.
  const unfiltered = await listPrinters({ baseUrl, onlyOnline: false, onlySupported: false });
  assert.deepEqual(unfiltered.printers.map((p) => p.name), all.printers.map((p) => p.name));
  const supported = await listPrinters({ baseUrl, onlySupported: true });
  assert.deepEqual(supported.printers.map((p) => p.name), ['VELQ']);
});

test('prints every kind of image and says which job it became', real, async () => {
  const image = png(160, 80, 40);
  const dataUrl = `data:image/png;base64,${image.toString('base64')}`;
  const kinds = [
    ['ArrayBuffer', image.buffer.slice(image.byteOffset, image.byteOffset + image.byteLength)],
    ['Uint8Array', new Uint8Array(image)],
    ['Blob', new Blob([image], { type: 'image/png' })],
    ['untyped Blob', new Blob([image])],
    ['data URL', dataUrl],
  ];
  for (const [kind, label] of kinds) {
    const result = await printLabel(label, { baseUrl, printer: 'VELQ' });
    assert.equal(result.printed, true, kind);
    assert.deepEqual([result.printer, result.widthMm, result.heightMm, result.online, result.legacy],
      ['VELQ', 20, 10, true, false], kind);
    assert.ok(Number.isInteger(result.job) && result.job > 0, kind);
    assert.ok(await captured(result.job), `job ${result.job} (${kind}) reached the queue`);
  }
  const copies = await printLabel(image, { baseUrl, copies: 2 });
  assert.equal(copies.printer, 'VELQ');
  const held = await printLabel(image, { baseUrl, printer: 'Office' });
  assert.deepEqual([held.printed, held.online], [true, false]);
});

test('printgate\'s refusals come back as their codes', real, async () => {
  const missing = await rejection(printLabel(png(8, 8), { baseUrl, printer: 'NoSuchQueue' }));
  assert.deepEqual([missing.code, missing.status], ['printer-not-found', 404]);
  assert.match(missing.message, /NoSuchQueue/);
  const garbage = await rejection(printLabel(new Uint8Array([1, 2, 3, 4]), { baseUrl }));
  assert.deepEqual([garbage.code, garbage.status], ['not-an-image', 415]);
  const whole = png(40, 20, 128);
  const cut = await rejection(printLabel(whole.subarray(0, whole.length - 20), { baseUrl }));
  assert.deepEqual([cut.code, cut.status], ['damaged-image', 415]);
  assert.match(cut.detail, /PNG/);
  const noComma = await rejection(printLabel('data:image/png;base64', { baseUrl }));
  assert.deepEqual([noComma.code, noComma.status], ['bad-request', 400]);
  const wide = await rejection(printLabel(png(26100, 1, 255), { baseUrl }));
  assert.deepEqual([wide.code, wide.status], ['image-too-large-for-paper', 422]);
});

test('refuses what printgate would refuse without sending it', async (t) => {
  let requests = 0;
  const base = await serve(t, (req, body, res) => {
    requests += 1;
    res.end();
  });
  for (const copies of [0, -1, 100, 2.5, '3']) {
    assert.equal((await rejection(printLabel(png(2, 2), { baseUrl: base, copies }))).code, 'bad-request');
  }
  assert.equal((await rejection(printLabel('not a data URL', { baseUrl: base }))).code, 'not-an-image');
  assert.equal((await rejection(printLabel({ width: 3 }, { baseUrl: base }))).code, 'not-an-image');
  const huge = new Uint8Array(64 * 1024 * 1024 + 1);
  assert.equal((await rejection(printLabel(huge, { baseUrl: base }))).code, 'too-large');
  assert.equal(requests, 0);
});

test('nothing listening is "not-running"', async () => {
  // A port that was just free: nothing answers there.
  const server = http.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const gone = `http://127.0.0.1:${server.address().port}`;
  await new Promise((resolve) => server.close(resolve));
  assert.equal((await rejection(listPrinters({ baseUrl: gone }))).code, 'not-running');
  assert.equal((await rejection(printLabel(png(2, 2), { baseUrl: gone }))).code, 'not-running');
});

test('a printgate that never answers is a "timeout"; the caller\'s signal is "aborted"', async (t) => {
  const base = await serve(t, () => {});  // reads the request, never answers
  const slow = await rejection(listPrinters({ baseUrl: base, timeoutMs: 200 }));
  assert.equal(slow.code, 'timeout');
  const controller = new AbortController();
  setTimeout(() => controller.abort(), 100);
  const stopped = await rejection(printLabel(png(2, 2), { baseUrl: base, signal: controller.signal, timeoutMs: 0 }));
  assert.equal(stopped.code, 'aborted');
});

test('an older printgate is used through its legacy routes, and a print is "unknown"', async (t) => {
  const posted = [];
  const base = await serve(t, (req, body, res) => {
    const url = new URL(req.url, 'http://x');
    const legacyAnswer = (resultInfo) => {
      res.setHeader('Content-Type', 'application/json');
      res.end(JSON.stringify({ statusCode: '10001', resultInfo }, null, '\t'));
    };
    if (req.method === 'POST' && url.pathname === '/vqapi/GetPrinters') {
      legacyAnswer({ printers: [{ name: 'VELQ' }, { name: 'Office' }] });
    } else if (req.method === 'POST' && url.pathname === '/vqapi/PrintImage') {
      posted.push({ printer: url.searchParams.get('printer'), body: body.toString('latin1') });
      legacyAnswer('hahah');
    } else {
      res.statusCode = 404;
      res.setHeader('Content-Type', 'text/html');
      res.end("<p>Error Status: <span style='color:red;'>404</span></p>");
    }
  });
  const list = await listPrinters({ baseUrl: base });
  assert.deepEqual(list, {
    printers: [
      { name: 'VELQ', online: null, local: null, supported: true, default: null },
      { name: 'Office', online: null, local: null, supported: false, default: null },
    ],
    version: null,
    legacy: true,
  });
  const image = png(4, 4);
  const result = await printLabel(new Blob([image], { type: 'image/png' }), { baseUrl: base, printer: 'Office', copies: 2 });
  assert.deepEqual(result, { printed: null, outcome: 'unknown', legacy: true, printer: 'Office', job: null });
  assert.deepEqual(posted, Array(2).fill({ printer: 'Office', body: `data:image/png;base64,${image.toString('base64')}` }));
});

test('the legacy listing works out supported from the name, and online and local from the filters asked', async (t) => {
  const queries = [];
  const base = await serve(t, (req, body, res) => {
    const url = new URL(req.url, 'http://x');
    if (req.method === 'POST' && url.pathname === '/vqapi/GetPrinters') {
      queries.push(url.search);
      res.setHeader('Content-Type', 'application/json');
      res.end(JSON.stringify({ statusCode: '10001', resultInfo: { printers: [{ name: 'LX4 Label Printer' }, { name: 'Office' }] } }, null, '\t'));
    } else {
      res.statusCode = 404;
      res.setHeader('Content-Type', 'text/html');
      res.end("<p>Error Status: <span style='color:red;'>404</span></p>");
    }
  });
  const cases = [
    [{ onlyOnline: true }, true, null],
    [{ onlyLocal: true }, null, true],
    [{ onlyOnline: true, onlyLocal: true }, true, true],
    [{ onlyOnline: false }, null, null],
  ];
  for (const [filters, online, local] of cases) {
    const list = await listPrinters({ baseUrl: base, ...filters });
    assert.equal(list.legacy, true);
    assert.equal(list.version, null);
    assert.deepEqual(list.printers.map((p) => [p.name, p.online, p.local, p.supported, p.default]), [
      ['LX4 Label Printer', online, local, true, null],
      ['Office', online, local, false, null],
    ], JSON.stringify(filters));
  }
  assert.ok(queries.includes('?onlyOnline=1&onlyLocal=1') || queries.includes('?onlyLocal=1&onlyOnline=1'), queries.join(' '));
});

test('a refused local-network permission is "blocked"', async (t) => {
  const previous = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  Object.defineProperty(globalThis, 'navigator', {
    configurable: true,
    value: {
      permissions: {
        query: async ({ name }) => {
          if (name !== 'local-network-access') throw new TypeError(`unknown permission ${name}`);
          return { state: 'denied' };
        },
      },
    },
  });
  t.after(() => {
    if (previous) Object.defineProperty(globalThis, 'navigator', previous);
    else delete globalThis.navigator;
  });
  // The browser refuses before anything is sent: fetch fails as for no server.
  const refused = async () => {
    throw new TypeError('Failed to fetch');
  };
  const error = await rejection(listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: refused }));
  assert.equal(error.code, 'blocked');
});

// A browser's permission of the given states ({ name: state }; a name left
// out is one the browser does not know) on a page of the given host. Returns
// the statuses, whose state a test changes with answer().
function browserGate(t, states, hostname = 'labels.example.com') {
  const statuses = {};
  for (const [name, state] of Object.entries(states)) {
    statuses[name] = Object.assign(new EventTarget(), { state });
  }
  const saved = ['navigator', 'location'].map((key) => [key, Object.getOwnPropertyDescriptor(globalThis, key)]);
  Object.defineProperty(globalThis, 'navigator', {
    configurable: true,
    value: {
      permissions: {
        query: async ({ name }) => {
          if (!statuses[name]) throw new TypeError(`unknown permission ${name}`);
          return statuses[name];
        },
      },
    },
  });
  Object.defineProperty(globalThis, 'location', { configurable: true, value: { hostname } });
  t.after(() => {
    for (const [key, descriptor] of saved) {
      if (descriptor) Object.defineProperty(globalThis, key, descriptor);
      else delete globalThis[key];
    }
  });
  return statuses;
}

function answer(status, state) {
  status.state = state;
  status.dispatchEvent(new Event('change'));
}

test('permission() answers with the first permission the browser knows', async (t) => {
  const cases = [
    [{ 'loopback-network': 'granted', 'local-network-access': 'denied' }, 'granted'],
    [{ 'local-network-access': 'denied' }, 'denied'],
    [{ 'local-network': 'prompt' }, 'prompt'],
    [{ 'loopback-network': 'bogus' }, 'unsupported'],
    [{}, 'unsupported'],
  ];
  for (const [states, expected] of cases) {
    await t.test(JSON.stringify(states), async (t2) => {
      browserGate(t2, states);
      assert.equal(await (await import('../index.js')).permission(), expected);
    });
  }
  assert.equal(await (await import('../index.js')).permission(), 'unsupported', 'no navigator.permissions');
});

test('a request held on the prompt waits for the person, then the time limit runs', async (t) => {
  const { permission, PROMPT_MESSAGE } = await import('../index.js');
  const gate = browserGate(t, { 'loopback-network': 'prompt' })['loopback-network'];
  let release;
  // The browser lets the request through only once the person allowed it.
  const heldFetch = (url, init) => new Promise((resolve, reject) => {
    release = () => resolve(new Response(JSON.stringify({ printers: [], version: '9' })));
    init.signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')));
  });
  const prompts = [];
  const listing = listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: heldFetch, timeoutMs: 50,
    onPermissionPrompt: (p) => prompts.push(p) });
  await new Promise((r) => setTimeout(r, 1300));  // many time limits while the prompt is up
  assert.deepEqual(prompts, [{ message: PROMPT_MESSAGE }]);
  answer(gate, 'granted');
  release();
  assert.deepEqual(await listing, { printers: [], version: '9', legacy: false });
  assert.equal(await permission(), 'granted');

  // Allowed but printgate hangs: the time limit runs from the answer on.
  answer(gate, 'prompt');
  const hung = listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: heldFetch, timeoutMs: 50 });
  setTimeout(() => answer(gate, 'granted'), 100);
  assert.equal((await rejection(hung)).code, 'timeout');
});

test('after the prompt: dismissed or refused is "blocked" without asking again; allowed but absent is "not-running"',
  async (t) => {
    const cases = [
      // [the person's answer, code, prompts seen over two calls, requests sent]
      ['prompt', 'blocked', 2, 2], // dismissed: each call asks once and stops at its first request
      ['denied', 'blocked', 1, 4], // refused: the second call is refused without a prompt
      ['granted', 'not-running', 1, 5],
    ];
    for (const [state, code, promptCount, requestCount] of cases) {
      await t.test(state, async (t2) => {
        const gate = browserGate(t2, { 'loopback-network': 'prompt' })['loopback-network'];
        let requests = 0;
        const browserFetch = async () => {
          requests += 1;
          // The person reads the box for a while before answering.
          if (gate.state === 'prompt') await new Promise((r) => setTimeout(r, 1100));
          if (state !== 'prompt') answer(gate, state);
          throw new TypeError('Failed to fetch');
        };
        const prompts = [];
        const onPermissionPrompt = (p) => prompts.push(p);
        const options = { baseUrl: 'http://127.0.0.1:6780', fetch: browserFetch, onPermissionPrompt };
        assert.equal((await rejection(listPrinters(options))).code, code);
        assert.equal((await rejection(printLabel(png(2, 2), options))).code, code);
        assert.deepEqual([prompts.length, requests], [promptCount, requestCount]);
      });
    }
  });

test('a page served from this computer is not held: no prompt, the time limit runs', async (t) => {
  browserGate(t, { 'loopback-network': 'prompt' }, '127.0.0.1');
  let prompted = false;
  const never = (url, init) => new Promise((resolve, reject) => {
    init.signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')));
  });
  const error = await rejection(listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: never, timeoutMs: 50,
    onPermissionPrompt: () => { prompted = true; } }));
  assert.equal(error.code, 'timeout');
  assert.equal(prompted, false);
});

// Last: what this test teaches the client lasts for the page's life.
test('a site the browser lets through unasked while saying "prompt" is not held again', async (t) => {
  browserGate(t, { 'loopback-network': 'prompt' });
  const prompts = [];
  const listed = async () => new Response(JSON.stringify({ printers: [], version: '9' }));
  await listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: listed, onPermissionPrompt: (p) => prompts.push(p) });
  const never = (url, init) => new Promise((resolve, reject) => {
    init.signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')));
  });
  const error = await rejection(listPrinters({ baseUrl: 'http://127.0.0.1:6780', fetch: never, timeoutMs: 50,
    onPermissionPrompt: (p) => prompts.push(p) }));
  assert.equal(error.code, 'timeout');
  assert.deepEqual(prompts, []);
});

// Resolves with the first value of check() that is truthy, polled.
async function eventually(check, what, ms = 30000) {
  for (let waited = 0; waited < ms; waited += 50) {
    const value = check();
    if (value) return value;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail(`never: ${what}`);
}

test('a label followed to its end: printed, or waiting and taken back', real, async () => {
  const printed = await printLabel(png(40, 24, 60), { baseUrl, printer: 'VELQ', until: 'printed', wait: 60 });
  assert.deepEqual([printed.printed, printed.state], [true, 'printed']);
  assert.ok(await captured(printed.job));

  const waiting = await rejection(printLabel(png(40, 24, 90), { baseUrl, printer: 'Office', until: 'printed', wait: 1 }));
  assert.deepEqual([waiting.code, waiting.status, waiting.job.state, waiting.job.reasons],
    ['waiting', 202, 'waiting', ['queue-stopped']]);
  assert.equal(waiting.message, reasonMessage(['queue-stopped']));
  assert.match(waiting.message, /stopped/);
  assert.equal((await getJob(waiting.job, { baseUrl })).state, 'waiting');
  assert.equal((await cancelJob(waiting.job, { baseUrl })).state, 'canceled');
  const again = await rejection(cancelJob(waiting.job, { baseUrl }));
  assert.deepEqual([again.code, again.status, again.job.state], ['already-ended', 409, 'canceled']);
  const stranger = await rejection(getJob({ job: 999999, printer: 'VELQ' }, { baseUrl }));
  assert.deepEqual([stranger.code, stranger.status], ['job-not-found', 404]);
});

test('printers and labels pushed to the page', real, async () => {
  let printers = null;
  const jobs = [];
  const watcher = watchPrinters((list) => { printers = list; }, { baseUrl });
  const follower = watchJobs((job) => jobs.push(job), { baseUrl });
  try {
    const office = await eventually(() => printers && printers.find((p) => p.name === 'Office'), 'the printers');
    assert.deepEqual([office.state, office.reasons], ['waiting', ['queue-stopped']]);
    const result = await printLabel(png(40, 24, 30), { baseUrl, printer: 'VELQ' });
    await eventually(() => jobs.some((j) => j.job === result.job && j.state === 'printed'), 'the printed event');
    assert.equal(jobs.find((j) => j.job === result.job).state, 'queued');
  } finally {
    watcher.close();
    follower.close();
  }
});

test('where no stream opens, the listing and the labels are polled', async (t) => {
  let listings = 0;
  const base = await serve(t, (req, body, res) => {
    res.setHeader('Access-Control-Allow-Origin', '*');
    res.setHeader('Content-Type', 'application/json');
    if (req.url.startsWith('/vqapi/v2/events')) {
      res.statusCode = 503;
      res.end('{"error": "too-many-streams", "message": "32 event streams are open"}');
      return;
    }
    if (req.url.startsWith('/vqapi/v2/printers')) {
      listings += 1;
      const state = listings > 1 ? 'waiting' : 'idle';
      res.end(JSON.stringify({ printers: [{ name: 'VELQ', online: true, local: true, supported: true, default: true,
        state, reasons: state === 'waiting' ? ['printer-absent'] : [] }], version: '1.0.0' }));
      return;
    }
    res.statusCode = 404;
    res.end('{}');
  });
  const seen = [];
  const watcher = watchPrinters((list) => seen.push(list[0].state), { baseUrl: base });
  try {
    await eventually(() => seen.includes('waiting'), 'the polled change', 10000);
    assert.deepEqual(seen.slice(0, 2), ['idle', 'waiting']);
  } finally {
    watcher.close();
  }
});

test('until and wait are checked before anything is sent', async (t) => {
  let requests = 0;
  const base = await serve(t, (req, body, res) => {
    requests += 1;
    res.end();
  });
  for (const options of [{ until: 'done' }, { until: 'printed', wait: 301 }, { until: 'printed', wait: 1.5 }]) {
    const error = await rejection(printLabel(png(8, 8), { baseUrl: base, ...options }));
    assert.equal(error.code, 'bad-request', JSON.stringify(options));
  }
  assert.equal(requests, 0);
});

// Web Locks as a browser has them, enough for the client: one holder per
// name at a time, the next request granted when the holder's promise ends.
function fakeLocks() {
  const queues = new Map();
  return {
    request(name, callback) {
      const queue = queues.get(name) || [];
      queues.set(name, queue);
      return new Promise((resolve, reject) => {
        const run = () => Promise.resolve().then(callback).then(resolve, reject).finally(() => {
          queue.shift();
          if (queue.length) queue[0]();
        });
        queue.push(run);
        if (queue.length === 1) run();
      });
    },
  };
}

test('the tabs of a browser share one stream, and the next tab takes over', async (t) => {
  let streams = 0;
  const open = new Set();
  const base = await serve(t, (req, body, res) => {
    if (!req.url.startsWith('/vqapi/v2/events')) {
      res.statusCode = 404;
      res.end();
      return;
    }
    streams += 1;
    open.add(res);
    req.on('close', () => open.delete(res));
    res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Access-Control-Allow-Origin': '*' });
    res.write('retry: 2000\n\nid: a-0\nevent: printers\ndata: {"printers":[{"name":"VELQ","state":"idle","reasons":[]}]}\n\n');
    res.write(`id: a-1\nevent: job\ndata: {"job":${streams},"printer":"VELQ","state":"printed","reasons":[],"message":""}\n\n`);
  });
  const hadNavigator = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  Object.defineProperty(globalThis, 'navigator', { value: { locks: fakeLocks() }, configurable: true });
  t.after(() => {
    if (hadNavigator) Object.defineProperty(globalThis, 'navigator', hadNavigator);
    else delete globalThis.navigator;
  });
  // Three tabs: three instances of the module, as three pages would load it.
  const tabs = await Promise.all([1, 2, 3].map((n) => import(`../index.js?tab=${n}`)));
  const seen = tabs.map(() => ({ printers: null, jobs: [] }));
  const watches = tabs.flatMap((tab, i) => [
    tab.watchPrinters((printers) => { seen[i].printers = printers; }, { baseUrl: base }),
    tab.watchJobs((job) => seen[i].jobs.push(job.job), { baseUrl: base }),
  ]);
  await eventually(() => seen.every((s) => s.printers && s.jobs.includes(1)), 'every tab has the first stream\'s events');
  assert.equal(streams, 1);
  assert.deepEqual(seen[2].printers.map((p) => p.name), ['VELQ']);
  // The leading tab closes: another takes the lock and opens the stream.
  watches[0].close();
  watches[1].close();
  await eventually(() => streams === 2 && seen[1].jobs.includes(2) && seen[2].jobs.includes(2), 'the next leader\'s stream');
  for (const watch of watches.slice(2)) watch.close();
  await eventually(() => open.size === 0, 'every stream closed');
});
