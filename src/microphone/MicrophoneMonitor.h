#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "audiohal/HalTypes.h"
#include "microphone/AudioLevelMonitor.h"
#include "microphone/MicrophoneDetector.h"
#include "microphone/MonitorClock.h"
#include "platform/SystemServices.h"
#include "protocol/EventEmitter.h"

namespace velmar {

// Tells the host, unasked, whether a microphone is in use, which one, how
// loud it is and how the service is doing: "microphoneChanged" and
// "microphoneDebugEvent" on every change, "microphoneLevel" about once a
// second, "monitorDebugInfo" every ten seconds.
//
// It has no thread or timer of its own: the main loop calls
// checkAndUpdateStatus() on every pass (about every 50 ms), and each pass
// decides from elapsed time what is due. All state is touched only by that
// thread. Levels are synthetic; the level meter is held but not started.
class MicrophoneMonitor {
 public:
  static constexpr double kStatusCheckSeconds = 1.0;

  explicit MicrophoneMonitor(MonitorClock clock = MonitorClock::system());
  MicrophoneMonitor(const MicrophoneMonitor&) = delete;
  MicrophoneMonitor& operator=(const MicrophoneMonitor&) = delete;

  // One pass of the main loop.
  void checkAndUpdateStatus();

  std::int64_t cycleCount() const { return cycleCount_; }

 private:
  using WallTime = std::chrono::system_clock::time_point;

  // Runs the detector; true when the result differs from the last one.
  bool sendMicrophoneStatusUpdate();
  void sendMicrophoneLevelUpdate();
  void sendDebugInfo();
  // Resident memory in whole MB, -1 when the platform cannot tell.
  std::int64_t getMemoryUsage();
  bool isDue(WallTime now, WallTime last, double interval) const;

  EventEmitter eventEmitter_;
  MicrophoneDetector microphoneDetector_;
  AudioLevelMonitor audioLevelMonitor_;
  platform::SystemServices& system_;
  const MonitorClock clock_;

  // The epoch, so the first pass does everything at once.
  WallTime lastStatusTime_{};
  WallTime lastLevelTime_{};
  WallTime lastDebugTime_{};
  std::int64_t cycleCount_ = 0;
  bool isMicActive_ = false;
  std::string lastMicName_;
  audiohal::AudioObjectID lastMicID_ = 0;
  double activePollingRate_ = 1.0;
  double inactivePollingRate_ = 1.0;
  double debugEmissionRate_ = 10.0;
};

}  // namespace velmar
