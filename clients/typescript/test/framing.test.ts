import assert from 'node:assert/strict';
import { test } from 'node:test';

import { decodeAudioData, parseFrame } from '../src/index.js';
import { LineSplitter } from '../src/framing.js';
import { limit } from './helpers.js';

test('frames are recognised by their markers, anything else is refused', limit, () => {
  assert.deepEqual(parseFrame('RESPONSE:>{"id":"1","success":true}<:RESPONSE'), {
    kind: 'RESPONSE',
    body: { id: '1', success: true },
  });
  assert.equal(parseFrame('EVENT:>{"event":"a<:EVENT","data":{}}<:EVENT').body.event, 'a<:EVENT');
  assert.throws(() => parseFrame('EVENT:>{"event":"x"}'), /closing marker/);
  assert.throws(() => parseFrame('EVENT:>[1]<:EVENT'), /not an object/);
  assert.throws(() => parseFrame('hello'), /not a frame/);
});

test('lines split across chunks, and several in one chunk, come out whole', limit, () => {
  const lines: string[] = [];
  const splitter = new LineSplitter();
  for (const chunk of ['EVENT:>{"a"', ':1}<:EVENT\nRESP', 'ONSE:>{}<:RESPONSE\n\nINIT', ':>{}<:INIT']) {
    splitter.push(chunk, (line) => lines.push(line));
  }
  assert.deepEqual(lines, ['EVENT:>{"a":1}<:EVENT', 'RESPONSE:>{}<:RESPONSE', '']);
  assert.equal(splitter.flush(), 'INIT:>{}<:INIT');
});

test('audio is decoded to signed little-endian samples with the stream facts', limit, () => {
  const pcm = Buffer.alloc(8);
  [0, 32767, -32768, -2].forEach((s, i) => pcm.writeInt16LE(s, i * 2));
  const data = decodeAudioData({
    buffer: pcm.toString('base64'),
    format: 'pcm16',
    sampleRate: 16000,
    channels: 1,
    actualChannels: 2,
    timestamp: 1796646574.929,
    streamIndex: 1,
    bufferSize: 8,
    sequence: 7,
  });
  assert.deepEqual([...data.samples], [0, 32767, -32768, -2]);
  assert.deepEqual(
    [data.streamIndex, data.sampleRate, data.channels, data.sequence, data.hostTime],
    [1, 16000, 2, 7, undefined],
  );
});
