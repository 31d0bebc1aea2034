// The level meter's input cycle as the unit's real-time thread sees it:
// cycles driven by hand on the test thread, so every allocation they make
// is counted.
#include <gtest/gtest.h>

#include "FakeMonitorClock.h"
#include "microphone/AudioLevelMonitor.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/ReplacedAllocation.h"

namespace velmar {
namespace {

using namespace platform;
using audiohal::AudioBufferList;
using audiohal::AudioTimeStamp;
using audiohal::OSStatus;
using audiohal::UInt32;
using testing::CapturedOutput;
using testing::FakeMonitorClock;
using testing::Frame;
using namespace std::chrono_literals;

// The simulated input unit, except that starting it starts no thread and a
// render fills the cycle with a constant signal without allocating: the
// cycles the test drives are the only ones, and their allocations are the
// meter's own.
class HandDrivenUnits : public AudioUnitService {
 public:
  static constexpr float kSample = 0.5f;

  explicit HandDrivenUnits(AudioUnitService& inner) : inner_(inner) {}

  AudioComponent findNextComponent(AudioComponent after,
                                   const AudioComponentDescription& description) override {
    return inner_.findNextComponent(after, description);
  }
  OSStatus instanceNew(AudioComponent component, AudioUnit& outUnit) override {
    return inner_.instanceNew(component, outUnit);
  }
  OSStatus instanceDispose(AudioUnit unit) override { return inner_.instanceDispose(unit); }
  OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID property, AudioUnitScope scope,
                       AudioUnitElement element, const AudioUnitPropertyValue& value) override {
    return inner_.setProperty(unit, property, scope, element, value);
  }
  OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID property, AudioUnitScope scope,
                       AudioUnitElement element, AudioUnitPropertyValue& outValue) override {
    return inner_.getProperty(unit, property, scope, element, outValue);
  }
  OSStatus initialize(AudioUnit unit) override { return inner_.initialize(unit); }
  OSStatus uninitialize(AudioUnit unit) override { return inner_.uninitialize(unit); }
  OSStatus outputUnitStart(AudioUnit) override { return 0; }
  OSStatus outputUnitStop(AudioUnit unit) override { return inner_.outputUnitStop(unit); }
  OSStatus render(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                  UInt32 frames, AudioBufferList* ioData) override {
    for (auto& buffer : ioData->mBuffers) {
      auto* samples = static_cast<float*>(buffer.mData);
      for (UInt32 i = 0; i < frames * buffer.mNumberChannels; ++i) samples[i] = kSample;
    }
    return 0;
  }

 private:
  AudioUnitService& inner_;
};

TEST(AudioLevelMonitorCycleTest, CyclesAllocateNothingAndStillReportOncePerInterval) {
  auto& machine = sim::SimulatedMachine::install();
  CapturedOutput captured;
  HandDrivenUnits units(machine.audioUnits());
  FakeMonitorClock clock;
  // Every cycle reads the steady clock once: 100 ms per cycle.
  clock.setPerSteadyRead(100ms);
  AudioLevelMonitor monitor(units, clock.clock());
  ASSERT_TRUE(monitor.startMonitoring(machine.hardware().deviceID("BuiltInMicrophoneDevice")));

  // Cycles of the largest size the unit announces and of a smaller one; the
  // hand-over to the publisher runs on every tenth (each second). The
  // publisher keeps only the latest levels, so the test lets it send each
  // report before going on, as a second between reports would.
  const UInt32 largest = sim::SimulatedAudioUnitService::kDefaultMaximumFramesPerSlice;
  AudioUnitRenderActionFlags flags = 0;
  AudioTimeStamp time;
  std::size_t allocations = 0;
  for (std::size_t report = 1; report <= 3; ++report) {
    for (int cycle = 0; cycle < 10; ++cycle) {
      const UInt32 frames = cycle % 2 == 0 ? largest : 480;
      const std::size_t before = testing::allocationsOnThisThread();
      const OSStatus status = monitor.inputCallback(&flags, &time, 1, frames, nullptr);
      allocations += testing::allocationsOnThisThread() - before;
      ASSERT_EQ(status, 0);
      time.mSampleTime += frames;
    }
    ASSERT_EQ(
        captured.frames()
            .waitForFrames([](const Frame& f) { return f.isEvent("audioLevels"); }, report, 10s)
            .size(),
        report);
  }
  EXPECT_EQ(allocations, 0u);

  EXPECT_FLOAT_EQ(monitor.getCurrentLevels().rms, HandDrivenUnits::kSample);
  EXPECT_FLOAT_EQ(monitor.getCurrentLevels().peak, HandDrivenUnits::kSample);
  EXPECT_EQ(monitor.skippedCycles(), 0u);
  for (const auto& event : captured.frames().frames()) {
    ASSERT_TRUE(event.isEvent("audioLevels"));
    EXPECT_EQ(event.body["data"]["rms"], 0.5);
    EXPECT_EQ(event.body["data"]["peak"], 0.5);
    EXPECT_EQ(event.body["data"]["timestamp"], FakeMonitorClock::kStartMillis);
  }
  monitor.stopMonitoring();
  EXPECT_EQ(captured.frames().frames().size(), 3u);
}

}  // namespace
}  // namespace velmar
