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
  | 'unexpected-answer';

export declare class PrintgateError extends Error {
  readonly name: 'PrintgateError';
  readonly code: PrintgateErrorCode;
  /** The HTTP status of printgate's answer, when there was one. */
  readonly status: number | null;
  /** printgate's own text about the failure, when it gave one. */
  readonly detail: string | null;
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
}

export interface Printed {
  printed: true;
  printer: string;
  /** The spooler's job number. */
  job: number;
  widthMm: number;
  heightMm: number;
  online: boolean;
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
