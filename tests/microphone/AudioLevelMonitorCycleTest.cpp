// The level meter's input cycle as the unit's real-time thread sees it:
// cycles driven by hand on the test thread, so every allocation they make
// is counted.
#include <algorithm>

#include <gtest/gtest.h>

#include "FakeMonitorClock.h"
#include "hal/InputUnitService.h"
#include "microphone/AudioLevelMonitor.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/ReplacedAllocation.h"

namespace velmar {
namespace {

using namespace platform;
using audiohal::AudioTimeStamp;
using audiohal::OSStatus;
using audiohal::UInt32;
using testing::CapturedOutput;
using testing::FakeMonitorClock;
using testing::Frame;
using namespace std::chrono_literals;

// The input unit over the simulated machine, except that starting it starts
// no thread and every cycle carries a constant signal without allocating:
// the cycles the test drives are the only ones, and their allocations are
// the meter's own.
class HandDrivenUnits : public hal::InputUnitService, hal::InputCycle {
 public:
  static constexpr float kSample = 0.5f;

  using InputUnitService::InputUnitService;
  ~HandDrivenUnits() override { stopAll(); }
  // One cycle of the started unit, as its real-time thread would run it.
  void runCycle(UInt32 frames, const AudioTimeStamp& time) { cycle(unit_, frames, time, *this); }

 protected:
  OSStatus startInput(const InputSpec& started) override {
    unit_ = started.unit;
    return 0;
  }
  void stopInput(AudioUnit, bool) override {}
  OSStatus read(UInt32 frames, UInt32 channels, float* out) override {
    std::fill_n(out, frames * channels, kSample);
    return 0;
  }

 private:
  AudioUnit unit_ = nullptr;
};

TEST(AudioLevelMonitorCycleTest, CyclesAllocateNothingAndStillReportOncePerInterval) {
  auto& machine = sim::SimulatedMachine::install();
  CapturedOutput captured;
  HandDrivenUnits units(machine.hardware());
  FakeMonitorClock clock;
  // Every cycle reads the steady clock once: 100 ms per cycle.
  clock.setPerSteadyRead(100ms);
  AudioLevelMonitor monitor(units, clock.clock());
  ASSERT_TRUE(monitor.startMonitoring(machine.hardware().deviceID("BuiltInMicrophoneDevice")));

  // Cycles of the largest size the unit announces and of a smaller one; the
  // hand-over to the publisher runs on every tenth (each second). The
  // publisher keeps only the latest levels, so the test lets it send each
  // report before going on, as a second between reports would.
  const UInt32 largest = HandDrivenUnits::kDefaultMaximumFramesPerSlice;
  AudioTimeStamp time;
  std::size_t allocations = 0;
  for (std::size_t report = 1; report <= 3; ++report) {
    for (int cycle = 0; cycle < 10; ++cycle) {
      const UInt32 frames = cycle % 2 == 0 ? largest : 480;
      const std::size_t before = testing::allocationsOnThisThread();
      units.runCycle(frames, time);
      allocations += testing::allocationsOnThisThread() - before;
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
