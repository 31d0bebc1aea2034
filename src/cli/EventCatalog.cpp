#include "cli/EventCatalog.h"

namespace velmar {

const std::vector<EventSpec>& EventCatalog::events() {
  static const auto& catalog = *[] {
    using Keys = std::vector<std::string_view>;
    const Keys tap = {"id",   "uid",      "format",  "name",        "processes", "isPrivate",
                      "mute", "muteName", "mixdown", "mixdownName", "exclusive"};
    const Keys tapSometimes = {"device", "streamIndex"};
    const Keys process = {"id", "pid", "name", "bundleID", "isRunning"};
    const Keys recording = {"streamingMode", "deviceId", "deviceName", "deviceInfo"};
    const Keys pause = {"isPaused", "isRecording"};
    const Keys microphone = {"isActive", "deviceName", "deviceID", "checkDurationMs", "timestamp"};
    const auto plus = [](Keys keys, std::initializer_list<std::string_view> more) {
      keys.insert(keys.end(), more);
      return keys;
    };
    // Never destroyed, like the action table.
    return new std::vector<EventSpec>{
        {"init",
         {"version", "buildID", "microphonePermission", "recordingPermission", "ready",
          "capabilities", "timestamp", "pid", "parentPid", "args"},
         {"resent"}},
        {"error", {"code", "message"}, {"details"}},
        {"permissionChanged", {"type", "granted"}},
        {"audioProcessList", {"processes", "count", "runningCount"}},
        {"audioProcessAdded", process},
        {"audioProcessRemoved", {"id"}},
        {"audioProcessChanges",
         {"addedProcesses", "removedProcessIDs", "totalCount", "runningCount", "timestamp"}},
        {"runningAudioProcesses", {"processes", "count"}},
        {"audioTapList", {"taps", "count"}},
        {"audioTapCreated", tap, tapSometimes},
        {"audioTapUpdated", tap, tapSometimes},
        {"audioTapAdded", tap, tapSometimes},
        {"audioTapDestroyed", {"id"}},
        {"audioTapRemoved", {"id"}},
        {"audioDeviceList", {"devices", "count"}},
        {"aggregateDeviceList", {"devices", "count", "currentDeviceID", "protectedDeviceID"}},
        {"recordingStarted", plus(recording, {"streams"})},
        {"recordingStopped", plus(recording, {"duration"})},
        {"recordingPaused", pause},
        {"recordingResumed", pause},
        {"recordingError", {"error"}},
        {"audioData",
         {"buffer", "bufferSize", "format", "sampleRate", "channels", "actualChannels",
          "streamIndex", "timestamp"},
         {"sequence", "hostTime", "frames"}},
        {"audioStreamingEnabled",
         {"format", "sampleRate", "channels"},
         {"timeline", "convert", "chunkMs"}},
        {"audioStreamingDisabled", {}},
        {"audioGap", {"streamIndex", "fromSequence", "count", "frames"}},
        {"audioSilenceDetected", {"streamIndex", "seconds", "likelyCause"}},
        {"audioSignalRestored", {"streamIndex", "silentSeconds"}},
        {"microphoneChanged", microphone},
        {"microphoneDebugEvent",
         plus(microphone, {"previousActive", "previousName", "previousID", "cycleCount"})},
        {"microphoneLevel",
         {"level", "peak", "isActive", "deviceName", "deviceID", "timestamp", "cycleCount"}},
        {"monitorDebugInfo",
         {"cycleCount", "uptime", "memoryUsageMB", "micActive", "micName", "micID"}},
        {"audioLevels", {"deviceID", "rms", "peak", "timestamp"}},
    };
  }();
  return catalog;
}

}  // namespace velmar
