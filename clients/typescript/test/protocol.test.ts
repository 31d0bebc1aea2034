import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { test } from 'node:test';

import { actionNames, defaultBinary, eventNames } from '../src/index.js';
import { limit } from './helpers.js';

interface Described {
  actions: { name: string; supported: boolean; parameters: { name: string }[] }[];
  events: { name: string }[];
}

// The executable's own description, with no service started.
function describe(): Described {
  return JSON.parse(execFileSync(defaultBinary, ['--describe-protocol'], { encoding: 'utf8' })) as Described;
}

test("the client's action and event tables name exactly the executable's", limit, () => {
  const described = describe();
  // An action the service only acknowledges and refuses has no method.
  const supported = described.actions.filter((a) => a.supported).map((a) => a.name);
  assert.deepEqual([...actionNames].sort(), supported.sort());
  assert.deepEqual([...eventNames].sort(), described.events.map((e) => e.name).sort());
});
