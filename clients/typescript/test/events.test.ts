import assert from 'node:assert/strict';
import { test } from 'node:test';

import type { Events } from '../src/index.js';
import { limit, startSimulated } from './helpers.js';

test('events of a scenario timeline arrive typed, through on() and events()', limit, async () => {
  const client = await startSimulated({
    scenarioJson: {
      base: 'default',
      timeline: [
        { at: 1, event: 'addProcess', process: { pid: 2300, name: 'Meeting', bundleID: 'org.example.meeting' } },
        { at: 1.5, event: 'createTap', name: 'Screen Recorder', pids: [1201], mixdown: 'stereo' },
        { at: 2, event: 'microphoneInUse', uid: 'BuiltInMicrophoneDevice', inUse: true },
        { at: 3, event: 'removeProcess', pid: 2300 },
      ],
    },
  });

  const added: Events['audioProcessAdded'][] = [];
  client.on('audioProcessAdded', (process) => added.push(process));
  const tapAdded = client.waitFor('audioTapAdded', (tap) => tap.name === 'Screen Recorder');
  const microphone = client.waitFor('microphoneChanged', (change) => change.isActive);

  let removedID = 0;
  for await (const removed of client.events('audioProcessRemoved')) {
    removedID = removed.id;
    if (added.some((p) => p.id === removed.id)) break;
  }

  const meeting = added.find((p) => p.pid === 2300);
  assert.ok(meeting, 'the meeting app was announced');
  assert.deepEqual([meeting.name, meeting.bundleID], ['Meeting', 'org.example.meeting']);
  assert.equal(removedID, meeting.id);

  const tap = await tapAdded;
  assert.equal(tap.mixdown, 1);
  assert.equal(typeof tap.uid, 'string');
  const change = await microphone;
  assert.equal(change.deviceName, 'MacBook Pro Built-in Microphone');
  assert.ok(change.deviceID > 0);
});
