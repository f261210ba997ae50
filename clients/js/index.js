// printgate's client for web pages: lists this desk's label printers and
// prints labels through the printgate running on the same computer. It talks
// to the "/vqapi/v2/" routes and, when only an older printgate answers, to
// the legacy routes, whose print answer cannot tell whether a label printed.
// No dependencies; runs in browsers and in Node.js 18 or later.

export const DEFAULT_BASE_URL = 'http://127.0.0.1:6780';

// The largest body printgate takes; larger labels are refused before sending.
export const MAX_IMAGE_BYTES = 64 * 1024 * 1024;

const DEFAULT_LIST_TIMEOUT_MS = 15000;
// Printing is synchronous at printgate: the answer comes once the spooler
// has the job, which on a busy spooler takes a while.
const DEFAULT_PRINT_TIMEOUT_MS = 120000;

const SUPPORTED_NAMES = ['VELQ', 'LX4 Label Printer'];
const IMAGE_TYPES = ['image/png', 'image/jpeg', 'image/bmp', 'image/gif', 'image/tiff'];

// What a page can show while the browser asks the person.
export const PROMPT_MESSAGE = 'Your browser asks whether this site may use the label printer on this computer: choose "Allow" in the box it shows.';

const MESSAGES = {
  'not-running': 'The label printing service (printgate) is not running on this computer. Start it and try again.',
  blocked: 'The browser did not let this page reach the label printing service on this computer. Allow this site to access apps and services on this device (in the site\'s settings, next to the address bar), then try again.',
  timeout: 'The label printing service did not answer in time.',
  aborted: 'The request to the label printing service was cancelled.',
  'printer-not-found': 'The label printer was not found. Check that it is connected and chosen.',
  'not-an-image': 'The label is not an image that can be printed (PNG, JPEG, BMP, GIF or TIFF).',
  'damaged-image': 'The label image arrived damaged or cut short, so nothing was printed. Send it again.',
  'too-large': 'The label image is too large to send to the printer (over 64 MiB).',
  'image-too-large-for-paper': 'The label image is too large for any paper the printer takes.',
  busy: 'The label printing service is busy with other labels. Nothing was printed: try again in a moment.',
  'bad-request': 'The print request was not understood.',
  'print-failed': 'The printer could not print the label.',
  'list-failed': 'The printers of this computer could not be listed just now. Try again in a moment.',
  'unexpected-answer': 'The label printing service gave an answer this page does not understand.',
  waiting: 'The label has not printed yet: it waits in the printer\'s queue. It prints when the printer is ready, or cancel it.',
  canceled: 'The label was canceled before it printed.',
  'already-ended': 'The label has already ended, so it can no longer be canceled.',
  'job-not-found': 'printgate knows no such label: only labels printed through it, for ten minutes after they end.',
  'cancel-failed': 'The label could not be canceled.',
};

// A sentence for a person for each reason a label waits, most telling first.
const REASON_MESSAGES = {
  'printer-absent': 'The label printer is not connected: connect it and the label prints, or cancel it.',
  'printer-offline': 'The label printer is offline: switch it on or check its cable and the label prints, or cancel it.',
  'queue-paused': 'Printing is paused on this computer: resume the printer and the label prints, or cancel it.',
  'queue-stopped': 'The printer is stopped on this computer: start it again and the label prints, or cancel it.',
  'media-empty': 'The label printer is out of labels: load a roll and the label prints, or cancel it.',
  'needs-attention': 'The label printer needs attention (a cover open, a jam or an error): fix it and the label prints, or cancel it.',
  other: 'The label waits in the printer\'s queue: it prints when the queue moves on, or cancel it.',
};

/** A sentence for a person about why a label waits, from its reasons. */
export function reasonMessage(reasons) {
  for (const reason of reasons || []) {
    if (REASON_MESSAGES[reason]) return REASON_MESSAGES[reason];
  }
  return MESSAGES.waiting;
}

/**
 * The one error type of the client. `code` is one of the keys of MESSAGES;
 * `message` can be shown to a user; `detail` carries printgate's own text
 * where it gave one.
 */
export class PrintgateError extends Error {
  constructor(code, message, { status = null, detail = null, cause, job = null } = {}) {
    super(message || MESSAGES[code] || code, cause === undefined ? undefined : { cause });
    this.name = 'PrintgateError';
    this.code = code;
    this.status = status;
    this.detail = detail;
    // The label, for the codes about one: { job, printer, state, reasons }.
    this.job = job;
  }
}

function fail(code, extra = {}) {
  let message = MESSAGES[code] || code;
  if (code === 'printer-not-found' && extra.printer) {
    message = `The label printer "${extra.printer}" was not found. Check that it is connected and chosen.`;
  } else if ((code === 'print-failed' || code === 'bad-request') && extra.detail) {
    message = `${message} (${extra.detail})`;
  } else if (code === 'waiting' && extra.job) {
    message = reasonMessage(extra.job.reasons);
  }
  return new PrintgateError(code, message, extra);
}

function baseOf(options) {
  return String(options.baseUrl || DEFAULT_BASE_URL).replace(/\/+$/, '');
}

// One fetch with the caller's signal and a time limit. Network failures come
// back as { networkError }, never thrown, so the caller can tell an absent
// printgate from an older one. `call` is shared by the requests of one
// listPrinters() or printLabel() call.
async function request(url, init, options, defaultTimeout, call = {}) {
  const controller = new AbortController();
  const timeoutMs = options.timeoutMs === undefined ? defaultTimeout : options.timeoutMs;
  let timedOut = false;
  let timer = null;
  const startTimer = () => {
    if (timer || !(timeoutMs > 0)) return;
    timer = setTimeout(() => {
      timedOut = true;
      controller.abort();
    }, timeoutMs);
  };
  // While the browser holds the request on its permission prompt the person
  // is reading it: the time limit starts once they have answered.
  const gate = await loopbackPermission();
  const held = Boolean(gate && gate.state === 'prompt' && pageIsGated() && !letThroughUnasked);
  const onAnswer = () => {
    if (gate.state !== 'prompt') startTimer();
  };
  let notice = null;
  if (held) {
    // A browser that lets the request through at once (an administrator's
    // policy) shows no box: tell the page only once the request waits.
    notice = setTimeout(() => {
      if (call.prompted) return;
      call.prompted = true;
      tellPrompt(options);
    }, PROMPT_NOTICE_DELAY_MS);
    gate.addEventListener('change', onAnswer);
  } else {
    startTimer();
  }
  const signal = options.signal;
  const onAbort = () => controller.abort();
  if (signal) {
    if (signal.aborted) controller.abort();
    else signal.addEventListener('abort', onAbort, { once: true });
  }
  const fetchImpl = options.fetch || globalThis.fetch;
  try {
    const response = await fetchImpl(url, { ...init, signal: controller.signal });
    if (held && gate.state === 'prompt') letThroughUnasked = true;
    const text = await response.text();
    return { response, text };
  } catch (error) {
    if (timedOut) throw fail('timeout', { cause: error });
    if (signal && signal.aborted) throw fail('aborted', { cause: error });
    // Held on the prompt and then not let through: dismissed or refused.
    if (held && gate.state !== 'granted') call.refused = true;
    return { networkError: error };
  } finally {
    if (timer) clearTimeout(timer);
    if (notice) clearTimeout(notice);
    if (held) gate.removeEventListener('change', onAnswer);
    if (signal) signal.removeEventListener('abort', onAbort);
  }
}

function parseJson(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

// The browsers ask the person before a public page may reach this computer
// (the permission "loopback-network"; older Chromium names it
// "local-network-access" or "local-network"). Once refused, requests fail
// just as if nothing listened.
const PERMISSION_NAMES = ['loopback-network', 'local-network-access', 'local-network'];
const PERMISSION_STATES = ['granted', 'denied', 'prompt'];
// How long a request waits before the page is told that the browser asks.
const PROMPT_NOTICE_DELAY_MS = 1000;
// Firefox reports "prompt" for a site its policy lets through unasked; once
// a request went through so, this page's requests are not held.
let letThroughUnasked = false;

// The browser's PermissionStatus for reaching this computer, or null when it
// has none: the first of the names it knows.
async function loopbackPermission() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return null;
  for (const name of PERMISSION_NAMES) {
    try {
      const status = await permissions.query({ name });
      if (status && PERMISSION_STATES.includes(status.state)) return status;
    } catch {
      // This browser has no permission of that name.
    }
  }
  return null;
}

// Pages served from this computer itself reach printgate without asking,
// whatever the permission's state says.
function pageIsGated() {
  const location = globalThis.location;
  if (!location || typeof location.hostname !== 'string') return false;
  const host = location.hostname.toLowerCase();
  return !(host === 'localhost' || host.endsWith('.localhost') || host === '[::1]' || host === '::1'
    || /^127\.\d+\.\d+\.\d+$/.test(host));
}

function tellPrompt(options) {
  if (typeof options.onPermissionPrompt !== 'function') return;
  try {
    options.onPermissionPrompt({ message: PROMPT_MESSAGE });
  } catch {
    // The page's own fault must not break the print.
  }
}

/**
 * Whether this page may reach printgate: "granted", "denied", "prompt" (the
 * browser will ask the person at the first request) or "unsupported" (the
 * browser has no such permission and does not ask).
 */
export async function permission() {
  const status = await loopbackPermission();
  return status ? status.state : 'unsupported';
}

// Whether an older printgate answers the legacy listing.
async function legacyAnswers(options, call) {
  const { response, text } = await request(`${baseOf(options)}/vqapi/GetPrinters`, { method: 'POST' }, options,
    DEFAULT_LIST_TIMEOUT_MS, call);
  if (!response || !response.ok) return false;
  const answer = parseJson(text);
  return Boolean(answer && answer.statusCode === '10001');
}

// Why nothing could be reached: the browser's refusal, or no printgate.
async function unreachable(networkError, call) {
  const refused = call.refused || (await permission()) === 'denied';
  return fail(refused ? 'blocked' : 'not-running', { cause: networkError });
}

// A v2 answer that is not one: the route is unknown to this printgate.
function isOlderPrintgate(response, answer) {
  return response.status === 404 && !(answer && typeof answer === 'object' && ('printers' in answer || 'printed' in answer));
}

function legacyPrinters(answer, options) {
  const info = answer && answer.resultInfo;
  const names = info && Array.isArray(info.printers) ? info.printers.map((p) => String(p.name)) : [];
  return {
    printers: names.map((name) => ({
      name,
      online: options.onlyOnline ? true : null,
      local: options.onlyLocal ? true : null,
      supported: SUPPORTED_NAMES.includes(name),
      default: null,
    })),
    version: null,
    legacy: true,
  };
}

function filterQuery(options) {
  // printgate takes an option as on when its parameter is present at all.
  const names = ['onlyLocal', 'onlyOnline', 'onlySupported'].filter((name) => options[name]);
  return names.length ? `?${names.map((name) => `${name}=1`).join('&')}` : '';
}

/**
 * The printers of this desk: { printers: [{ name, online, local, supported,
 * default }], version, legacy }. With an older printgate (legacy: true) only
 * names are known; the other members are null where unknown.
 */
export async function listPrinters(options = {}) {
  const base = baseOf(options);
  const query = filterQuery(options);
  const call = {};
  const v2 = await request(`${base}/vqapi/v2/printers${query}`, { method: 'GET' }, options, DEFAULT_LIST_TIMEOUT_MS,
    call);
  if (v2.response) {
    const answer = parseJson(v2.text);
    if (v2.response.ok && answer && Array.isArray(answer.printers)) {
      return { printers: answer.printers, version: answer.version, legacy: false };
    }
    if (answer && Array.isArray(answer.printers) && answer.error) {
      throw fail(MESSAGES[answer.error] ? answer.error : 'unexpected-answer', {
        status: v2.response.status, detail: answer.message || null,
      });
    }
    if (!isOlderPrintgate(v2.response, answer)) throw fail('unexpected-answer', { status: v2.response.status });
  }
  // Refused once is refused: another request would only ask the person again.
  if (call.refused) throw await unreachable(v2.networkError, call);
  // Unknown route, or (in a browser) an answer without cross-origin headers:
  // an older printgate, if its legacy route answers.
  const legacy = await request(`${base}/vqapi/GetPrinters${query}`, { method: 'POST' }, options, DEFAULT_LIST_TIMEOUT_MS,
    call);
  if (legacy.networkError) throw await unreachable(legacy.networkError, call);
  const answer = parseJson(legacy.text);
  if (!legacy.response.ok || !answer || answer.statusCode !== '10001') {
    throw fail('unexpected-answer', { status: legacy.response.status });
  }
  return legacyPrinters(answer, options);
}

const MAGIC = [
  ['image/png', [0x89, 0x50, 0x4e, 0x47]],
  ['image/jpeg', [0xff, 0xd8, 0xff]],
  ['image/gif', [0x47, 0x49, 0x46, 0x38]],
  ['image/bmp', [0x42, 0x4d]],
  ['image/tiff', [0x49, 0x49, 0x2a, 0x00]],
  ['image/tiff', [0x4d, 0x4d, 0x00, 0x2a]],
];

function sniffType(bytes) {
  for (const [type, magic] of MAGIC) {
    if (bytes.length >= magic.length && magic.every((b, i) => bytes[i] === b)) return type;
  }
  return null;
}

function canvasBlob(canvas) {
  return new Promise((resolve, reject) => {
    canvas.toBlob((blob) => (blob ? resolve(blob) : reject(fail('not-an-image'))), 'image/png');
  });
}

// The label as a body printgate takes: { body, type } with the image's own
// bytes, or a data URL as text.
async function labelBody(image) {
  if (typeof image === 'string') {
    if (!image.startsWith('data:')) throw fail('not-an-image', { detail: 'a string label must be a data URL' });
    return { body: image, type: 'text/plain;charset=UTF-8', size: image.length };
  }
  let blob = null;
  if (image && typeof image.convertToBlob === 'function') blob = await image.convertToBlob({ type: 'image/png' });
  else if (image && typeof image.toBlob === 'function') blob = await canvasBlob(image);
  else if (typeof Blob !== 'undefined' && image instanceof Blob) blob = image;
  if (blob) {
    const type = IMAGE_TYPES.includes(blob.type) ? blob.type
      : sniffType(new Uint8Array(await blob.slice(0, 8).arrayBuffer()));
    return { body: blob, type: type || 'application/octet-stream', size: blob.size };
  }
  let bytes = null;
  if (image instanceof ArrayBuffer) bytes = new Uint8Array(image);
  else if (ArrayBuffer.isView(image)) bytes = new Uint8Array(image.buffer, image.byteOffset, image.byteLength);
  if (!bytes) throw fail('not-an-image', { detail: 'give a canvas, an OffscreenCanvas, a Blob, an ArrayBuffer or a data URL' });
  return { body: bytes, type: sniffType(bytes) || 'application/octet-stream', size: bytes.byteLength };
}

async function asDataUrl(label) {
  if (typeof label.body === 'string') return label.body;
  const bytes = label.body instanceof Uint8Array ? label.body : new Uint8Array(await label.body.arrayBuffer());
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return `data:${label.type};base64,${btoa(binary)}`;
}

// An older printgate: its answer is the same whatever happened, so the
// outcome is unknown, never a success.
async function printLegacy(label, options, call) {
  const dataUrl = await asDataUrl(label);
  const printer = options.printer || '';
  const url = `${baseOf(options)}/vqapi/PrintImage${printer ? `?printer=${encodeURIComponent(printer)}` : ''}`;
  const copies = options.copies === undefined ? 1 : options.copies;
  for (let i = 0; i < copies; i += 1) {
    const { response, text, networkError } = await request(url, { method: 'POST', body: dataUrl }, options,
      DEFAULT_PRINT_TIMEOUT_MS, call);
    if (networkError) throw await unreachable(networkError, call);
    const answer = parseJson(text);
    if (!response.ok || !answer || answer.statusCode !== '10001') {
      throw fail('unexpected-answer', { status: response.status });
    }
  }
  return { printed: null, outcome: 'unknown', legacy: true, printer: printer || null, job: null };
}

/**
 * Prints one label and says what happened: resolves with { printed: true,
 * printer, job, widthMm, heightMm, online, legacy: false }, or, with an older
 * printgate, { printed: null, outcome: 'unknown', legacy: true }; rejects with
 * a PrintgateError otherwise.
 */
export async function printLabel(image, options = {}) {
  const copies = options.copies === undefined ? 1 : options.copies;
  if (!Number.isInteger(copies) || copies < 1 || copies > 99) {
    throw fail('bad-request', { detail: 'copies must be a whole number from 1 to 99' });
  }
  const label = await labelBody(image);
  if (label.size > MAX_IMAGE_BYTES) throw fail('too-large');
  const until = options.until === 'printed';
  if (options.until !== undefined && !until) throw fail('bad-request', { detail: 'until must be "printed"' });
  const wait = options.wait === undefined ? 30 : options.wait;
  if (until && !(Number.isInteger(wait) && wait >= 0 && wait <= 300)) {
    throw fail('bad-request', { detail: 'wait must be a whole number of seconds from 0 to 300' });
  }
  const params = [];
  if (options.printer) params.push(`printer=${encodeURIComponent(options.printer)}`);
  if (options.copies !== undefined) params.push(`copies=${copies}`);
  if (until) params.push(`until=printed&wait=${wait}`);
  const url = `${baseOf(options)}/vqapi/v2/print${params.length ? `?${params.join('&')}` : ''}`;
  const call = {};
  const { response, text, networkError } = await request(url, {
    method: 'POST',
    headers: { 'Content-Type': label.type },
    body: label.body,
  }, options, until ? Math.max(DEFAULT_PRINT_TIMEOUT_MS, (wait + 60) * 1000) : DEFAULT_PRINT_TIMEOUT_MS, call);

  if (response) {
    const answer = parseJson(text);
    if (answer && answer.printed === true && typeof answer.job === 'number') followedHere.add(jobKey(answer));
    if (answer && answer.printed === true && until && response.status === 202) {
      throw fail('waiting', { status: 202, job: jobOf(answer), detail: answer.spoolerMessage || null });
    }
    if (answer && answer.printed === true) return { ...answer, legacy: false };
    if (answer && answer.printed === false) {
      const job = typeof answer.job === 'number' ? jobOf(answer) : null;
      throw fail(MESSAGES[answer.error] ? answer.error : 'print-failed', {
        status: response.status, detail: answer.message || null, printer: options.printer, job,
      });
    }
    if (!isOlderPrintgate(response, answer)) throw fail('unexpected-answer', { status: response.status });
    return printLegacy(label, options, call);
  }
  if (call.refused) throw await unreachable(networkError, call);
  // In a browser an older printgate's 404 has no cross-origin headers and
  // fails like a network error. A printgate that lists on v2 is no older
  // one: then the print itself broke off, and whether it printed is unknown.
  const v2 = await request(`${baseOf(options)}/vqapi/v2/printers`, { method: 'GET' }, options, DEFAULT_LIST_TIMEOUT_MS,
    call);
  if (v2.response && v2.response.ok) {
    throw fail('print-failed', { detail: 'the connection broke off before printgate answered', cause: networkError });
  }
  if (await legacyAnswers(options, call)) return printLegacy(label, options, call);
  throw await unreachable(networkError, call);
}

// --- A label's life after its print answer, and the printers' changes.

function jobKey(job) {
  return `${job.printer}\n${job.job}`;
}

function jobOf(answer) {
  return { job: answer.job, printer: answer.printer, state: answer.state || null, reasons: answer.reasons || [] };
}

// The labels this page printed through v2: the ones polling follows when no
// stream can be had.
const followedHere = new Set();

function jobQuery(job) {
  const id = typeof job === 'object' && job !== null ? job.job : job;
  if (!Number.isInteger(id) || id <= 0) throw fail('bad-request', { detail: 'a job is the number printLabel gave' });
  const printer = typeof job === 'object' && job !== null && job.printer ? job.printer : '';
  return `${id}${printer ? `?printer=${encodeURIComponent(printer)}` : ''}`;
}

async function jobRequest(path, init, options) {
  const call = {};
  const { response, text, networkError } = await request(`${baseOf(options)}/vqapi/v2/jobs/${path}`, init, options,
    DEFAULT_LIST_TIMEOUT_MS, call);
  if (!response) throw await unreachable(networkError, call);
  const answer = parseJson(text);
  if (!answer || typeof answer !== 'object') throw fail('unexpected-answer', { status: response.status });
  if (response.ok) return answer;
  const code = MESSAGES[answer.error] ? answer.error : 'unexpected-answer';
  throw fail(code, { status: response.status, detail: answer.message || null,
    job: typeof answer.job === 'number' ? jobOf(answer) : null });
}

/** Where one of this desk's labels stands: { job, printer, state, reasons, message }. */
export async function getJob(job, options = {}) {
  return jobRequest(jobQuery(job), { method: 'GET' }, options);
}

/**
 * Takes back a label that has not printed: resolves with its state
 * ("canceled"); rejects with "already-ended" (error.job.state says how it
 * ended) or "job-not-found".
 */
export async function cancelJob(job, options = {}) {
  const [id, query] = jobQuery(job).split('?');
  return jobRequest(`${id}/cancel${query ? `?${query}` : ''}`, { method: 'POST' }, options);
}

const ENDED = ['printed', 'failed', 'canceled'];
const POLL_PRINTERS_MS = 2000;
const POLL_JOBS_MS = 1000;

// One feed of events per printgate address in this page: the stream, shared
// with the browser's other tabs where it can be, or polling.
const hubs = new Map();

function hubFor(options) {
  const base = baseOf(options);
  let hub = hubs.get(base);
  if (!hub) {
    hub = makeHub(base, options);
    hubs.set(base, hub);
  }
  return hub;
}

function makeHub(base, options) {
  const hub = { listeners: new Set(), printers: null, stop: null, base, options };
  const name = `printgate-events ${base}`;
  const Channel = globalThis.BroadcastChannel;
  const locks = globalThis.navigator && globalThis.navigator.locks;
  const channel = Channel && locks ? new Channel(name) : null;

  hub.deliver = (event, share = true) => {
    if (event.type === 'printers') hub.printers = event.data.printers;
    if (event.type === 'printer') hub.printers = applyPrinterChange(hub.printers, event.data);
    for (const listener of hub.listeners) {
      try {
        listener(event, hub.printers);
      } catch {
        // One page listener's fault must not stop the others.
      }
    }
    if (share && channel) channel.postMessage({ kind: 'event', event });
  };

  if (!channel) {
    hub.stop = runFeed(hub, (event) => hub.deliver(event, false));
    return hub;
  }
  // A browser keeps six connections to one host across all its tabs: one
  // tab, the holder of the lock, keeps the stream and passes its events on.
  let leading = false;
  let release = null;
  channel.onmessage = ({ data }) => {
    if (!data) return;
    if (data.kind === 'event' && !leading) hub.deliver(data.event, false);
    if (data.kind === 'hello' && leading && hub.printers) {
      channel.postMessage({ kind: 'event', event: { type: 'printers', data: { printers: hub.printers } } });
    }
  };
  channel.postMessage({ kind: 'hello' });
  const held = new Promise((resolve) => { release = resolve; });
  locks.request(name, () => {
    leading = true;
    const stopFeed = runFeed(hub, (event) => hub.deliver(event, true));
    return held.then(stopFeed);
  }).catch(() => {});
  hub.stop = () => {
    release();
    channel.close();
  };
  return hub;
}

function applyPrinterChange(printers, change) {
  const list = (printers || []).filter((p) => p.name !== change.printer.name);
  if (change.change === 'removed') return list;
  const at = (printers || []).findIndex((p) => p.name === change.printer.name);
  if (at < 0) return [...list, change.printer];
  list.splice(at, 0, change.printer);
  return list;
}

// The stream while printgate gives one; polling where none opens (an older
// printgate, 32 streams taken, no readable streams). Returns its stop.
function runFeed(hub, emit) {
  let stopped = false;
  let lastId = null;
  let controller = null;
  let timer = null;
  const options = hub.options;
  const sleep = (ms) => new Promise((resolve) => { timer = setTimeout(resolve, ms); });

  async function stream() {
    let retry = 2000;
    let failures = 0;
    while (!stopped && failures < 3) {
      controller = new AbortController();
      try {
        const headers = { Accept: 'text/event-stream' };
        if (lastId) headers['Last-Event-ID'] = lastId;
        const response = await (options.fetch || globalThis.fetch)(`${hub.base}/vqapi/v2/events`,
          { headers, signal: controller.signal, cache: 'no-store' });
        if (!response.ok || !response.body || !String(response.headers.get('content-type')).startsWith('text/event-stream')) {
          if (response.body) await response.body.cancel().catch(() => {});
          return false;
        }
        failures = 0;
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let buffer = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          buffer += decoder.decode(value, { stream: true }).replace(/\r\n?/g, '\n');
          let end;
          while ((end = buffer.indexOf('\n\n')) >= 0) {
            const block = buffer.slice(0, end);
            buffer = buffer.slice(end + 2);
            const fields = { data: [] };
            for (const line of block.split('\n')) {
              if (!line || line.startsWith(':')) continue;
              const colon = line.indexOf(':');
              const field = colon < 0 ? line : line.slice(0, colon);
              const value = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
              if (field === 'data') fields.data.push(value);
              else fields[field] = value;
            }
            if (fields.retry && /^\d+$/.test(fields.retry)) retry = Number(fields.retry);
            if (fields.id !== undefined) lastId = fields.id;
            const data = parseJson(fields.data.join('\n'));
            if (fields.event && data) emit({ type: fields.event, data });
          }
        }
      } catch {
        failures += 1;
      }
      if (!stopped) await sleep(retry);
    }
    return false;
  }

  async function poll() {
    const seen = new Map();
    let printersText = null;
    while (!stopped) {
      try {
        const list = await listPrinters({ ...options, signal: undefined });
        const text = JSON.stringify(list.printers);
        if (text !== printersText) {
          printersText = text;
          emit({ type: 'printers', data: { printers: list.printers, version: list.version } });
        }
      } catch {
        // printgate away: try again at the next turn.
      }
      for (const key of followedHere) {
        const [printer, id] = key.split('\n');
        try {
          const job = await getJob({ job: Number(id), printer }, options);
          const text = JSON.stringify(job);
          if (seen.get(key) !== text) {
            seen.set(key, text);
            emit({ type: 'job', data: job });
          }
          if (ENDED.includes(job.state)) followedHere.delete(key);
        } catch (error) {
          if (error instanceof PrintgateError && error.code === 'job-not-found') followedHere.delete(key);
        }
      }
      await sleep(followedHere.size ? POLL_JOBS_MS : POLL_PRINTERS_MS);
    }
  }

  (async () => {
    if (!(await stream()) && !stopped) await poll();
  })();
  return () => {
    stopped = true;
    if (controller) controller.abort();
    if (timer) clearTimeout(timer);
  };
}

function listen(options, listener) {
  const hub = hubFor(options);
  hub.listeners.add(listener);
  if (hub.printers) queueMicrotask(() => listener({ type: 'printers', data: { printers: hub.printers } }, hub.printers));
  return {
    close() {
      hub.listeners.delete(listener);
      if (hub.listeners.size === 0) {
        hub.stop();
        hubs.delete(hub.base);
      }
    },
  };
}

/**
 * Calls onChange(printers) with every printer and its state, at once when
 * known and again at each change: a printer added, removed, or changing its
 * state. One stream serves all of a browser's tabs; where none opens, the
 * listing is polled. Returns { close() }.
 */
export function watchPrinters(onChange, options = {}) {
  return listen(options, (event, printers) => {
    if (event.type === 'printers' || event.type === 'printer') onChange(printers || []);
  });
}

/**
 * Calls onJob(job) for each change of a label printed through printgate
 * ({ job, printer, state, reasons, message }; state "queued", "printing",
 * "printed", "waiting", "failed" or "canceled"; reasonMessage(job.reasons)
 * is the sentence for a person while it waits). Returns { close() }.
 */
export function watchJobs(onJob, options = {}) {
  return listen(options, (event) => {
    if (event.type === 'job') onJob(event.data);
  });
}
