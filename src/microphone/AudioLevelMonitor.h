#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audiohal/HalTypes.h"
#include "microphone/MonitorClock.h"
#include "platform/AudioUnitService.h"
#include "protocol/EventEmitter.h"

namespace velmar {

// Meters the real input level of one device through the hardware input unit:
// RMS and peak of every input cycle, and an "audioLevels" event at most once
// per interval.
//
// Threads: start and stop run on the caller's thread (serialised by a lock
// the input thread never takes). The input callback runs on the unit's
// real-time thread and only touches atomics and the sample buffer allocated
// at start; it never allocates, locks or writes output. Events are written by
// a small publisher thread that picks up what the callback hands over.
class AudioLevelMonitor {
 public:
  struct Levels {
    float rms = 0;
    float peak = 0;
  };

  static constexpr double kUpdateIntervalSeconds = 1.0;
  // Frames per cycle assumed when the unit does not announce its maximum.
  static constexpr audiohal::UInt32 kFallbackMaximumFrames = 4096;

  AudioLevelMonitor();
  explicit AudioLevelMonitor(platform::AudioUnitService& units,
                             MonitorClock clock = MonitorClock::system());
  ~AudioLevelMonitor();
  AudioLevelMonitor(const AudioLevelMonitor&) = delete;
  AudioLevelMonitor& operator=(const AudioLevelMonitor&) = delete;

  // Opens the input unit on `deviceID` and starts it; false (with a log line)
  // when any step fails. Stops a previous unit first.
  bool startMonitoring(audiohal::AudioObjectID deviceID);
  void stopMonitoring();
  // The latest cycle's values, unclamped; the two may come from different
  // cycles.
  Levels getCurrentLevels() const;
  // Input cycles left unmeasured because they asked for more frames than the
  // unit announced at start.
  std::uint64_t skippedCycles() const { return skippedCycles_.load(std::memory_order_relaxed); }

  // One input cycle (the unit's real-time thread).
  audiohal::OSStatus inputCallback(platform::AudioUnitRenderActionFlags* ioActionFlags,
                                   const audiohal::AudioTimeStamp* inTimeStamp,
                                   audiohal::UInt32 inBusNumber, audiohal::UInt32 inNumberFrames,
                                   audiohal::AudioBufferList* ioData);

 private:
  static audiohal::OSStatus inputProc(void* inRefCon,
                                      platform::AudioUnitRenderActionFlags* ioActionFlags,
                                      const audiohal::AudioTimeStamp* inTimeStamp,
                                      audiohal::UInt32 inBusNumber, audiohal::UInt32 inNumberFrames,
                                      audiohal::AudioBufferList* ioData);

  bool startLocked(audiohal::AudioObjectID deviceID);
  void stopLocked();
  void allocateBuffer(platform::AudioUnit unit);
  void startPublisher();
  void stopPublisher();
  void publishLoop(std::uint64_t seen);
  void publishPending(std::uint64_t& seen);

  EventEmitter eventEmitter_;
  platform::AudioUnitService& units_;
  const MonitorClock clock_;
  std::mutex controlMutex_;  // start and stop; never taken by the input thread

  std::atomic<platform::AudioUnit> inputUnit_{nullptr};
  std::atomic<audiohal::AudioObjectID> currentDeviceID_{0};
  std::atomic<float> currentRMS_{0};
  std::atomic<float> currentPeak_{0};
  const double updateInterval_ = kUpdateIntervalSeconds;
  // Touched only by the input thread once the unit runs.
  std::chrono::steady_clock::time_point lastUpdateTime_;
  std::optional<audiohal::AudioStreamBasicDescription> inputFormat_;

  // The device's interleaved channels of the largest cycle the unit
  // announced, and the one-buffer list pointing into it; set up before the
  // unit starts.
  audiohal::UInt32 channels_ = 2;
  std::vector<float> samples_;
  audiohal::UInt32 maximumFrames_ = 0;
  audiohal::AudioBufferList bufferList_;
  std::atomic<std::uint64_t> skippedCycles_{0};

  // Levels handed from the input thread to the publisher, guarded by a
  // sequence number (odd while written) that the publisher checks before and
  // after reading, so neither side waits for the other.
  std::atomic<audiohal::AudioObjectID> publishedDevice_{0};
  std::atomic<float> publishedRMS_{0};
  std::atomic<float> publishedPeak_{0};
  std::atomic<std::int64_t> publishedMillis_{0};
  std::atomic<std::uint64_t> publishedSequence_{0};

  std::mutex publisherMutex_;
  std::condition_variable publisherWake_;
  bool publisherStopping_ = false;
  std::thread publisher_;
};

}  // namespace velmar
