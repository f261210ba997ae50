// Types of printgate's client for web pages.

export declare const DEFAULT_BASE_URL: string;
export declare const MAX_IMAGE_BYTES: number;
/** What a page can show while the browser asks the person. */
export declare const PROMPT_MESSAGE: string;

/** Why a call failed; each code has a message a page can show a user. */
export type PrintgateErrorCode =
  | 'not-running'
  | 'blocked'
  | 'timeout'
  | 'aborted'
  | 'printer-not-found'
  | 'not-an-image'
  | 'damaged-image'
  | 'too-large'
  | 'image-too-large-for-paper'
  | 'busy'
  | 'bad-request'
  | 'print-failed'
  | 'list-failed'
  | 'unexpected-answer'
  /** until: 'printed' and the label had not ended in time; job.reasons say why. */
  | 'waiting'
  /** until: 'printed' and the label was canceled. */
  | 'canceled'
  /** cancelJob of a label that had ended; job.state says how. */
  | 'already-ended'
  /** A job printgate did not print, or whose end it no longer remembers. */
  | 'job-not-found'
  | 'cancel-failed';

export declare class PrintgateError extends Error {
  readonly name: 'PrintgateError';
  readonly code: PrintgateErrorCode;
  /** The HTTP status of printgate's answer, when there was one. */
  readonly status: number | null;
  /** printgate's own text about the failure, when it gave one. */
  readonly detail: string | null;
  /** The label the failure is about, for the codes about one. */
  readonly job: JobRef | null;
}

/** Where a label stands. "printed" means handed to the printer. */
export type LabelState = 'queued' | 'printing' | 'printed' | 'waiting' | 'failed' | 'canceled';
/** Why a label, or a printer, is waiting. */
export type WaitReason =
  | 'printer-absent'
  | 'printer-offline'
  | 'queue-paused'
  | 'queue-stopped'
  | 'media-empty'
  | 'needs-attention'
  | 'other';

/** A label as the client names it: its job number on its printer. */
export interface JobRef {
  job: number;
  printer: string;
  state?: LabelState | null;
  reasons?: WaitReason[];
}

/** One of this desk's labels as printgate follows it. */
export interface Job {
  job: number;
  printer: string;
  state: LabelState;
  reasons: WaitReason[];
  /** The spooler's own text, e.g. "Waiting for printer to become available." */
  message: string;
}

export interface RequestOptions {
  /** Where printgate answers; "http://127.0.0.1:6780" unless given. */
  baseUrl?: string;
  signal?: AbortSignal;
  /** Milliseconds before the call fails with "timeout"; 0 waits forever. */
  timeoutMs?: number;
  /** A fetch to use instead of the global one. */
  fetch?: typeof fetch;
  /**
   * Called once per call when the browser holds the request until the person
   * answers its prompt; tell them to allow the site. The time limit starts
   * once they have answered.
   */
  onPermissionPrompt?: (prompt: PermissionPrompt) => void;
}

export interface PermissionPrompt {
  /** A sentence the page can show the person, in English. */
  message: string;
}

/**
 * Whether the browser lets this page reach printgate: "prompt" means it will
 * ask the person at the first request; "unsupported", that it has no such
 * permission and does not ask.
 */
export type LoopbackPermission = 'granted' | 'denied' | 'prompt' | 'unsupported';

export interface ListOptions extends RequestOptions {
  onlyLocal?: boolean;
  onlyOnline?: boolean;
  onlySupported?: boolean;
}

export interface Printer {
  name: string;
  /** Not set to work offline; null when an older printgate cannot tell. */
  online: boolean | null;
  /** Not a network printer; null when an older printgate cannot tell. */
  local: boolean | null;
  /** One of the label printers printgate is made for. */
  supported: boolean;
  /** The system's default printer; null when an older printgate cannot tell. */
  default: boolean | null;
  /** Whether a label sent now would move; absent from an older printgate. */
  state?: 'idle' | 'printing' | 'waiting';
  reasons?: WaitReason[];
}

export interface PrinterList {
  printers: Printer[];
  /** printgate's version, e.g. "1.0.0"; null for an older printgate. */
  version: string | null;
  legacy: boolean;
}

export type LabelImage = HTMLCanvasElement | OffscreenCanvas | Blob | ArrayBuffer | ArrayBufferView | string;

export interface PrintOptions extends RequestOptions {
  /** The printer's name as listed; printgate's default queue when absent. */
  printer?: string;
  /** 1 to 99. */
  copies?: number;
  /**
   * "printed": resolve only once the label printed; reject with "print-failed",
   * "canceled", or "waiting" when it has not ended within `wait`.
   */
  until?: 'printed';
  /** With until: seconds to wait, 0 to 300; 30 when absent. */
  wait?: number;
}

export interface Printed {
  printed: true;
  printer: string;
  /** The spooler's job number. */
  job: number;
  widthMm: number;
  heightMm: number;
  online: boolean;
  /** Where the label stands as the answer left ("printed" with until). */
  state: LabelState;
  legacy: false;
}

/** An older printgate took the label but cannot say whether it printed. */
export interface PrintedUnknown {
  printed: null;
  outcome: 'unknown';
  legacy: true;
  printer: string | null;
  job: null;
}

export declare function permission(): Promise<LoopbackPermission>;
export declare function listPrinters(options?: ListOptions): Promise<PrinterList>;
export declare function printLabel(image: LabelImage, options?: PrintOptions): Promise<Printed | PrintedUnknown>;

/** A handle on a watch; close() ends it (the last one closes the stream). */
export interface Watch {
  close(): void;
}

export declare function getJob(job: JobRef | number, options?: RequestOptions): Promise<Job>;
export declare function cancelJob(job: JobRef | number, options?: RequestOptions): Promise<Job>;
/** A sentence for a person about why a label waits. */
export declare function reasonMessage(reasons: WaitReason[]): string;
/**
 * onChange gets every printer with its state, at once when known and at each
 * change. One stream serves all of a browser's tabs; polling where none opens.
 */
export declare function watchPrinters(onChange: (printers: Printer[]) => void, options?: RequestOptions): Watch;
/** onJob gets each change of a label printed through printgate. */
export declare function watchJobs(onJob: (job: Job) => void, options?: RequestOptions): Watch;
