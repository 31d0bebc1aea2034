// The service's protocol as types: one table of actions (parameters and the
// final response's `data`) and one table of events (their `data`). Both are
// mirrored by a runtime list of names below, checked against the types at
// compile time, so a machine-readable description of the service can be
// compared with them name by name.

/** Identifiers of audio objects (devices, taps, processes, streams). */
export type AudioObjectID = number;

// ---------------------------------------------------------------- records

export interface AudioProcess {
  id: AudioObjectID;
  pid: number;
  name: string;
  bundleID: string;
  isRunning: boolean;
}

/** 0 unmuted, 1 muted, 2 muted while tapped. */
export type TapMute = 0 | 1 | 2;
/** 0 mono, 1 stereo, 2 the device's own layout. */
export type TapMixdown = 0 | 1 | 2;

export interface AudioTap {
  id: AudioObjectID;
  uid: string;
  name: string;
  processes: AudioObjectID[];
  isPrivate: boolean;
  mute: TapMute;
  muteName: string;
  mixdown: TapMixdown;
  mixdownName: string;
  exclusive: boolean;
  format: string;
  device?: string;
  streamIndex?: number;
}

/** Keys of a tap configuration; each replaces that field when present. */
export interface TapConfig {
  name?: string;
  processes?: AudioObjectID[];
  isPrivate?: boolean;
  mute?: TapMute;
  mixdown?: TapMixdown;
  exclusive?: boolean;
  device?: string;
  streamIndex?: number;
}

export interface AudioDevice {
  id: AudioObjectID;
  uid: string;
  name: string;
  hasInputChannels: boolean;
}

export interface AggregateDevice {
  id: AudioObjectID;
  uid: string;
  name: string;
  deviceList: string[];
  tapList: string[];
  isPrivate: boolean;
  autoStart: boolean;
  autoStop: boolean;
}

/** The recorded device as the recording answers and events describe it. */
export interface RecordingDeviceInfo {
  deviceId: AudioObjectID;
  deviceName: string;
  isAggregateDevice?: true;
  subDeviceCount?: number;
  tapCount?: number;
  subDevices?: string[];
  taps?: string[];
}

/** One input stream of the recorded device (the stream map). */
export interface StreamInfo {
  streamIndex: number;
  kind: 'device' | 'tap';
  uid: string;
  name: string;
  channels: number;
  sampleRate: number;
}

export interface MicrophoneStatus {
  isActive: boolean;
  deviceName: string;
  deviceID: AudioObjectID;
  level: number;
  peak: number;
}

export interface PermissionAnswer {
  permission: 'microphone' | 'systemAudio';
  granted: boolean;
  instructions?: string;
}

export interface StreamingSettings {
  format: string;
  sampleRate: number;
  channels: number;
}

// ---------------------------------------------------------------- actions

/** No parameters besides `id` and `action`. */
export type NoParams = Record<string, never>;
/** A response that carries no data (or `{}`). */
export type NoData = Record<string, never>;

interface ProcessList {
  processes: AudioProcess[];
  count: number;
}
interface TapList {
  taps: AudioTap[];
  count: number;
}
interface Message {
  message: string;
}
interface AggregateMember {
  aggregateID: AudioObjectID;
  message: string;
}
interface SystemAudioPermission extends PermissionAnswer {
  permission: 'systemAudio';
  instructions: string;
}

/** Every action: its parameters and the `data` of its final response. */
export interface Actions {
  getMicrophoneStatus: { params: NoParams; result: MicrophoneStatus };
  listAudioProcesses: { params: NoParams; result: ProcessList & { runningCount: number } };
  getRunningAudioProcesses: { params: NoParams; result: ProcessList };
  findAudioProcessesByName: { params: { name: string }; result: ProcessList & { searchTerm: string } };
  listAudioTaps: { params: NoParams; result: TapList };
  createAudioTap: { params: { config: TapConfig }; result: AudioTap };
  createAudioTapWithAllProcesses: { params: NoParams; result: AudioTap };
  createSystemLevelTap: { params: NoParams; result: AudioTap };
  destroyAudioTap: { params: { tapID: AudioObjectID }; result: { tapID: AudioObjectID } };
  updateAudioTap: { params: { tapID: AudioObjectID; config: TapConfig }; result: AudioTap };
  getAudioDevices: { params: NoParams; result: { devices: AudioDevice[]; count: number } };
  checkAggregateDevice: {
    params: NoParams;
    result: { hasAggregateDevices: boolean; count?: number; deviceIDs?: AudioObjectID[] };
  };
  getAggregateDevices: { params: NoParams; result: { devices: AggregateDevice[]; count: number } };
  createAggregateDevice: { params: { tapUIDs?: string[] }; result: { deviceID: AudioObjectID } & Message };
  configureAggregateDevice: {
    params: { deviceID: AudioObjectID; isPrivate?: boolean; autoStart?: boolean };
    result: { deviceID: AudioObjectID } & Message;
  };
  addDeviceToAggregate: {
    params: { aggregateID: AudioObjectID; deviceUID: string };
    result: AggregateMember & { deviceUID: string };
  };
  addTapToAggregate: {
    params: { aggregateID: AudioObjectID; tapUID: string };
    result: AggregateMember & { tapUID: string };
  };
  removeDeviceFromAggregate: {
    params: { aggregateID: AudioObjectID; deviceUID: string };
    result: AggregateMember & { deviceUID: string };
  };
  removeTapFromAggregate: {
    params: { aggregateID: AudioObjectID; tapUID: string };
    result: AggregateMember & { tapUID: string };
  };
  destroyAggregateDevice: {
    params: { deviceID: AudioObjectID };
    result: { deviceID: AudioObjectID } & Message;
  };
  /** Without `deviceID` the first aggregate device (by name) is recorded. */
  startRecording: {
    params: { deviceID?: AudioObjectID };
    result: { streamingMode: true; deviceId: AudioObjectID };
  };
  stopRecording: { params: NoParams; result: { streamingMode: true; duration: number } };
  pauseRecording: { params: NoParams; result: { isPaused: true; isRecording: true } };
  resumeRecording: { params: NoParams; result: { isPaused: false; isRecording: true } };
  enableAudioStreaming: {
    params: {
      format: string;
      sampleRate: number;
      channels?: number;
      /** Adds `sequence`, `hostTime` and `frames` to every "audioData". */
      timeline?: boolean;
      /** Delivers every stream at `sampleRate` and `channels`. */
      convert?: boolean;
      /** Joins buffers into chunks of this many milliseconds (10 to 5000). */
      chunkMs?: number;
    };
    result: StreamingSettings & { timeline?: boolean; convert?: boolean; chunkMs?: number };
  };
  disableAudioStreaming: { params: NoParams; result: NoData };
  getAudioStreamingStatus: {
    params: NoParams;
    result: StreamingSettings & {
      enabled: boolean;
      droppedBuffers?: number;
      timeline?: boolean;
      convert?: boolean;
      chunkMs?: number;
    };
  };
  getRecordingStatus: {
    params: NoParams;
    result: {
      isRecording: boolean;
      isPaused: boolean;
      duration: number;
      filePath: string | null;
      deviceId: AudioObjectID;
      deviceName: string;
      deviceInfo: RecordingDeviceInfo;
    };
  };
  handleDeviceSwitch: { params: NoParams; result: Message };
  enableProcessMonitoring: {
    params: { interval?: number };
    result: { enabled: true; interval: number } & Message;
  };
  disableProcessMonitoring: { params: NoParams; result: { enabled: false } & Message };
  getProcessMonitoringStatus: {
    params: NoParams;
    result: { enabled: boolean; autoUpdateTaps: boolean; interval: number };
  };
  setMonitoringInterval: { params: { interval: number }; result: { interval: number } & Message };
  enableTapAutoUpdate: { params: NoParams; result: { enabled: true } & Message };
  disableTapAutoUpdate: { params: NoParams; result: { enabled: false } & Message };
  forceUpdateTaps: { params: NoParams; result: { success: boolean } & Message };
  cleanupAllTaps: { params: NoParams; result: { success: boolean } & Message };
  ping: { params: NoParams; result: { status: 'alive'; timestamp: number } };
  selfTest: {
    params: NoParams;
    result: {
      allTestsPassed: boolean;
      coreAudioReady: boolean;
      diskSpaceOK: boolean;
      memoryOK: boolean;
      processIterationOK: boolean;
      tapPermission: boolean;
      timestamp: number;
    };
  };
  requestMicrophonePermission: { params: NoParams; result: PermissionAnswer };
  checkMicrophonePermission: { params: NoParams; result: PermissionAnswer };
  requestScreenCaptureAccess: { params: NoParams; result: SystemAudioPermission };
  requestSystemAudioAccess: { params: NoParams; result: SystemAudioPermission };
  checkScreenCapturePermission: { params: NoParams; result: SystemAudioPermission };
  checkSystemAudioPermission: { params: NoParams; result: SystemAudioPermission };
  getPermissionStatus: {
    params: NoParams;
    result: {
      allGranted: boolean;
      microphone: { granted: boolean };
      systemAudio: { granted: boolean; instructions?: string };
    };
  };
  getDeviceCapabilities: {
    params: NoParams;
    result: {
      deviceID: AudioObjectID;
      name: string;
      uid: string;
      supportedSampleRates: number[];
      transportType: number;
      isBluetooth: boolean;
      isBuiltIn: boolean;
      canBeClockSource: boolean;
    };
  };
  getOptimalAudioConfig: {
    params: NoParams;
    result: {
      sampleRate: number;
      channels: number;
      format: 'linear16';
      deviceName: string;
      isBluetooth: boolean;
      supportedSampleRates: number[];
      reasoning: { sampleRate: string; channels: string };
    };
  };
}

export type ActionName = keyof Actions;
export type ActionParams<A extends ActionName> = Actions[A]['params'];
export type ActionResult<A extends ActionName> = Actions[A]['result'];

/** The action names at run time, in the order of the service's table. */
export const actionNames = [
  'getMicrophoneStatus',
  'listAudioProcesses',
  'getRunningAudioProcesses',
  'findAudioProcessesByName',
  'listAudioTaps',
  'createAudioTap',
  'createAudioTapWithAllProcesses',
  'createSystemLevelTap',
  'destroyAudioTap',
  'updateAudioTap',
  'getAudioDevices',
  'checkAggregateDevice',
  'getAggregateDevices',
  'createAggregateDevice',
  'configureAggregateDevice',
  'addDeviceToAggregate',
  'addTapToAggregate',
  'removeDeviceFromAggregate',
  'removeTapFromAggregate',
  'destroyAggregateDevice',
  'startRecording',
  'stopRecording',
  'pauseRecording',
  'resumeRecording',
  'enableAudioStreaming',
  'disableAudioStreaming',
  'getAudioStreamingStatus',
  'getRecordingStatus',
  'handleDeviceSwitch',
  'enableProcessMonitoring',
  'disableProcessMonitoring',
  'getProcessMonitoringStatus',
  'setMonitoringInterval',
  'enableTapAutoUpdate',
  'disableTapAutoUpdate',
  'forceUpdateTaps',
  'cleanupAllTaps',
  'ping',
  'selfTest',
  'requestMicrophonePermission',
  'checkMicrophonePermission',
  'requestScreenCaptureAccess',
  'requestSystemAudioAccess',
  'checkScreenCapturePermission',
  'checkSystemAudioPermission',
  'getPermissionStatus',
  'getDeviceCapabilities',
  'getOptimalAudioConfig',
] as const satisfies readonly ActionName[];

// ---------------------------------------------------------------- events

export interface InitInfo {
  version: string;
  buildID: string;
  microphonePermission: boolean;
  recordingPermission: boolean;
  ready: boolean;
  capabilities: string[];
  timestamp: number;
  pid: number;
  parentPid: string;
  args: string[];
  resent?: true;
}

/** One decoded buffer (or chunk) of one input stream. */
export interface AudioData {
  streamIndex: number;
  sampleRate: number;
  /** Channel count of `samples`, interleaved. */
  channels: number;
  /** Seconds since the Unix epoch at emission. */
  timestamp: number;
  format: string;
  /** Per stream, from 0, +1 per buffer produced (with the timeline on). */
  sequence?: number;
  /** Seconds on one clock shared by all streams (with the timeline on). */
  hostTime?: number;
  frames?: number;
  samples: Int16Array;
}

/** "audioData" as it travels, before decoding. */
export interface AudioDataWire {
  buffer: string;
  format: string;
  sampleRate: number;
  channels: number;
  timestamp: number;
  streamIndex: number | null;
  bufferSize: number;
  actualChannels: number | null;
  sequence?: number;
  hostTime?: number;
  frames?: number;
}

interface RecordingStateEvent {
  streamingMode: true;
  deviceId: AudioObjectID;
  deviceName: string;
  deviceInfo: RecordingDeviceInfo;
}

/** Every event of the service and the `data` it carries (audio decoded). */
export interface Events {
  init: InitInfo;
  error: { code: string; message: string; [detail: string]: unknown };
  permissionChanged: { type: string; granted: boolean };
  audioProcessList: ProcessList & { runningCount: number };
  audioProcessAdded: AudioProcess;
  audioProcessRemoved: { id: AudioObjectID };
  audioProcessChanges: {
    addedProcesses: AudioProcess[];
    removedProcessIDs: AudioObjectID[];
    totalCount: number;
    runningCount: number;
    /** Whole seconds since the Unix epoch. */
    timestamp: number;
  };
  runningAudioProcesses: ProcessList;
  audioTapList: TapList;
  audioTapCreated: AudioTap;
  audioTapUpdated: AudioTap;
  audioTapAdded: AudioTap;
  audioTapDestroyed: { id: AudioObjectID };
  audioTapRemoved: { id: AudioObjectID };
  audioDeviceList: { devices: AudioDevice[]; count: number };
  aggregateDeviceList: {
    devices: AggregateDevice[];
    count: number;
    currentDeviceID: AudioObjectID;
    protectedDeviceID: AudioObjectID;
  };
  recordingStarted: RecordingStateEvent & { streams?: StreamInfo[] };
  recordingStopped: RecordingStateEvent & { duration: number };
  recordingPaused: { isPaused: true; isRecording: true };
  recordingResumed: { isPaused: false; isRecording: true };
  recordingError: { error: string };
  audioData: AudioData;
  audioStreamingEnabled: StreamingSettings;
  audioStreamingDisabled: NoData;
  audioGap: { streamIndex: number; fromSequence: number; count: number; frames: number };
  audioSilenceDetected: {
    streamIndex: number;
    seconds: number;
    likelyCause: 'permission' | 'route' | 'device';
  };
  audioSignalRestored: { streamIndex: number; silentSeconds: number };
  microphoneChanged: {
    isActive: boolean;
    deviceName: string;
    deviceID: AudioObjectID;
    checkDurationMs: number;
    timestamp: number;
  };
  microphoneDebugEvent: Events['microphoneChanged'] & {
    previousActive: boolean;
    previousName: string;
    previousID: AudioObjectID;
    cycleCount: number;
  };
  microphoneLevel: {
    level: number;
    peak: number;
    isActive: boolean;
    deviceName: string;
    deviceID: AudioObjectID;
    timestamp: number;
    cycleCount: number;
  };
  monitorDebugInfo: {
    cycleCount: number;
    uptime: number;
    memoryUsageMB: number;
    micActive: boolean;
    micName: string;
    micID: AudioObjectID;
  };
  audioLevels: { deviceID: AudioObjectID; rms: number; peak: number; timestamp: number };
}

export type EventName = keyof Events;

/** The event names at run time. */
export const eventNames = [
  'init',
  'error',
  'permissionChanged',
  'audioProcessList',
  'audioProcessAdded',
  'audioProcessRemoved',
  'audioProcessChanges',
  'runningAudioProcesses',
  'audioTapList',
  'audioTapCreated',
  'audioTapUpdated',
  'audioTapAdded',
  'audioTapDestroyed',
  'audioTapRemoved',
  'audioDeviceList',
  'aggregateDeviceList',
  'recordingStarted',
  'recordingStopped',
  'recordingPaused',
  'recordingResumed',
  'recordingError',
  'audioData',
  'audioStreamingEnabled',
  'audioStreamingDisabled',
  'audioGap',
  'audioSilenceDetected',
  'audioSignalRestored',
  'microphoneChanged',
  'microphoneDebugEvent',
  'microphoneLevel',
  'monitorDebugInfo',
  'audioLevels',
] as const satisfies readonly EventName[];

// Both runtime lists name every key of their table: a name missing from a
// list makes one of these types `false` and the assignment below fail.
type Covers<Names extends readonly string[], Keys extends string> = [Exclude<Keys, Names[number]>] extends [
  never,
]
  ? true
  : false;
const actionListIsComplete: Covers<typeof actionNames, ActionName> = true;
const eventListIsComplete: Covers<typeof eventNames, EventName> = true;
void actionListIsComplete;
void eventListIsComplete;
