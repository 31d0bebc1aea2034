#include "microphone/MicrophoneDetector.h"

#include <algorithm>
#include <numbers>
#include <optional>

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

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

std::string listLine(const std::string& name, AudioObjectID id, bool active) {
  return "  - " + name + " (ID: " + std::to_string(id) +
         ", Active: " + (active ? "true" : "false") + ")";
}

std::string foundLine(const std::string& name, AudioObjectID id) {
  return "Found active microphone: " + name + " (ID: " + std::to_string(id) + ")";
}

// One check, and the lines it logged.
struct Check {
  MicrophoneDetector::Status status;
  std::vector<std::string> lines;
};

Check check() {
  CapturedOutput captured;
  auto status = MicrophoneDetector().checkMicrophones();
  return {status, logLinesSoFar(captured)};
}

// What the check reports and logs, by what runs and what cannot be read.
TEST(MicrophoneDetectorTest, ReportsTheFirstRunningMicrophoneAndListsEveryInputDevice) {
  struct Listed {
    const char* name;
    const char* uid;
    bool active;
  };
  struct Unreadable {
    HalOperation operation;
    audiohal::AudioObjectPropertySelector selector;
    const char* uid;  // the system object when null
  };
  const Listed mic = {"MacBook Pro Built-in Microphone", kBuiltInMic, false};
  const Listed usb = {"Studio 2i2 USB", kUSB, false};
  const Listed headset = {"Voyager Headset", kHeadset, false};
  const Listed usbActive = {usb.name, kUSB, true}, headsetActive = {headset.name, kHeadset, true};
  const Listed unknownMic = {"Unknown Device", kBuiltInMic, true};
  const struct {
    const char* name;
    std::size_t devices;  // 1: the speaker alone, running
    std::vector<const char*> running;
    std::optional<Listed> reported = {};
    std::vector<Listed> listed = {};  // none: "No input devices found"
    std::vector<Unreadable> unreadable = {};
  } cases[] = {
      {"nothing runs", 4, {}, {}, {mic, usb, headset}},
      // Set in reverse list order: the list order decides, not the order of
      // use; the second running one is listed as active too.
      {"two run", 4, {kHeadset, kUSB}, usb, {mic, usbActive, headsetActive}},
      {"only a running output", 1, {kSpeaker}},
      // The microphone's name, the USB interface's activity and the size of
      // the headset's configuration cannot be read: each falls back.
      {"unreadable properties",
       4,
       {kBuiltInMic, kUSB},
       unknownMic,
       {unknownMic, usb},
       {{HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceName, kBuiltInMic},
        {HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceIsRunningSomewhere, kUSB},
        {HalOperation::kGetPropertyDataSize, kAudioDevicePropertyStreamConfiguration, kHeadset}}},
      {"unreadable device list",
       0,
       {kBuiltInMic},
       {},
       {},
       {{HalOperation::kGetPropertyDataSize, kAudioHardwarePropertyDevices, nullptr}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scenario = MachineScenario::defaultMachine();
    if (c.devices == 1) {
      std::erase_if(scenario.devices, [](const auto& d) { return d.uid != kSpeaker; });
      scenario.defaultInputUID.clear();
    }
    auto& hal = SimulatedMachine::install(scenario).hardware();
    for (const char* uid : c.running) hal.setDeviceInUseElsewhere(uid, true);
    if (c.devices == 1) {
      ASSERT_EQ(hal.deviceStart(hal.deviceID(kSpeaker), nullptr), kAudioHardwareNoError);
    }
    for (const auto& u : c.unreadable) {
      hal.injectFailure(FailureRule::when(u.operation, u.selector,
                                          u.uid ? hal.deviceID(u.uid) : kAudioObjectSystemObject));
    }
    std::vector<std::string> lines = {"Found " + std::to_string(c.devices) + " audio devices"};
    if (c.reported) lines.push_back(foundLine(c.reported->name, hal.deviceID(c.reported->uid)));
    if (c.listed.empty()) lines.push_back("No input devices found");
    if (!c.listed.empty()) lines.push_back("Available input devices:");
    for (const auto& l : c.listed) lines.push_back(listLine(l.name, hal.deviceID(l.uid), l.active));

    const Check seen = check();
    EXPECT_EQ(seen.status.isActive, c.reported.has_value());
    EXPECT_EQ(seen.status.name, c.reported ? c.reported->name : "");
    EXPECT_EQ(seen.status.id, c.reported ? hal.deviceID(c.reported->uid) : 0);
    EXPECT_EQ(seen.lines, lines);
  }
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

  const Check tapOnlyCheck = check();
  EXPECT_FALSE(tapOnlyCheck.status.isActive);

  // An aggregate around the built-in microphone, running: the microphone
  // itself is what is in use and what is reported.
  AudioObjectID withMic = 0;
  ASSERT_EQ(
      hal.createAggregateDevice(
          {{"uid", "agg-mic"}, {"name", "Mic Aggregate"}, {"subdevices", {kBuiltInMic}}}, withMic),
      kAudioHardwareNoError);
  ASSERT_EQ(hal.deviceStart(withMic, nullptr), kAudioHardwareNoError);
  const Check micCheck = check();
  EXPECT_TRUE(micCheck.status.isActive);
  EXPECT_EQ(micCheck.status.id, hal.deviceID(kBuiltInMic));
  EXPECT_EQ(micCheck.status.name, "MacBook Pro Built-in Microphone");
  // Neither aggregate device is listed, in either check.
  EXPECT_EQ(countContaining(tapOnlyCheck.lines, "Aggregate"), 0u);
  EXPECT_EQ(countContaining(micCheck.lines, "Aggregate"), 0u);
}

TEST(MicrophoneDetectorTest, SyntheticLevelStaysWithinItsBoundsAndVaries) {
  float lowest = 1;
  float highest = 0;
  for (int i = 0; i < 2000; ++i) {
    const struct {
      double time;
      float lowest, highest;
    } bounds[] = {{0, 0, 0.2f}, {std::numbers::pi / 4, 0.3f, 0.5f}, {1.7e9 + i * 0.37, 0, 0.5f}};
    for (const auto& b : bounds) {
      const float level = MicrophoneDetector::generateLevel(b.time);
      EXPECT_GE(level, b.lowest) << b.time;
      EXPECT_LE(level, b.highest) << b.time;
      if (b.time == 0) {
        lowest = std::min(lowest, level);
        highest = std::max(highest, level);
      }
    }
  }
  // Random, not a constant.
  EXPECT_GT(highest - lowest, 0.1f);
}

}  // namespace
}  // namespace velmar
