#include "microphone/MicrophoneMonitor.h"

#include "microphone/LevelNumber.h"
#include "platform/Platform.h"
#include "protocol/NumberFormat.h"

namespace velmar {

using nlohmann::json;

namespace {

constexpr std::uint64_t kBytesPerMB = 1048576;

const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace

MicrophoneMonitor::MicrophoneMonitor(MonitorClock clock)
    : audioLevelMonitor_(platform::Platform::shared().audioUnits(), clock),
      system_(platform::Platform::shared().system()),
      clock_(std::move(clock)) {}

bool MicrophoneMonitor::isDue(WallTime now, WallTime last, double interval) const {
  const double elapsed = std::chrono::duration<double>(now - last).count();
  // A wall clock set back must not silence the monitor until it catches up.
  return elapsed < 0 || elapsed >= interval;
}

void MicrophoneMonitor::checkAndUpdateStatus() {
  const WallTime now = clock_.wallNow();
  ++cycleCount_;

  if (isDue(now, lastStatusTime_, kStatusCheckSeconds)) {
    const bool changed = sendMicrophoneStatusUpdate();
    lastStatusTime_ = now;
    if (changed) {
      sendMicrophoneLevelUpdate();
      lastLevelTime_ = now;
    }
  }

  const double interval = isMicActive_ ? activePollingRate_ : inactivePollingRate_;
  if (isDue(now, lastLevelTime_, interval)) {
    sendMicrophoneLevelUpdate();
    lastLevelTime_ = now;
  }

  if (isDue(now, lastDebugTime_, debugEmissionRate_)) {
    sendDebugInfo();
    lastDebugTime_ = now;
  }
}

bool MicrophoneMonitor::sendMicrophoneStatusUpdate() {
  const bool previousActive = isMicActive_;
  const std::string previousName = lastMicName_;
  const audiohal::AudioObjectID previousID = lastMicID_;

  const auto started = clock_.steadyNow();
  const auto status = microphoneDetector_.checkMicrophones();
  const double duration = std::chrono::duration<double>(clock_.steadyNow() - started).count();

  const bool changed =
      status.isActive != isMicActive_ || status.name != lastMicName_ || status.id != lastMicID_;
  eventEmitter_.logToStderr("Mic check completed in " + formatShortestDouble(duration * 1000) +
                            "ms: active=" + boolText(status.isActive) +
                            ", statusChanged=" + boolText(changed));

  isMicActive_ = status.isActive;
  lastMicName_ = status.name;
  lastMicID_ = status.id;
  if (!changed) return false;

  eventEmitter_.logToStderr(std::string("Microphone status changed: active=") +
                            boolText(status.isActive) + ", name=" + status.name);
  if (status.isActive) {
    eventEmitter_.logToStderr("Using mock audio levels for device " + status.name +
                              " (real monitoring disabled)");
  }
  const auto checkDurationMs = static_cast<std::int64_t>(duration * 1000);
  eventEmitter_.emitEvent("microphoneChanged", {{"isActive", status.isActive},
                                                {"deviceName", status.name},
                                                {"deviceID", status.id},
                                                {"checkDurationMs", checkDurationMs},
                                                {"timestamp", millisSinceEpoch(clock_.wallNow())}});
  eventEmitter_.emitEvent("microphoneDebugEvent",
                          {{"isActive", status.isActive},
                           {"deviceName", status.name},
                           {"deviceID", status.id},
                           {"checkDurationMs", checkDurationMs},
                           {"previousActive", previousActive},
                           {"previousName", previousName},
                           {"previousID", previousID},
                           {"cycleCount", cycleCount_},
                           {"timestamp", millisSinceEpoch(clock_.wallNow())}});
  return true;
}

void MicrophoneMonitor::sendMicrophoneLevelUpdate() {
  const WallTime now = clock_.wallNow();
  float level = 0;
  float peak = 0;
  if (isMicActive_) {
    level = MicrophoneDetector::generateLevel(secondsSinceEpoch(now));
    peak = level * 1.2f;
  }
  eventEmitter_.emitEvent("microphoneLevel", {{"level", levelNumber(level)},
                                              {"peak", levelNumber(peak)},
                                              {"isActive", isMicActive_},
                                              {"deviceName", lastMicName_},
                                              {"deviceID", lastMicID_},
                                              {"timestamp", millisSinceEpoch(now)},
                                              {"cycleCount", cycleCount_}});
}

void MicrophoneMonitor::sendDebugInfo() {
  const std::int64_t memory = getMemoryUsage();
  const auto uptime = static_cast<std::int64_t>(system_.systemUptimeSeconds());
  eventEmitter_.logToStderr("MicrophoneMonitor: " + std::to_string(cycleCount_) +
                            " cycles, uptime: " + std::to_string(uptime) +
                            "s, memory: " + std::to_string(memory) + "MB");
  eventEmitter_.emitEvent("monitorDebugInfo", {{"cycleCount", cycleCount_},
                                               {"uptime", uptime},
                                               {"memoryUsageMB", memory},
                                               {"micActive", isMicActive_},
                                               {"micName", lastMicName_},
                                               {"micID", lastMicID_}});
}

std::int64_t MicrophoneMonitor::getMemoryUsage() {
  const auto resident = system_.taskResidentMemoryBytes();
  if (!resident) return -1;
  return static_cast<std::int64_t>(*resident / kBytesPerMB);
}

}  // namespace velmar
