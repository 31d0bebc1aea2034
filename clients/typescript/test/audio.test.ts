import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import type { AudioData, Client } from '../src/index.js';
import { blockFor, concat, limit, startSimulated, zeroCrossingFrequency } from './helpers.js';

/** An aggregate of the built-in microphone and a tap over every process, recording and streaming. */
async function record(client: Client): Promise<void> {
  const { deviceID } = await client.createAggregateDevice();
  await client.addDeviceToAggregate({ aggregateID: deviceID, deviceUID: 'BuiltInMicrophoneDevice' });
  const tap = await client.createSystemLevelTap();
  await client.addTapToAggregate({ aggregateID: deviceID, tapUID: tap.uid });
  await client.enableAudioStreaming({ format: 'pcm16', sampleRate: 48000, channels: 1 });
  await client.startRecording();
}

/** Collects `seconds` of audio of every stream. */
async function collect(client: Client, seconds: number, streams: number): Promise<Map<number, AudioData[]>> {
  const byStream = new Map<number, AudioData[]>();
  const frames = (index: number): number =>
    (byStream.get(index) ?? []).reduce((n, d) => n + d.samples.length / d.channels, 0);
  for await (const data of client.events('audioData')) {
    byStream.set(data.streamIndex, [...(byStream.get(data.streamIndex) ?? []), data]);
    const enough = [...Array(streams).keys()].every((i) => frames(i) >= seconds * data.sampleRate);
    if (enough) break;
  }
  return byStream;
}

describe('audio', () => {
  test('both streams decode to the simulated tones', limit, async () => {
    const client = await startSimulated();
    await record(client);
    const streams = await collect(client, 1, 2);
    await client.stopRecording();

    // Stream 0 is the microphone (440 Hz), stream 1 the tap, where only Music (523.25 Hz) plays.
    for (const [index, tone] of [
      [0, 440],
      [1, 523.25],
    ] as const) {
      const buffers = streams.get(index) ?? [];
      assert.ok(buffers.length > 0, `stream ${index} delivered audio`);
      const first = buffers[0] as AudioData;
      assert.equal(first.sampleRate, 48000);
      assert.equal(first.channels, 1);
      assert.ok(first.samples instanceof Int16Array);
      const samples = concat(buffers.map((b) => b.samples));
      const peak = samples.reduce((m, s) => Math.max(m, Math.abs(s)), 0);
      assert.ok(peak > 1000, `stream ${index} is not silent (peak ${peak})`);
      const measured = zeroCrossingFrequency(samples, first.sampleRate);
      assert.ok(Math.abs(measured - tone) < 2, `stream ${index}: ${measured} Hz, expected ${tone} Hz`);
    }
  });

  test('a host that stops reading for a while still gets every response', limit, async () => {
    // The permission request is answered 1.5 s late, so its response is written
    // while standard output is already full of audio nobody reads.
    const client = await startSimulated({
      requestTimeoutMs: 30_000,
      scenarioJson: { base: 'default', authorization: 'notDetermined', authorizationRequest: { answer: 'granted', after: 1.5 } },
    });
    await record(client);
    await client.waitFor('audioData');

    const late = client.requestMicrophonePermission();
    const quick = Array.from({ length: 30 }, (_, i) =>
      i % 3 === 0 ? client.ping() : i % 3 === 1 ? client.getRecordingStatus() : client.listAudioTaps(),
    );
    // The host is busy: nothing is read for four seconds, while two streams
    // produce about 2 MB of frames, far more than the pipe holds.
    blockFor(4_000);

    const answers = await Promise.all(quick);
    answers.forEach((answer, i) => {
      if (i % 3 === 0) assert.equal((answer as { status: string }).status, 'alive');
      if (i % 3 === 1) assert.equal((answer as { isRecording: boolean }).isRecording, true);
      if (i % 3 === 2) assert.equal((answer as { count: number }).count, 1);
    });
    assert.equal((await late).granted, true);

    await client.waitFor('audioData'); // and audio flows again
    await client.stopRecording();
  });
});
