import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after } from 'node:test';

import { start, type Client, type StartOptions } from '../src/index.js';

const directories: string[] = [];
const clients: Client[] = [];

after(async () => {
  for (const client of clients) {
    client.kill();
    await client.exited;
  }
  for (const directory of directories) rmSync(directory, { recursive: true, force: true });
});

function scratch(): string {
  const directory = mkdtempSync(join(tmpdir(), 'velmar-client-'));
  directories.push(directory);
  return directory;
}

/**
 * The service on the simulated machine, with a store of its own so tests do
 * not see each other's aggregate devices; `scenario` is written to a file.
 */
export async function startSimulated(options: StartOptions & { scenarioJson?: object } = {}): Promise<Client> {
  const directory = scratch();
  const { scenarioJson, ...rest } = options;
  let scenario = rest.scenario;
  if (scenarioJson !== undefined) {
    scenario = join(directory, 'scenario.json');
    writeFileSync(scenario, JSON.stringify(scenarioJson));
  }
  const client = await start({
    platform: 'sim',
    storePath: join(directory, 'aggregateDevices.json'),
    ...rest,
    ...(scenario !== undefined ? { scenario } : {}),
  });
  clients.push(client);
  return client;
}

/** Frequency of a mono signal from its rising zero crossings. */
export function zeroCrossingFrequency(samples: Int16Array, sampleRate: number): number {
  let first = -1;
  let last = -1;
  let crossings = 0;
  for (let i = 1; i < samples.length; i++) {
    if ((samples[i - 1] as number) < 0 && (samples[i] as number) >= 0) {
      if (first < 0) first = i;
      else crossings++;
      last = i;
    }
  }
  if (crossings === 0) return 0;
  return (crossings * sampleRate) / (last - first);
}

/** Joins sample arrays into one. */
export function concat(parts: Int16Array[]): Int16Array {
  const all = new Int16Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const part of parts) {
    all.set(part, at);
    at += part.length;
  }
  return all;
}

/** Blocks this process's event loop, as a busy host would. */
export function blockFor(ms: number): void {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

/** Stops a process (SIGSTOP) and returns once the kernel reports it stopped. */
export async function freeze(pid: number): Promise<void> {
  process.kill(pid, 'SIGSTOP');
  const deadline = Date.now() + 10_000;
  for (;;) {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    const state = stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3);
    if (state === 'T' || state === 't') return;
    if (Date.now() > deadline) throw new Error(`process ${pid} did not stop (state ${state})`);
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
}

/** Options of every test: a service that stops answering fails the test instead of hanging it. */
export const limit = { timeout: 60_000 };
