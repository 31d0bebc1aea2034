import assert from 'node:assert/strict';
import { before, describe, test } from 'node:test';

import {
  actionNames,
  VelmarError,
  type ActionName,
  type ActionParams,
  type ActionResult,
  type Client,
} from '../src/index.js';
import { limit, startSimulated } from './helpers.js';

// What earlier actions made, for the ones that follow.
interface Made {
  tapID: number;
  systemTapUID: string;
  aggregateID: number;
}

interface Case<A extends ActionName> {
  action: A;
  params?: (made: Made) => ActionParams<A>;
  check: (result: ActionResult<A>, made: Made) => void;
}

function row<A extends ActionName>(
  action: A,
  check: Case<A>['check'],
  params?: Case<A>['params'],
): Case<ActionName> {
  return { action, check, ...(params ? { params } : {}) } as unknown as Case<ActionName>;
}

const microphone = 'BuiltInMicrophoneDevice';

// In the order they run: each row may use what the rows above made.
const rows: Case<ActionName>[] = [
  row('ping', (r) => {
    assert.equal(r.status, 'alive');
    assert.ok(Math.abs(r.timestamp - Date.now()) < 60_000);
  }),
  row('selfTest', (r) => assert.equal(r.allTestsPassed, true)),
  row('getMicrophoneStatus', (r) => assert.equal(typeof r.isActive, 'boolean')),
  row('listAudioProcesses', (r) => {
    assert.equal(r.count, r.processes.length);
    assert.ok(r.processes.some((p) => p.pid === 1201 && p.name === 'Music' && p.isRunning));
    assert.equal(r.runningCount, r.processes.filter((p) => p.isRunning).length);
  }),
  row('getRunningAudioProcesses', (r) => assert.deepEqual(r.processes.map((p) => p.pid), [1201])),
  row(
    'findAudioProcessesByName',
    (r) => {
      assert.equal(r.searchTerm, 'safa');
      assert.deepEqual(r.processes.map((p) => p.bundleID), ['com.apple.Safari']);
    },
    () => ({ name: 'safa' }),
  ),
  row('listAudioTaps', (r) => assert.equal(r.count, r.taps.length)),
  row(
    'createAudioTap',
    (r, made) => {
      assert.equal(r.name, 'Client tap');
      assert.equal(r.processes.length, 1);
      made.tapID = r.id;
    },
    () => ({ config: { name: 'Client tap', processes: [50] } }),
  ),
  row(
    'updateAudioTap',
    (r, made) => {
      assert.equal(r.id, made.tapID);
      assert.equal(r.name, 'Renamed tap');
      assert.equal(r.mixdown, 1);
    },
    (made) => ({ tapID: made.tapID, config: { name: 'Renamed tap', mixdown: 1 } }),
  ),
  row('destroyAudioTap', (r, made) => assert.equal(r.tapID, made.tapID), (made) => ({ tapID: made.tapID })),
  row('createAudioTapWithAllProcesses', (r) => assert.ok(r.processes.length >= 5)),
  row('createSystemLevelTap', (r, made) => {
    assert.equal(r.name, 'System Audio Interceptor');
    made.systemTapUID = r.uid;
  }),
  row('getAudioDevices', (r) => {
    assert.equal(r.count, r.devices.length);
    assert.ok(r.devices.some((d) => d.uid === microphone && d.hasInputChannels));
  }),
  row('checkAggregateDevice', (r) => assert.equal(r.hasAggregateDevices, false)),
  row('getAggregateDevices', (r) => assert.deepEqual(r.devices, [])),
  row('createAggregateDevice', (r, made) => {
    assert.ok(r.deviceID > 0);
    made.aggregateID = r.deviceID;
  }),
  row(
    'configureAggregateDevice',
    (r, made) => assert.equal(r.deviceID, made.aggregateID),
    (made) => ({ deviceID: made.aggregateID, isPrivate: false }),
  ),
  row(
    'addDeviceToAggregate',
    (r, made) => assert.deepEqual([r.aggregateID, r.deviceUID], [made.aggregateID, microphone]),
    (made) => ({ aggregateID: made.aggregateID, deviceUID: microphone }),
  ),
  row(
    'addTapToAggregate',
    (r, made) => assert.equal(r.tapUID, made.systemTapUID),
    (made) => ({ aggregateID: made.aggregateID, tapUID: made.systemTapUID }),
  ),
  row('getDeviceCapabilities', (r) => assert.ok(r.supportedSampleRates.includes(48000))),
  row('getOptimalAudioConfig', (r) => {
    assert.equal(r.format, 'linear16');
    assert.ok(r.sampleRate > 0 && r.channels > 0);
  }),
  row(
    'enableAudioStreaming',
    (r) => assert.deepEqual([r.format, r.sampleRate, r.channels], ['pcm16', 48000, 1]),
    () => ({ format: 'pcm16', sampleRate: 48000, channels: 1 }),
  ),
  row('getAudioStreamingStatus', (r) => assert.equal(r.enabled, true)),
  row(
    'startRecording',
    (r, made) => assert.deepEqual([r.deviceId, r.streamingMode], [made.aggregateID, true]),
    () => ({}),
  ),
  row('getRecordingStatus', (r, made) => {
    assert.equal(r.isRecording, true);
    assert.deepEqual(r.deviceInfo.subDevices, [microphone]);
    assert.deepEqual(r.deviceInfo.taps, [made.systemTapUID]);
  }),
  row('pauseRecording', (r) => assert.deepEqual(r, { isPaused: true, isRecording: true })),
  row('resumeRecording', (r) => assert.deepEqual(r, { isPaused: false, isRecording: true })),
  row('stopRecording', (r) => assert.ok(r.duration >= 0 && r.duration < 60)),
  row('disableAudioStreaming', (r) => assert.deepEqual(r, {})),
  row('handleDeviceSwitch', (r) => assert.match(r.message, /Device switch handled/)),
  row('enableProcessMonitoring', (r) => assert.deepEqual([r.enabled, r.interval], [true, 2]), () => ({ interval: 2 })),
  row('setMonitoringInterval', (r) => assert.equal(r.interval, 1), () => ({ interval: 0.2 })),
  row('getProcessMonitoringStatus', (r) => assert.deepEqual([r.enabled, r.interval], [true, 1])),
  row('disableProcessMonitoring', (r) => assert.equal(r.enabled, false)),
  row('enableTapAutoUpdate', (r) => assert.equal(r.enabled, true)),
  row('disableTapAutoUpdate', (r) => assert.equal(r.enabled, false)),
  row('forceUpdateTaps', (r) => assert.equal(r.success, true)),
  row('requestMicrophonePermission', (r) => assert.deepEqual([r.permission, r.granted], ['microphone', true])),
  row('checkMicrophonePermission', (r) => assert.deepEqual([r.permission, r.granted], ['microphone', true])),
  row('requestScreenCaptureAccess', (r) => assert.equal(r.permission, 'systemAudio')),
  row('requestSystemAudioAccess', (r) => assert.equal(r.permission, 'systemAudio')),
  row('checkScreenCapturePermission', (r) => assert.equal(r.permission, 'systemAudio')),
  row('checkSystemAudioPermission', (r) => assert.equal(r.granted, true)),
  row('getPermissionStatus', (r) => assert.equal(r.allGranted, r.microphone.granted && r.systemAudio.granted)),
  row(
    'removeTapFromAggregate',
    (r, made) => assert.equal(r.tapUID, made.systemTapUID),
    (made) => ({ aggregateID: made.aggregateID, tapUID: made.systemTapUID }),
  ),
  row(
    'removeDeviceFromAggregate',
    (r) => assert.equal(r.deviceUID, microphone),
    (made) => ({ aggregateID: made.aggregateID, deviceUID: microphone }),
  ),
  row(
    'destroyAggregateDevice',
    (r, made) => assert.equal(r.deviceID, made.aggregateID),
    (made) => ({ deviceID: made.aggregateID }),
  ),
  row('cleanupAllTaps', (r) => assert.equal(r.success, true)),
];

describe('every action through its typed method', () => {
  let client: Client;
  const made: Made = { tapID: 0, systemTapUID: '', aggregateID: 0 };
  before(async () => {
    client = await startSimulated();
  });

  test('the table covers every action of the protocol', limit, () => {
    assert.deepEqual(rows.map((r) => r.action).sort(), [...actionNames].sort());
  });

  for (const { action, params, check } of rows) {
    test(action, limit, async () => {
      const method = client[action] as (p?: object) => Promise<ActionResult<typeof action>>;
      check(await method.call(client, params?.(made)), made);
    });
  }
});

describe('failures', () => {
  let client: Client;
  before(async () => {
    client = await startSimulated();
  });

  test('an unknown action rejects with execution_error', limit, async () => {
    await assert.rejects(client.request('getRecordings'), (e: unknown) => {
      assert.ok(e instanceof VelmarError);
      assert.deepEqual([e.code, e.action], ['execution_error', 'getRecordings']);
      assert.match(e.message, /Unsupported action: getRecordings/);
      return true;
    });
  });

  test('a mistyped parameter rejects with missing_parameter naming it', limit, async () => {
    const wrong = { tapID: 'seven' } as unknown as { tapID: number };
    await assert.rejects(client.destroyAudioTap(wrong), { code: 'missing_parameter', message: /tapID/ });
  });

  test('a tap that does not exist rejects with resource_not_found', limit, async () => {
    await assert.rejects(client.updateAudioTap({ tapID: 999_999, config: {} }), { code: 'resource_not_found' });
  });

  test('a recording failure rejects with the text and no code', limit, async () => {
    // Nothing records on this client: stopping and pausing are both refused.
    const refusals: Array<[() => Promise<unknown>, string]> = [
      [() => client.stopRecording(), 'No recording to stop'],
      [() => client.pauseRecording(), 'No recording to pause'],
    ];
    for (const [call, text] of refusals) {
      await assert.rejects(call(), (e: unknown) => {
        assert.ok(e instanceof VelmarError);
        assert.equal(e.code, undefined);
        assert.equal(e.message, text);
        return true;
      });
    }
  });

  test('parameters cannot carry the id or the action', limit, async () => {
    await assert.rejects(client.request('ping', { id: 'x' }), TypeError);
  });
});
