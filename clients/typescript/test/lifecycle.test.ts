import assert from 'node:assert/strict';
import { setImmediate as nextTurn } from 'node:timers/promises';
import { test } from 'node:test';

import { start, VelmarError, type ExitInfo } from '../src/index.js';
import { freeze, limit, startSimulated } from './helpers.js';

const unhandled: unknown[] = [];
process.on('unhandledRejection', (reason) => unhandled.push(reason));

test('INIT is awaited and the exit code comes back from stop()', limit, async () => {
  const client = await startSimulated();
  assert.equal(client.init.ready, true);
  assert.equal(client.init.parentPid, String(process.pid));
  const logs: string[] = [];
  client.on('log', (line) => logs.push(line));
  await client.ping();
  assert.deepEqual(await client.stop(), { code: 0, signal: null });
  assert.ok(logs.some((line) => line.includes('closed stdin')), 'standard error is offered line by line');
});

test('a request without an answer in time rejects with request_timeout', limit, async () => {
  const client = await startSimulated();
  await freeze(client.pid);
  try {
    await assert.rejects(client.ping({}, { timeoutMs: 200 }), { code: 'request_timeout', action: 'ping' });
  } finally {
    process.kill(client.pid, 'SIGCONT');
  }
  // The late answer to the timed-out request is dropped; the next one is matched.
  assert.equal((await client.ping()).status, 'alive');
});

test('requests pending when the service is killed reject at once', limit, async () => {
  const client = await startSimulated({ requestTimeoutMs: 60_000 });
  const exits: ExitInfo[] = [];
  client.on('exit', (info) => exits.push(info));
  const iterator = client.events('microphoneLevel');

  await freeze(client.pid); // nothing is answered from here on
  const began = Date.now();
  const pending = [client.ping(), client.listAudioTaps(), client.getRecordingStatus()];
  client.kill('SIGKILL');
  for (const request of pending) {
    await assert.rejects(request, (e: unknown) => e instanceof VelmarError && e.code === 'child_exited');
  }
  assert.ok(Date.now() - began < 5_000, 'rejected on exit, not at the time-out');
  assert.deepEqual(exits, [{ code: null, signal: 'SIGKILL' }]);
  assert.deepEqual(await client.exited, { code: null, signal: 'SIGKILL' });

  await assert.rejects(client.ping(), { code: 'not_running' });
  // Iterators end with the service instead of waiting forever.
  for await (const level of iterator) assert.equal(typeof level.level, 'number');
});

test('a crash leaves no unhandled rejection and no broken pipe behind', limit, async () => {
  const client = await startSimulated();
  await freeze(client.pid);
  const request = client.ping({}, { timeoutMs: 60_000 });
  // The service's crash handler ends it with status 1.
  process.kill(client.pid, 'SIGSEGV');
  process.kill(client.pid, 'SIGCONT');
  const late = client.listAudioTaps(); // written into a pipe that is closing
  await assert.rejects(request, { code: 'child_exited' });
  await assert.rejects(late, VelmarError);
  assert.deepEqual(await client.exited, { code: 1, signal: null });
  await nextTurn();
  await nextTurn();
  assert.deepEqual(unhandled, []);
});

test('an executable that cannot be run rejects start()', limit, async () => {
  await assert.rejects(start({ binary: '/nonexistent/velmar-audio-cli' }), /cannot run/);
});
