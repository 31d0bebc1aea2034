export {
  Client,
  start,
  decodeAudioData,
  defaultBinary,
  type ActionMethods,
  type ClientEventName,
  type ClientEvents,
  type ExitInfo,
  type ProtocolErrorInfo,
  type RequestOptions,
  type StartOptions,
} from './client.js';
export { VelmarError } from './errors.js';
export { parseFrame, type Frame, type FrameKind } from './framing.js';
export * from './protocol.js';
