import { spawn, type ChildProcessWithoutNullStreams } from 'node:child_process';
import { endianness } from 'node:os';
import { fileURLToPath } from 'node:url';

import { VelmarError } from './errors.js';
import { LineSplitter, parseFrame } from './framing.js';
import {
  actionNames,
  type ActionName,
  type ActionParams,
  type ActionResult,
  type AudioData,
  type AudioDataWire,
  type EventName,
  type Events,
  type InitInfo,
} from './protocol.js';

/** The release build of this repository, relative to the compiled client. */
export const defaultBinary = fileURLToPath(new URL('../../../../build/release/velmar-audio-cli', import.meta.url));

export interface StartOptions {
  /** Path of the executable; the repository's release build by default. */
  binary?: string;
  /** Command-line arguments, e.g. ['--platform', 'pipewire']. */
  args?: string[];
  /** Added to (and overriding) this process's environment. */
  env?: Record<string, string | undefined>;
  /** Shorthand for VELMAR_PLATFORM. */
  platform?: string;
  /** Shorthand for VELMAR_SIM_SCENARIO: a scenario file of the simulated machine. */
  scenario?: string;
  /** Shorthand for VELMAR_STORE_PATH: where aggregate devices are remembered. */
  storePath?: string;
  /** How long to wait for INIT (default 10 s). */
  initTimeoutMs?: number;
  /** Default time-out of every request (default 10 s). */
  requestTimeoutMs?: number;
}

export interface RequestOptions {
  timeoutMs?: number;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** A line of standard output that is not a frame. */
export interface ProtocolErrorInfo {
  line: string;
  reason: string;
}

/** What `on` and `events` deliver: the service's events plus the client's own. */
export interface ClientEvents extends Events {
  /** One line of the service's standard error. */
  log: string;
  /** The service ended. */
  exit: ExitInfo;
  /** Standard output carried something that is not a frame. */
  protocolError: ProtocolErrorInfo;
}

export type ClientEventName = keyof ClientEvents;
type Listener<K extends ClientEventName> = (data: ClientEvents[K]) => void;

type MethodArgs<P> = Record<string, never> extends P
  ? [params?: P, options?: RequestOptions]
  : [params: P, options?: RequestOptions];

/** One method per action, named as the action. */
export type ActionMethods = {
  [A in ActionName]: (...args: MethodArgs<ActionParams<A>>) => Promise<ActionResult<A>>;
};

interface Pending {
  action: string;
  resolve: (data: unknown) => void;
  reject: (error: VelmarError) => void;
  timer: NodeJS.Timeout;
}

const littleEndian = endianness() === 'LE';

/** Decodes the Base64 PCM of one "audioData" straight into its sample array. */
export function decodeAudioData(wire: AudioDataWire): AudioData {
  const samples = new Int16Array(Math.floor(wire.bufferSize / 2));
  const bytes = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
  bytes.write(wire.buffer, 'base64');
  if (!littleEndian) bytes.swap16();
  const data: AudioData = {
    streamIndex: wire.streamIndex ?? 0,
    sampleRate: wire.sampleRate,
    channels: wire.actualChannels ?? wire.channels,
    timestamp: wire.timestamp,
    format: wire.format,
    samples,
  };
  if (wire.sequence !== undefined) data.sequence = wire.sequence;
  if (wire.hostTime !== undefined) data.hostTime = wire.hostTime;
  if (wire.frames !== undefined) data.frames = wire.frames;
  return data;
}

export interface Client extends ActionMethods {}

/** A running service: requests, typed events, its standard error and its exit. */
export class Client {
  /** The INIT the service announced itself with. */
  readonly init: InitInfo;
  readonly pid: number;
  /** Resolves when the service has ended (never rejects). */
  readonly exited: Promise<ExitInfo>;

  private readonly child: ChildProcessWithoutNullStreams;
  private readonly requestTimeoutMs: number;
  private readonly pending = new Map<string, Pending>();
  private readonly listeners = new Map<string, Set<(data: never) => void>>();
  private nextId = 1;
  private exitInfo: ExitInfo | undefined;

  /** Use `start()`; the client takes over a child that has sent INIT. */
  private constructor(
    child: ChildProcessWithoutNullStreams,
    init: InitInfo,
    requestTimeoutMs: number,
    exited: Promise<ExitInfo>,
  ) {
    this.child = child;
    this.init = init;
    this.pid = child.pid ?? 0;
    this.requestTimeoutMs = requestTimeoutMs;
    this.exited = exited;
  }

  /** Sends any action; resolves to the final response's `data`. */
  request<A extends ActionName>(action: A, params?: ActionParams<A>, options?: RequestOptions): Promise<ActionResult<A>>;
  request(action: string, params?: Record<string, unknown>, options?: RequestOptions): Promise<unknown>;
  request(action: string, params: Record<string, unknown> = {}, options: RequestOptions = {}): Promise<unknown> {
    if ('id' in params || 'action' in params) {
      return Promise.reject(new TypeError('"id" and "action" are set by the client, not by parameters'));
    }
    const id = String(this.nextId++);
    if (this.exitInfo !== undefined || !this.child.stdin.writable) {
      return Promise.reject(new VelmarError(`${action}: the service is not running`, 'not_running', action, id));
    }
    const timeoutMs = options.timeoutMs ?? this.requestTimeoutMs;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new VelmarError(`${action}: no response within ${timeoutMs} ms`, 'request_timeout', action, id));
      }, timeoutMs);
      this.pending.set(id, { action, resolve, reject, timer });
      // One command per line; the service reads lines.
      this.child.stdin.write(JSON.stringify({ ...params, id, action }) + '\n');
    });
  }

  /** Calls `listener` with every event of that name; returns a function that stops it. */
  on<K extends ClientEventName>(name: K, listener: Listener<K>): () => void {
    let set = this.listeners.get(name);
    if (set === undefined) {
      set = new Set();
      this.listeners.set(name, set);
    }
    set.add(listener as (data: never) => void);
    return () => this.off(name, listener);
  }

  off<K extends ClientEventName>(name: K, listener: Listener<K>): void {
    this.listeners.get(name)?.delete(listener as (data: never) => void);
  }

  /** Calls `listener` with the next event of that name only. */
  once<K extends ClientEventName>(name: K, listener: Listener<K>): () => void {
    const stop = this.on(name, (data) => {
      stop();
      listener(data);
    });
    return stop;
  }

  /**
   * The events of that name from now on, as an async iterator (queued while
   * the consumer is busy). It ends when the service exits or the loop breaks.
   */
  events<K extends EventName | 'log' | 'protocolError'>(name: K): AsyncIterableIterator<ClientEvents[K]> {
    const queue: ClientEvents[K][] = [];
    let wake: (() => void) | undefined;
    let done = this.exitInfo !== undefined;
    const stopEvents = this.on(name, (data) => {
      queue.push(data);
      wake?.();
    });
    const stopExit = this.on('exit', () => {
      done = true;
      wake?.();
    });
    const finish = (): void => {
      done = true;
      stopEvents();
      stopExit();
      wake?.();
    };
    const iterator: AsyncIterableIterator<ClientEvents[K]> = {
      async next(): Promise<IteratorResult<ClientEvents[K]>> {
        while (queue.length === 0 && !done) await new Promise<void>((resolve) => (wake = resolve));
        wake = undefined;
        if (queue.length > 0) return { value: queue.shift() as ClientEvents[K], done: false };
        finish();
        return { value: undefined, done: true };
      },
      async return(): Promise<IteratorResult<ClientEvents[K]>> {
        queue.length = 0;
        finish();
        return { value: undefined, done: true };
      },
      [Symbol.asyncIterator]() {
        return iterator;
      },
    };
    return iterator;
  }

  /** Resolves with the first event of that name for which `accept` holds. */
  waitFor<K extends ClientEventName>(
    name: K,
    accept: (data: ClientEvents[K]) => boolean = () => true,
    timeoutMs = this.requestTimeoutMs,
  ): Promise<ClientEvents[K]> {
    return new Promise((resolve, reject) => {
      const finish = (): void => {
        clearTimeout(timer);
        stopEvent();
        stopExit();
      };
      const timer = setTimeout(() => {
        finish();
        reject(new VelmarError(`no "${name}" within ${timeoutMs} ms`, 'request_timeout', name));
      }, timeoutMs);
      const stopEvent = this.on(name, (data) => {
        if (!accept(data)) return;
        finish();
        resolve(data);
      });
      const stopExit = this.on('exit', () => {
        if (name === 'exit') return;
        finish();
        reject(new VelmarError(`the service ended before "${name}"`, 'child_exited', name));
      });
    });
  }

  /** Closes standard input (the service's signal to end) and resolves with its exit. */
  async stop(options: { timeoutMs?: number } = {}): Promise<ExitInfo> {
    this.child.stdin.end();
    const timeoutMs = options.timeoutMs ?? 10_000;
    let timer: NodeJS.Timeout | undefined;
    const late = new Promise<void>((resolve) => (timer = setTimeout(resolve, timeoutMs)));
    const first = await Promise.race([this.exited, late]);
    clearTimeout(timer);
    if (first !== undefined) return first;
    this.child.kill('SIGKILL');
    return this.exited;
  }

  /** Sends a signal to the service (SIGKILL by default). */
  kill(signal: NodeJS.Signals = 'SIGKILL'): void {
    this.child.kill(signal);
  }

  /** @internal Spawns the executable and resolves once it has sent INIT. */
  static async start(options: StartOptions = {}): Promise<Client> {
    const env: Record<string, string | undefined> = { ...process.env, PARENT_PID: String(process.pid) };
    if (options.platform !== undefined) env.VELMAR_PLATFORM = options.platform;
    if (options.scenario !== undefined) env.VELMAR_SIM_SCENARIO = options.scenario;
    if (options.storePath !== undefined) env.VELMAR_STORE_PATH = options.storePath;
    Object.assign(env, options.env);

    const child = spawn(options.binary ?? defaultBinary, options.args ?? [], { env, stdio: 'pipe' });
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    // A write to a service that just died must not take the host down.
    child.stdin.on('error', () => {});

    // Everything that arrives before INIT is kept and replayed to the client.
    const early: Array<{ kind: 'line' | 'log'; text: string }> = [];
    let client: Client | undefined;
    let resolveExit: (info: ExitInfo) => void = () => {};
    const exited = new Promise<ExitInfo>((resolve) => (resolveExit = resolve));
    const stdoutLines = new LineSplitter();
    const stderrLines = new LineSplitter();

    return new Promise<Client>((resolve, reject) => {
      let settled = false;
      const fail = (message: string): void => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        const logs = early.filter((e) => e.kind === 'log').slice(-10).map((e) => e.text);
        reject(new Error(logs.length > 0 ? `${message}; its last lines:\n${logs.join('\n')}` : message));
      };
      const timeoutMs = options.initTimeoutMs ?? 10_000;
      const timer = setTimeout(() => {
        fail(`velmar-audio-cli sent no INIT within ${timeoutMs} ms`);
        child.kill('SIGKILL');
      }, timeoutMs);

      const onLine = (line: string): void => {
        if (client !== undefined) return client.handleLine(line);
        early.push({ kind: 'line', text: line });
        if (!line.startsWith('INIT:>')) return;
        let init: InitInfo;
        try {
          init = parseFrame(line).body as unknown as InitInfo;
        } catch {
          return;
        }
        settled = true;
        clearTimeout(timer);
        client = new Client(child, init, options.requestTimeoutMs ?? 10_000, exited);
        for (const e of early) {
          if (e.kind === 'log') client.emit('log', e.text);
          else if (e.text !== line) client.handleLine(e.text);
        }
        early.length = 0;
        resolve(client);
      };
      const onLog = (line: string): void => {
        if (client !== undefined) client.emit('log', line);
        else early.push({ kind: 'log', text: line });
      };

      child.stdout.on('data', (chunk: string) => stdoutLines.push(chunk, onLine));
      child.stderr.on('data', (chunk: string) => stderrLines.push(chunk, onLog));
      child.on('error', (error) => {
        fail(`cannot run ${options.binary ?? defaultBinary}: ${error.message}`);
        resolveExit({ code: null, signal: null });
      });
      child.on('close', (code, signal) => {
        const restOut = stdoutLines.flush();
        if (restOut !== '') onLine(restOut);
        const restErr = stderrLines.flush();
        if (restErr !== '') onLog(restErr);
        const info: ExitInfo = { code, signal };
        fail(`velmar-audio-cli ended before INIT (code ${code}, signal ${signal})`);
        client?.ended(info);
        resolveExit(info);
      });
    });
  }

  private handleLine(line: string): void {
    let frame;
    try {
      frame = parseFrame(line);
    } catch (error) {
      this.emit('protocolError', { line, reason: (error as Error).message });
      return;
    }
    const body = frame.body;
    if (frame.kind === 'RESPONSE') {
      if (body.isAcknowledgment === true) return;
      const id = typeof body.id === 'string' ? body.id : '';
      const pending = this.pending.get(id);
      if (pending === undefined) return; // timed out, or not ours (e.g. "unknown")
      this.pending.delete(id);
      clearTimeout(pending.timer);
      if (body.success === true) {
        pending.resolve(body.data ?? {});
      } else {
        const message = typeof body.error === 'string' ? body.error : 'unknown error';
        const code = typeof body.code === 'string' ? body.code : undefined;
        pending.reject(new VelmarError(message, code, pending.action, id));
      }
    } else if (frame.kind === 'EVENT' && typeof body.event === 'string') {
      const name = body.event;
      if (!this.listeners.get(name)?.size) return; // no one listens: skip decoding
      const data = name === 'audioData' ? decodeAudioData(body.data as AudioDataWire) : body.data;
      this.emit(name as ClientEventName, data as never);
    }
  }

  private emit<K extends ClientEventName>(name: K, data: ClientEvents[K]): void {
    const set = this.listeners.get(name);
    if (set === undefined) return;
    for (const listener of [...set]) {
      try {
        (listener as Listener<K>)(data);
      } catch (error) {
        // A listener's fault must not stop the stream for the others.
        queueMicrotask(() => {
          throw error;
        });
      }
    }
  }

  private ended(info: ExitInfo): void {
    this.exitInfo = info;
    const how = info.signal !== null ? `signal ${info.signal}` : `code ${info.code}`;
    for (const [id, pending] of this.pending) {
      clearTimeout(pending.timer);
      pending.reject(new VelmarError(`${pending.action}: the service ended (${how})`, 'child_exited', pending.action, id));
    }
    this.pending.clear();
    this.emit('exit', info);
  }
}

for (const action of actionNames) {
  Object.defineProperty(Client.prototype, action, {
    value: function (this: Client, params?: Record<string, unknown>, options?: RequestOptions) {
      return this.request(action, params, options);
    },
    writable: true,
    configurable: true,
  });
}

/** Starts the service and resolves once it has announced itself (INIT). */
export function start(options: StartOptions = {}): Promise<Client> {
  return Client.start(options);
}
