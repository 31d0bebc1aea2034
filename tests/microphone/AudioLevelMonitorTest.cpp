#include "microphone/AudioLevelMonitor.h"

#include <thread>

#include <gtest/gtest.h>

#include "FakeMonitorClock.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"
#include "support/UnitHelpers.h"

namespace velmar {
namespace {

using audiohal::AudioObjectID;
using sim::AudioUnitOperation;
using sim::MachineScenario;
using sim::SimulatedDeviceConfig;
using sim::SimulatedMachine;
using sim::Waveform;
using testing::CapturedOutput;
using testing::eventsSoFar;
using testing::FakeMonitorClock;
using testing::Frame;
using testing::kHeadsetUID;
using testing::kUSBUID;
using testing::logLinesSoFar;
using testing::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kOverdriven = "Overdriven";
constexpr const char* kMono = "Mono";

SimulatedDeviceConfig inputDevice(const std::string& uid, float amplitude, Waveform waveform) {
  auto device = testing::simulatedDevice(uid, uid, audiohal::kAudioDeviceTransportTypeUnknown, {2});
  device.toneFrequency = 500;  // five whole periods in every 10 ms cycle
  device.toneAmplitude = amplitude;
  device.waveform = waveform;
  return device;
}

// The default machine plus an overdriven square-wave input (±2.0).
MachineScenario meteringMachine() {
  auto scenario = MachineScenario::defaultMachine();
  scenario.devices.push_back(inputDevice(kOverdriven, 2.0f, Waveform::kSquare));
  auto mono = inputDevice(kMono, 0.5f, Waveform::kSquare);
  mono.inputStreams = {1};
  scenario.devices.push_back(mono);
  return scenario;
}

class AudioLevelMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &SimulatedMachine::install(meteringMachine()); }
  AudioObjectID device(const char* uid) { return machine_->hardware().deviceID(uid); }

  SimulatedMachine* machine_ = nullptr;
  CapturedOutput captured_;
};

TEST_F(AudioLevelMonitorTest, MeasuresTheDevicesSignalAndReportsIt) {
  AudioLevelMonitor monitor(machine_->audioUnits());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSBUID)));
  const auto lines = logLinesSoFar(captured_);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Started monitoring device " + std::to_string(device(kUSBUID))),
            lines.end());
  ASSERT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > 0; }));

  // The interface's microphone carries a sine of amplitude 0.25: RMS 0.25/√2.
  const auto levels = monitor.getCurrentLevels();
  EXPECT_NEAR(levels.rms, 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(levels.peak, 0.25, 0.005);

  auto event = captured_.frames().waitForEvent("audioLevels");
  ASSERT_TRUE(event);
  const auto& data = event->body["data"];
  EXPECT_EQ(data["deviceID"], device(kUSBUID));
  EXPECT_NEAR(data["rms"].get<double>(), 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(data["peak"].get<double>(), 0.25, 0.005);

  monitor.stopMonitoring();
  EXPECT_EQ(monitor.getCurrentLevels().rms, 0.0f);
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
}

TEST_F(AudioLevelMonitorTest, ReportsAtMostOncePerSecondOfCycles) {
  // The monitor reads the steady clock once at construction and once per
  // measured cycle.
  FakeMonitorClock cycles;
  cycles.setPerSteadyRead(400ms);
  cycles.setWallFollowsSteady();
  AudioLevelMonitor monitor(machine_->audioUnits(), cycles.clock());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSBUID)));
  // Cycles 400 ms apart: 0.4 and 0.8 s send nothing, 1.2 s does; then again
  // only 1.2 s after that.
  auto events = captured_.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioLevels"); }, 3, 10s);
  monitor.stopMonitoring();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].body["data"]["timestamp"], FakeMonitorClock::kStartMillis + 1200);
  EXPECT_EQ(events[1].body["data"]["timestamp"], FakeMonitorClock::kStartMillis + 2400);
  EXPECT_EQ(events[2].body["data"]["timestamp"], FakeMonitorClock::kStartMillis + 3600);
}

TEST_F(AudioLevelMonitorTest, StartingAgainMovesToTheNewDevice) {
  AudioLevelMonitor monitor(machine_->audioUnits());
  ASSERT_TRUE(monitor.startMonitoring(device(kUSBUID)));
  ASSERT_TRUE(monitor.startMonitoring(device(kHeadsetUID)));
  ASSERT_TRUE(captured_.frames().waitForEvent("audioLevels"));
  for (const auto& frame : eventsSoFar(captured_, "audioLevels")) {
    EXPECT_EQ(frame.body["data"]["deviceID"], device(kHeadsetUID));
  }
}

// Square waves, measured as they are and reported capped at 1.0: one at
// twice full scale, and a mono microphone metered in its own layout (as on a
// Mac, the input-only unit renders only the device's channels). A sine's
// levels are measured above.
TEST_F(AudioLevelMonitorTest, SquareWavesAreStoredAsMeasuredAndReportedCapped) {
  const struct {
    const char* uid;
    float measured;
    double reported;
  } cases[] = {{kOverdriven, 2.0f, 1.0}, {kMono, 0.5f, 0.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    AudioLevelMonitor monitor(machine_->audioUnits());
    ASSERT_TRUE(monitor.startMonitoring(device(c.uid)));
    ASSERT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > c.measured / 2; }));
    EXPECT_FLOAT_EQ(monitor.getCurrentLevels().rms, c.measured);
    EXPECT_FLOAT_EQ(monitor.getCurrentLevels().peak, c.measured);
    auto event = captured_.frames().waitForFrame([&](const Frame& f) {
      return f.isEvent("audioLevels") && f.body["data"]["deviceID"] == device(c.uid);
    });
    ASSERT_TRUE(event);
    EXPECT_EQ(event->body["data"]["rms"], c.reported);
    EXPECT_EQ(event->body["data"]["peak"], c.reported);
  }
}

TEST_F(AudioLevelMonitorTest, EachFailingStepIsLoggedAndFailsTheStart) {
  auto& units = machine_->audioUnits();
  AudioLevelMonitor monitor(units);
  const AudioObjectID usb = device(kUSBUID);
  struct Step {
    AudioUnitOperation operation;
    std::optional<platform::AudioUnitPropertyID> property;
    audiohal::OSStatus status;
    std::string line;
  };
  const std::vector<Step> steps = {
      {AudioUnitOperation::kFindComponent, std::nullopt, 0, "Failed to find AUHAL component"},
      {AudioUnitOperation::kInstanceNew, std::nullopt, -50, "Failed to create audio unit: -50"},
      {AudioUnitOperation::kSetProperty, platform::kAudioOutputUnitProperty_CurrentDevice, -10851,
       "Failed to set input device: -10851"},
      {AudioUnitOperation::kSetProperty, platform::kAudioOutputUnitProperty_SetInputCallback,
       -10879, "Failed to set input callback: -10879"},
      {AudioUnitOperation::kInitialize, std::nullopt, -10875,
       "Failed to initialize audio unit: -10875"},
      {AudioUnitOperation::kOutputUnitStart, std::nullopt, -10876,
       "Failed to start audio unit: -10876"},
  };
  for (const auto& step : steps) {
    units.injectFailure(step.operation, step.status, step.property);
    EXPECT_FALSE(monitor.startMonitoring(usb)) << step.line;
    const auto lines = logLinesSoFar(captured_);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), step.line), 1) << step.line;
    EXPECT_EQ(monitor.getCurrentLevels().rms, 0.0f);
    units.clearFailures();
  }
  // A unit left half-open by a failure is replaced by the next start.
  EXPECT_TRUE(monitor.startMonitoring(usb));
  EXPECT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > 0; }));

  // An unreadable format is no failure; a failing render measures nothing.
  units.injectFailure(AudioUnitOperation::kGetProperty, -10879,
                      platform::kAudioUnitProperty_StreamFormat);
  EXPECT_TRUE(monitor.startMonitoring(usb));
  EXPECT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > 0; }));
  units.clearFailures();
  units.injectFailure(AudioUnitOperation::kRender, -10863);
  ASSERT_TRUE(monitor.startMonitoring(usb));
  std::this_thread::sleep_for(200ms);  // about twenty cycles
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
  // No failure logged beyond the steps' own.
  const auto lines = logLinesSoFar(captured_);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("Failed", 0) == 0; }),
            static_cast<std::ptrdiff_t>(steps.size()));
}

TEST_F(AudioLevelMonitorTest, TheBufferIsSizedByWhatTheUnitAnnounces) {
  auto& units = machine_->audioUnits();
  // Cycles of 10 ms at 48 kHz are 480 frames: exactly what is announced.
  units.setMaximumFramesPerSlice(480);
  {
    AudioLevelMonitor monitor(units);
    ASSERT_TRUE(monitor.startMonitoring(device(kUSBUID)));
    ASSERT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > 0; }));
    EXPECT_EQ(monitor.skippedCycles(), 0u);
  }
  // A unit that delivers more than it announced: those cycles are left
  // unmeasured rather than overrunning the buffer.
  units.setMaximumFramesPerSlice(256);
  AudioLevelMonitor monitor(units);
  ASSERT_TRUE(monitor.startMonitoring(device(kUSBUID)));
  ASSERT_TRUE(waitUntil([&] { return monitor.skippedCycles() >= 3; }));
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
}

}  // namespace
}  // namespace velmar
