#include "microphone/MicrophoneDetector.h"

#include <algorithm>
#include <numbers>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"

namespace velmar {
namespace {

using audiohal::AudioObjectID;
using audiohal::CATapDescription;
using audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere;
using audiohal::kAudioDevicePropertyDeviceName;
using audiohal::kAudioDevicePropertyStreamConfiguration;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDevices;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectSystemObject;
using audiohal::UInt32;
using sim::FailureRule;
using sim::HalOperation;
using sim::MachineScenario;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::logLinesSoFar;

constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";
constexpr const char* kSpeaker = "BuiltInSpeakerDevice";
constexpr const char* kUSB = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
constexpr const char* kHeadset = "00-1B-66-A1-B2-C3:input";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

std::string listLine(const std::string& name, AudioObjectID id, bool active) {
  return "  - " + name + " (ID: " + std::to_string(id) +
         ", Active: " + (active ? "true" : "false") + ")";
}

TEST(MicrophoneDetectorTest, ListsEveryInputDeviceAndFindsNothingWhenNoneRuns) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& hal = machine.hardware();
  CapturedOutput captured;
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_FALSE(status.isActive);
  EXPECT_EQ(status.name, "");
  EXPECT_EQ(status.id, 0u);

  const auto lines = logLinesSoFar(captured);
  const std::vector<std::string> expected = {
      "Found 4 audio devices",
      "Available input devices:",
      listLine("MacBook Pro Built-in Microphone", hal.deviceID(kBuiltInMic), false),
      listLine("Studio 2i2 USB", hal.deviceID(kUSB), false),
      listLine("Voyager Headset", hal.deviceID(kHeadset), false),
  };
  EXPECT_EQ(lines, expected);
}

TEST(MicrophoneDetectorTest, OfTwoRunningMicrophonesTheFirstInTheDeviceListWins) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& hal = machine.hardware();
  // Set in reverse list order: the list order decides, not the order of use.
  hal.setDeviceInUseElsewhere(kHeadset, true);
  hal.setDeviceInUseElsewhere(kUSB, true);
  CapturedOutput captured;
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_TRUE(status.isActive);
  EXPECT_EQ(status.name, "Studio 2i2 USB");
  EXPECT_EQ(status.id, hal.deviceID(kUSB));

  const auto lines = logLinesSoFar(captured);
  EXPECT_TRUE(contains(lines, "Found active microphone: Studio 2i2 USB (ID: " +
                                  std::to_string(hal.deviceID(kUSB)) + ")"));
  EXPECT_EQ(countContaining(lines, "Found active microphone"), 1u);
  // The second running microphone is listed as active too.
  EXPECT_TRUE(contains(lines, listLine("Voyager Headset", hal.deviceID(kHeadset), true)));
}

TEST(MicrophoneDetectorTest, ARunningAggregateDeviceIsNeverReported) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& hal = machine.hardware();
  // An aggregate whose only input is a tap, running: it has input channels
  // and runs somewhere, but it is no microphone.
  CATapDescription tap;
  tap.name = "Everything";
  tap.uuid = "tap-everything";
  tap.isExclusive = true;
  AudioObjectID tapID = 0;
  ASSERT_EQ(hal.createProcessTap(tap, tapID), kAudioHardwareNoError);
  AudioObjectID tapOnly = 0;
  ASSERT_EQ(hal.createAggregateDevice({{"uid", "agg-tap"},
                                       {"name", "Tap Aggregate"},
                                       {"subdevices", {kSpeaker}},
                                       {"taps", {"tap-everything"}}},
                                      tapOnly),
            kAudioHardwareNoError);
  ASSERT_EQ(hal.deviceStart(tapOnly, nullptr), kAudioHardwareNoError);
  UInt32 running = 0;
  hal.getProperty(tapOnly,
                  {kAudioDevicePropertyDeviceIsRunningSomewhere, kAudioObjectPropertyScopeInput, 0},
                  running);
  ASSERT_EQ(running, 1u);

  CapturedOutput captured;
  EXPECT_FALSE(MicrophoneDetector().checkMicrophones().isActive);

  // An aggregate around the built-in microphone, running: the microphone
  // itself is what is in use and what is reported.
  AudioObjectID withMic = 0;
  ASSERT_EQ(
      hal.createAggregateDevice(
          {{"uid", "agg-mic"}, {"name", "Mic Aggregate"}, {"subdevices", {kBuiltInMic}}}, withMic),
      kAudioHardwareNoError);
  ASSERT_EQ(hal.deviceStart(withMic, nullptr), kAudioHardwareNoError);
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_TRUE(status.isActive);
  EXPECT_EQ(status.id, hal.deviceID(kBuiltInMic));
  EXPECT_EQ(status.name, "MacBook Pro Built-in Microphone");
  // Neither aggregate device is listed, in either check.
  EXPECT_EQ(countContaining(logLinesSoFar(captured), "Aggregate"), 0u);
}

TEST(MicrophoneDetectorTest, ARunningOutputOnlyDeviceIsIgnored) {
  auto scenario = MachineScenario::defaultMachine();
  scenario.devices.erase(std::remove_if(scenario.devices.begin(), scenario.devices.end(),
                                        [](const auto& d) { return d.uid != kSpeaker; }),
                         scenario.devices.end());
  scenario.defaultInputUID.clear();
  SimulatedMachine& machine = SimulatedMachine::install(scenario);
  auto& hal = machine.hardware();
  hal.setDeviceInUseElsewhere(kSpeaker, true);
  ASSERT_EQ(hal.deviceStart(hal.deviceID(kSpeaker), nullptr), kAudioHardwareNoError);

  CapturedOutput captured;
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_FALSE(status.isActive);
  EXPECT_EQ(status.id, 0u);
  const std::vector<std::string> expected = {"Found 1 audio devices", "No input devices found"};
  EXPECT_EQ(logLinesSoFar(captured), expected);
}

TEST(MicrophoneDetectorTest, PlatformFailuresFallBackInsteadOfSurfacing) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& hal = machine.hardware();
  const AudioObjectID mic = hal.deviceID(kBuiltInMic);
  const AudioObjectID usb = hal.deviceID(kUSB);
  const AudioObjectID headset = hal.deviceID(kHeadset);
  hal.setDeviceInUseElsewhere(kBuiltInMic, true);
  hal.setDeviceInUseElsewhere(kUSB, true);
  // The microphone's name cannot be read, the USB interface's activity
  // cannot be read, and the headset's configuration cannot be sized.
  hal.injectFailure(
      FailureRule::when(HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceName, mic));
  hal.injectFailure(FailureRule::when(HalOperation::kGetPropertyData,
                                      kAudioDevicePropertyDeviceIsRunningSomewhere, usb));
  hal.injectFailure(FailureRule::when(HalOperation::kGetPropertyDataSize,
                                      kAudioDevicePropertyStreamConfiguration, headset));

  CapturedOutput captured;
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_TRUE(status.isActive);
  EXPECT_EQ(status.name, "Unknown Device");
  EXPECT_EQ(status.id, mic);
  const std::vector<std::string> expected = {
      "Found 4 audio devices",
      "Found active microphone: Unknown Device (ID: " + std::to_string(mic) + ")",
      "Available input devices:",
      listLine("Unknown Device", mic, true),
      listLine("Studio 2i2 USB", usb, false),
  };
  EXPECT_EQ(logLinesSoFar(captured), expected);
}

TEST(MicrophoneDetectorTest, AnUnreadableDeviceListMeansNoInputDevices) {
  SimulatedMachine& machine = SimulatedMachine::install();
  machine.hardware().setDeviceInUseElsewhere(kBuiltInMic, true);
  machine.hardware().injectFailure(FailureRule::when(
      HalOperation::kGetPropertyDataSize, kAudioHardwarePropertyDevices, kAudioObjectSystemObject));
  CapturedOutput captured;
  const auto status = MicrophoneDetector().checkMicrophones();
  EXPECT_FALSE(status.isActive);
  const std::vector<std::string> expected = {"Found 0 audio devices", "No input devices found"};
  EXPECT_EQ(logLinesSoFar(captured), expected);
}

TEST(MicrophoneDetectorTest, SyntheticLevelStaysWithinItsBoundsAndVaries) {
  float lowest = 1;
  float highest = 0;
  for (int i = 0; i < 2000; ++i) {
    const float atZero = MicrophoneDetector::generateLevel(0);
    EXPECT_GE(atZero, 0.0f);
    EXPECT_LE(atZero, 0.2f);
    const float atQuarterPi = MicrophoneDetector::generateLevel(std::numbers::pi / 4);
    EXPECT_GE(atQuarterPi, 0.3f);
    EXPECT_LE(atQuarterPi, 0.5f);
    const float anyTime = MicrophoneDetector::generateLevel(1.7e9 + i * 0.37);
    EXPECT_GE(anyTime, 0.0f);
    EXPECT_LE(anyTime, 0.5f);
    lowest = std::min(lowest, atZero);
    highest = std::max(highest, atZero);
  }
  // Random, not a constant.
  EXPECT_GT(highest - lowest, 0.1f);
}

}  // namespace
}  // namespace velmar
