// Records N seconds of the microphone and the system audio into one WAV file
// per input stream, and draws the waveforms into waveforms.png.
//
//   npm run record -- --seconds 5 --out /tmp/take [--platform pipewire]
//                     [--scenario file.json] [--device UID] [--binary path]
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { parseArgs } from 'node:util';

import { start, type AudioData, type Client, type StreamInfo } from '../src/index.js';
import { drawWaveforms } from './waveform.js';

const { values } = parseArgs({
  options: {
    seconds: { type: 'string', default: '5' },
    out: { type: 'string', default: 'recording' },
    platform: { type: 'string' },
    scenario: { type: 'string' },
    device: { type: 'string' },
    binary: { type: 'string' },
  },
});
const seconds = Number(values.seconds);
if (!(seconds > 0)) throw new Error('--seconds must be a positive number');
// npm runs scripts from the package directory; paths are the caller's.
const here = process.env.INIT_CWD ?? process.cwd();
const out = resolve(here, values.out as string);

interface Stream {
  sampleRate: number;
  channels: number;
  buffers: Int16Array[];
}

/** One mono or interleaved 16-bit PCM WAV file. */
function wav(samples: Int16Array, sampleRate: number, channels: number): Buffer {
  const header = Buffer.alloc(44);
  const bytes = samples.byteLength;
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + bytes, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(sampleRate, 24);
  header.writeUInt32LE(sampleRate * channels * 2, 28);
  header.writeUInt16LE(channels * 2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(bytes, 40);
  const pcm = Buffer.from(samples.buffer, samples.byteOffset, bytes);
  if (Buffer.from(new Uint16Array([1]).buffer)[0] === 0) pcm.swap16(); // WAV is little-endian
  return Buffer.concat([header, pcm]);
}

function joined(buffers: Int16Array[]): Int16Array {
  const all = new Int16Array(buffers.reduce((n, b) => n + b.length, 0));
  let at = 0;
  for (const b of buffers) {
    all.set(b, at);
    at += b.length;
  }
  return all;
}

async function pickMicrophone(client: Client): Promise<string> {
  if (values.device !== undefined) return values.device;
  const { devices } = await client.getAudioDevices();
  const inputs = devices.filter((d) => d.hasInputChannels);
  const builtIn = inputs.find((d) => d.uid === 'BuiltInMicrophoneDevice');
  const chosen = builtIn ?? inputs[0];
  if (chosen === undefined) throw new Error('no input device; name one with --device UID');
  return chosen.uid;
}

async function main(): Promise<void> {
  const store = mkdtempSync(join(tmpdir(), 'velmar-record-'));
  const client = await start({
    ...(values.binary !== undefined ? { binary: values.binary } : {}),
    ...(values.platform !== undefined ? { args: ['--platform', values.platform] } : {}),
    ...(values.scenario !== undefined ? { scenario: resolve(here, values.scenario) } : {}),
    storePath: join(store, 'aggregateDevices.json'),
  });
  client.on('exit', ({ code, signal }) => {
    if (code !== 0) console.error(`velmar-audio-cli ended (code ${code}, signal ${signal})`);
  });

  const streams = new Map<number, Stream>();
  let streamMap: StreamInfo[] | undefined;
  let aggregateID = 0;
  let tapID = 0;
  try {
    const microphone = await pickMicrophone(client);
    ({ deviceID: aggregateID } = await client.createAggregateDevice());
    await client.addDeviceToAggregate({ aggregateID, deviceUID: microphone });
    const tap = await client.createSystemLevelTap();
    tapID = tap.id;
    await client.addTapToAggregate({ aggregateID, tapUID: tap.uid });
    await client.enableAudioStreaming({ format: 'pcm16', sampleRate: 48000, channels: 1, timeline: true });

    const started = client.waitFor('recordingStarted');
    client.on('audioData', (data: AudioData) => {
      let stream = streams.get(data.streamIndex);
      if (stream === undefined) {
        stream = { sampleRate: data.sampleRate, channels: data.channels, buffers: [] };
        streams.set(data.streamIndex, stream);
      }
      stream.buffers.push(data.samples);
    });
    await client.startRecording({ deviceID: aggregateID });
    streamMap = (await started).streams;
    console.log(`recording ${seconds} s from ${microphone} and the system audio...`);
    await new Promise((done) => setTimeout(done, seconds * 1000));
    await client.stopRecording();
    await client.disableAudioStreaming();
  } finally {
    if (aggregateID !== 0) await client.destroyAggregateDevice({ deviceID: aggregateID }).catch(() => {});
    if (tapID !== 0) await client.destroyAudioTap({ tapID }).catch(() => {});
    await client.stop();
    rmSync(store, { recursive: true, force: true });
  }

  mkdirSync(out, { recursive: true });
  const lanes = [...streams.entries()]
    .sort(([a], [b]) => a - b)
    .map(([index, stream]) => {
      const source = streamMap?.find((s) => s.streamIndex === index);
      const name = source !== undefined ? `${index}-${source.name}` : `stream-${index}`;
      const file = join(out, name.replace(/[^A-Za-z0-9._-]+/g, '_') + '.wav');
      const samples = joined(stream.buffers);
      writeFileSync(file, wav(samples, stream.sampleRate, stream.channels));
      const frames = samples.length / stream.channels;
      console.log(`${file}: ${(frames / stream.sampleRate).toFixed(2)} s at ${stream.sampleRate} Hz, ${stream.channels} ch`);
      const label = source !== undefined ? `${source.kind} ${source.name}` : `stream ${index}`;
      return { label: `${label} (${stream.sampleRate / 1000} kHz)`, ...stream, samples };
    });
  if (lanes.length === 0) throw new Error('no audio arrived');
  const picture = join(out, 'waveforms.png');
  writeFileSync(picture, drawWaveforms(lanes, seconds));
  console.log(picture);
}

main().catch((error: unknown) => {
  console.error(error instanceof Error ? error.message : error);
  process.exitCode = 1;
});
