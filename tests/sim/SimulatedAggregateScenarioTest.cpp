// Aggregate devices and clock trouble on scenario machines: aggregates that
// exist before the service starts, clock writes that fail on purpose, and
// default devices that fall back when theirs goes away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/ScenarioError.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"

namespace velmar::sim {
namespace {

using namespace coreaudio;
using nlohmann::json;
using ::testing::HasSubstr;

const std::string kData = VELMAR_TEST_DATA_DIR;
const std::string kExample = kData + "/../../docs/scenarios/headset-clocked-aggregate.json";
constexpr const char* kEarbuds = "00-1B-66-E1-E2-E3:output";

std::optional<std::string> clockOf(AudioHardware& hal, AudioObjectID aggregate) {
  std::optional<std::string> uid;
  hal.getProperty(aggregate, globalAddress(kAudioAggregateDevicePropertyClockDevice), uid);
  return uid;
}

std::string loadError(const json& document) {
  try {
    ScenarioLoader::fromJson(document, "test.json");
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "no error";
}

TEST(SimulatedAggregateScenarioTest, ScenarioAggregatesExistFromTheStartWithStableIDs) {
  auto& machine = SimulatedMachine::install(ScenarioLoader::loadFile(kExample));
  auto& hal = machine.hardware();
  const AudioObjectID id = hal.deviceID("org.example.recorder.aggregate");
  ASSERT_NE(id, 0u);
  UInt32 classID = 0;
  hal.getProperty(id, globalAddress(kAudioObjectPropertyClass), classID);
  EXPECT_EQ(classID, kAudioAggregateDeviceClassID);
  std::vector<std::string> subDevices;
  hal.getProperty(id, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList), subDevices);
  EXPECT_EQ(subDevices, (std::vector<std::string>{"BuiltInMicrophoneDevice", kEarbuds}));
  EXPECT_EQ(clockOf(hal, id), kEarbuds);

  // A second run of the same scenario gives the aggregate the same ID, so a
  // saved ID finds it again.
  auto& again = SimulatedMachine::install(ScenarioLoader::loadFile(kExample));
  EXPECT_EQ(again.hardware().deviceID("org.example.recorder.aggregate"), id);
}

TEST(SimulatedAggregateScenarioTest, AggregatePartsMustBeDevicesOfTheMachine) {
  const json device = {{"uid", "mic"}, {"name", "Mic"}, {"inputChannels", {1u}}};
  EXPECT_THAT(loadError({{"devices", {device}},
                         {"aggregateDevices",
                          {{{"uid", "agg"}, {"name", "Agg"}, {"subdevices", {"mic", "nope"}}}}}}),
              HasSubstr("at /aggregateDevices/0/subdevices/1: no device has the UID \"nope\""));
  EXPECT_THAT(
      loadError({{"devices", {device}}, {"aggregateDevices", {{{"uid", "mic"}, {"name", "Agg"}}}}}),
      HasSubstr("at /aggregateDevices/0/uid: duplicate device UID \"mic\""));
  EXPECT_THAT(loadError({{"aggregateDevices", {{{"uid", "a"}, {"name", "A"}, {"clock", 5}}}}}),
              HasSubstr("at /aggregateDevices/0/clock: expected a string"));
  // A clock may name a device that is not there (any more).
  EXPECT_EQ(loadError({{"aggregateDevices", {{{"uid", "a"}, {"name", "A"}, {"clock", "gone"}}}}}),
            "no error");
}

TEST(SimulatedAggregateScenarioTest, RemovingTheDefaultDeviceFallsBackToAnotherOne) {
  auto& machine = SimulatedMachine::install(ScenarioLoader::loadFile(kExample));
  auto& hal = machine.hardware();
  machine.timeline().advanceTo(1);
  AudioObjectID output = 0;
  hal.getProperty(kAudioObjectSystemObject,
                  globalAddress(kAudioHardwarePropertyDefaultOutputDevice), output);
  EXPECT_EQ(output, hal.deviceID(kEarbuds));

  machine.timeline().advanceTo(2.5);
  EXPECT_EQ(hal.deviceID(kEarbuds), 0u);
  hal.getProperty(kAudioObjectSystemObject,
                  globalAddress(kAudioHardwarePropertyDefaultOutputDevice), output);
  // The first remaining plain device with an output, in the HAL's order.
  EXPECT_EQ(output, hal.deviceID("BuiltInSpeakerDevice"));

  // Input falls back to a device with inputs, never to an aggregate.
  ASSERT_TRUE(hal.setDefaultInputDevice("AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2"));
  ASSERT_TRUE(hal.removeDevice("AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2"));
  AudioObjectID input = 0;
  hal.getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultInputDevice),
                  input);
  EXPECT_EQ(input, hal.deviceID("BuiltInMicrophoneDevice"));
}

TEST(SimulatedAggregateScenarioTest, ClockWritesCanFailOnPurpose) {
  auto scenario = ScenarioLoader::fromJson(
      {{"base", "default"},
       {"aggregateDevices", {{{"uid", "agg"}, {"name", "Agg"}}, {{"uid", "other"}, {"name", "O"}}}},
       {"timeline", {{{"at", 1}, {"event", "failClockWrites"}, {"uid", "agg"}, {"times", 1}}}}},
      "test.json");
  auto& machine = SimulatedMachine::install(std::move(scenario));
  auto& hal = platform::Platform::shared().hal();  // failures sit in front of the machine
  const auto address = globalAddress(kAudioAggregateDevicePropertyClockDevice);
  const AudioObjectID agg = machine.hardware().deviceID("agg");
  const AudioObjectID other = machine.hardware().deviceID("other");
  const std::string microphone = "BuiltInMicrophoneDevice";

  EXPECT_EQ(hal.setPropertyData(agg, address, microphone), kAudioHardwareNoError);
  machine.timeline().advanceTo(1);
  EXPECT_EQ(hal.setPropertyData(agg, address, microphone), kAudioHardwareIllegalOperationError);
  // Only that device, only that many times.
  EXPECT_EQ(hal.setPropertyData(other, address, microphone), kAudioHardwareNoError);
  EXPECT_EQ(hal.setPropertyData(agg, address, microphone), kAudioHardwareNoError);

  EXPECT_THAT(loadError({{"timeline", {{{"at", 1}, {"event", "failClockWrites"}, {"times", 0}}}}}),
              HasSubstr("at /timeline/0/times: expected a count from 1 to 1000000"));
}

}  // namespace
}  // namespace velmar::sim
