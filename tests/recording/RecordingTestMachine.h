#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "aggregate/AggregateTestMachine.h"
#include "commands/ActionTable.h"
#include "recording/AudioDataDelegate.h"
#include "recording/AudioRecorder.h"
#include "recording/RecorderManager.h"
#include "sim/SimulatedAudioHardware.h"

namespace velmar::testing {

inline constexpr const char* kRecordingAggregateUID = "com.velmar.test.recording";

// Runs a recording or streaming action as dispatch does: through its row of
// the action table.
inline void runRecorderAction(RecorderManager& manager, const std::string& action,
                              const nlohmann::json& params, const std::string& id) {
  const ActionRow* row = ActionTable::find(action);
  ASSERT_TRUE(row != nullptr && row->recorderHandler != nullptr) << action;
  (manager.*(row->recorderHandler))(params, id);
}

// One IO cycle of the recorder's device, delivered by hand as the platform
// would.
inline void runCycle(AudioRecorder& recorder, const audiohal::AudioBufferList& input) {
  audiohal::AudioTimeStamp now;
  AudioRecorder::ioproc(recorder.deviceID(), &now, &input, &now, nullptr, &now, &recorder);
}

// What a delegate saw of one buffer.
struct DeliveredBuffer {
  audiohal::UInt32 streamIndex = 0;
  audiohal::Float64 sampleRate = 0;
  audiohal::UInt32 channels = 0;
  audiohal::UInt32 byteSize = 0;
};

// Records every delivery (locks: a test delegate, not a real-time one).
class RecordingDelegate : public AudioDataDelegate {
 public:
  void didReceiveAudioData(const audiohal::AudioBufferList& list, audiohal::UInt32 streamIndex,
                           audiohal::Float64 sampleRate) override {
    std::lock_guard lock(mutex_);
    const auto& buffer = list.mBuffers.at(0);
    EXPECT_EQ(list.mBuffers.size(), 1u);
    delivered_.push_back({streamIndex, sampleRate, buffer.mNumberChannels, buffer.mDataByteSize});
    count_.fetch_add(1);
  }
  std::vector<DeliveredBuffer> delivered() const {
    std::lock_guard lock(mutex_);
    return delivered_;
  }
  std::size_t count() const { return count_.load(); }
  bool waitForCount(std::size_t atLeast) const {
    return waitUntil([&] { return count() >= atLeast; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<DeliveredBuffer> delivered_;
  std::atomic<std::size_t> count_{0};
};

// The default machine plus aggregate devices to record from.
class RecordingTestMachine : public AggregateTestMachine {
 protected:
  // The built-in microphone alone, or with a tap over every process.
  AudioObjectID makeRecordingAggregate(bool withTap,
                                       const std::string& uid = kRecordingAggregateUID,
                                       const std::string& name = "Recording Test Aggregate") {
    sim::SimulatedAggregateConfig config;
    config.uid = uid;
    config.name = name;
    config.subDevices = {kMicrophoneUID};
    if (withTap) config.taps = {makeSystemTap()};
    return machine().addAggregateDevice(config);
  }

  std::string makeSystemTap() {
    audiohal::CATapDescription description;
    for (const auto& process : machine().processes()) {
      description.processes.push_back(machine().processObjectID(process.pid));
    }
    description.name = "Test system tap";
    description.uuid = "TEST-SYSTEM-TAP-" + std::to_string(++taps_);
    const AudioObjectID tap = machine().createForeignTap(description);
    EXPECT_NE(tap, 0u);
    return description.uuid;
  }

  int taps_ = 0;
};

}  // namespace velmar::testing
