#include "microphone/MicrophoneDetector.h"

#include <algorithm>
#include <numbers>
#include <optional>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"
#include "support/UnitHelpers.h"

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
using testing::countContaining;
using testing::kHeadsetUID;
using testing::kMicrophoneName;
using testing::kMicrophoneUID;
using testing::kSpeakerUID;
using testing::kUSBUID;
using testing::logLinesSoFar;

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
  const Listed mic = {kMicrophoneName, kMicrophoneUID, false};
  const Listed usb = {"Studio 2i2 USB", kUSBUID, false};
  const Listed headset = {"Voyager Headset", kHeadsetUID, false};
  const Listed usbActive = {usb.name, kUSBUID, true},
               headsetActive = {headset.name, kHeadsetUID, true};
  const Listed unknownMic = {"Unknown Device", kMicrophoneUID, true};
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
      {"two run", 4, {kHeadsetUID, kUSBUID}, usb, {mic, usbActive, headsetActive}},
      {"only a running output", 1, {kSpeakerUID}},
      // The microphone's name, the USB interface's activity and the size of
      // the headset's configuration cannot be read: each falls back.
      {"unreadable properties",
       4,
       {kMicrophoneUID, kUSBUID},
       unknownMic,
       {unknownMic, usb},
       {{HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceName, kMicrophoneUID},
        {HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceIsRunningSomewhere, kUSBUID},
        {HalOperation::kGetPropertyDataSize, kAudioDevicePropertyStreamConfiguration,
         kHeadsetUID}}},
      {"unreadable device list",
       0,
       {kMicrophoneUID},
       {},
       {},
       {{HalOperation::kGetPropertyDataSize, kAudioHardwarePropertyDevices, nullptr}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scenario = MachineScenario::defaultMachine();
    if (c.devices == 1) {
      std::erase_if(scenario.devices, [](const auto& d) { return d.uid != kSpeakerUID; });
      scenario.defaultInputUID.clear();
    }
    auto& hal = SimulatedMachine::install(scenario).hardware();
    for (const char* uid : c.running) hal.setDeviceInUseElsewhere(uid, true);
    if (c.devices == 1) {
      ASSERT_EQ(hal.deviceStart(hal.deviceID(kSpeakerUID), nullptr), kAudioHardwareNoError);
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
                                       {"subdevices", {kSpeakerUID}},
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
  ASSERT_EQ(hal.createAggregateDevice(
                {{"uid", "agg-mic"}, {"name", "Mic Aggregate"}, {"subdevices", {kMicrophoneUID}}},
                withMic),
            kAudioHardwareNoError);
  ASSERT_EQ(hal.deviceStart(withMic, nullptr), kAudioHardwareNoError);
  const Check micCheck = check();
  EXPECT_TRUE(micCheck.status.isActive);
  EXPECT_EQ(micCheck.status.id, hal.deviceID(kMicrophoneUID));
  EXPECT_EQ(micCheck.status.name, kMicrophoneName);
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
