#include "microphone/AudioLevelMonitor.h"

#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"

namespace velmar {
namespace {

using coreaudio::AudioObjectID;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::eventsSoFar;
using testing::Frame;
using testing::logLinesSoFar;
using namespace std::chrono_literals;

constexpr const char* kSpeaker = "BuiltInSpeakerDevice";
constexpr const char* kUSB = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
constexpr const char* kHeadset = "00-1B-66-A1-B2-C3:input";

// Waits until `condition` holds; false after a generous time-out.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

bool logged(const CapturedOutput& captured, const std::string& line) {
  const auto lines = logLinesSoFar(captured);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A clock that moves 400 ms on every steady read (the monitor reads it once
// at construction and once per measured cycle); wall time follows it.
class CycleClock {
 public:
  static constexpr std::int64_t kStartMillis = 1800000000000;
  static constexpr std::int64_t kStepMillis = 400;

  MonitorClock clock() {
    return {[this] {
              return std::chrono::system_clock::time_point(
                  std::chrono::milliseconds(kStartMillis + kStepMillis * (reads_.load() - 1)));
            },
            [this] {
              return std::chrono::steady_clock::time_point(
                  std::chrono::milliseconds(kStepMillis * reads_.fetch_add(1)));
            }};
  }

 private:
  std::atomic<std::int64_t> reads_{0};
};

class AudioLevelMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &SimulatedMachine::install(); }
  AudioObjectID device(const char* uid) { return machine_->hardware().deviceID(uid); }

  SimulatedMachine* machine_ = nullptr;
  CapturedOutput captured_;
};

TEST_F(AudioLevelMonitorTest, MeasuresTheDevicesSignalAndReportsIt) {
  AudioLevelMonitor monitor(machine_->audioUnits());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSB)));
  EXPECT_TRUE(logged(captured_, "Started monitoring device " + std::to_string(device(kUSB))));
  ASSERT_TRUE(eventually([&] { return monitor.getCurrentLevels().peak > 0; }));

  // The interface's microphone carries a sine of amplitude 0.25: RMS 0.25/√2.
  const auto levels = monitor.getCurrentLevels();
  EXPECT_NEAR(levels.rms, 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(levels.peak, 0.25, 0.005);

  auto event = captured_.frames().waitForEvent("audioLevels");
  ASSERT_TRUE(event);
  const auto& data = event->body["data"];
  EXPECT_EQ(data["deviceID"], device(kUSB));
  EXPECT_NEAR(data["rms"].get<double>(), 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(data["peak"].get<double>(), 0.25, 0.005);
  EXPECT_TRUE(data["timestamp"].is_number_integer());

  monitor.stopMonitoring();
  EXPECT_EQ(monitor.getCurrentLevels().rms, 0.0f);
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
  EXPECT_EQ(monitor.skippedCycles(), 0u);
}

TEST_F(AudioLevelMonitorTest, ReportsAtMostOncePerSecondOfCycles) {
  CycleClock cycles;
  AudioLevelMonitor monitor(machine_->audioUnits(), cycles.clock());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSB)));
  // Cycles 400 ms apart: 0.4 and 0.8 s send nothing, 1.2 s does; then again
  // only 1.2 s after that.
  auto events = captured_.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioLevels"); }, 3, 10s);
  monitor.stopMonitoring();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].body["data"]["timestamp"], CycleClock::kStartMillis + 1200);
  EXPECT_EQ(events[1].body["data"]["timestamp"], CycleClock::kStartMillis + 2400);
  EXPECT_EQ(events[2].body["data"]["timestamp"], CycleClock::kStartMillis + 3600);
}

TEST_F(AudioLevelMonitorTest, ADeviceTheUnitRefusesFailsTheStartAndLeavesNoLevels) {
  AudioLevelMonitor monitor(machine_->audioUnits());
  // The built-in output has no input to meter.
  EXPECT_FALSE(monitor.startMonitoring(device(kSpeaker)));
  EXPECT_TRUE(logged(captured_, "Failed to set input device: -10851"));
  EXPECT_EQ(monitor.getCurrentLevels().rms, 0.0f);
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
  // The half-open unit is disposed of by the next start, which works.
  EXPECT_TRUE(monitor.startMonitoring(device(kUSB)));
  EXPECT_TRUE(eventually([&] { return monitor.getCurrentLevels().peak > 0; }));
}

TEST_F(AudioLevelMonitorTest, StartingAgainMovesToTheNewDevice) {
  AudioLevelMonitor monitor(machine_->audioUnits());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSB)));
  ASSERT_TRUE(monitor.startMonitoring(device(kHeadset)));
  auto event = captured_.frames().waitForEvent("audioLevels");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->body["data"]["deviceID"], device(kHeadset));
  for (const auto& frame : eventsSoFar(captured_, "audioLevels")) {
    EXPECT_EQ(frame.body["data"]["deviceID"], device(kHeadset));
  }
}

}  // namespace
}  // namespace velmar
