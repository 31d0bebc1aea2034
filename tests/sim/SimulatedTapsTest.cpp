// Taps of the simulated machine: the format they report, taps other
// programs make and destroy, and the failures a scenario can force on them.
#include <gtest/gtest.h>

#include "coreaudio/AudioHardware.h"
#include "platform/Platform.h"
#include "sim/ScenarioError.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"

namespace velmar::sim {
namespace {

using coreaudio::AudioStreamBasicDescription;
using coreaudio::CATapDescription;
using coreaudio::globalAddress;
using nlohmann::json;
using platform::Platform;

AudioStreamBasicDescription formatOf(AudioObjectID tap) {
  AudioStreamBasicDescription format;
  EXPECT_EQ(Platform::shared().hal().getProperty(
                tap, globalAddress(coreaudio::kAudioTapPropertyFormat), format),
            0);
  return format;
}

std::vector<AudioObjectID> tapList() {
  std::vector<AudioObjectID> ids;
  Platform::shared().hal().getProperty(coreaudio::kAudioObjectSystemObject,
                                       globalAddress(coreaudio::kAudioHardwarePropertyTapList),
                                       ids);
  return ids;
}

// A studio interface with four outputs at 96 kHz, and a process playing on it.
MachineScenario studioMachine() {
  return ScenarioLoader::fromJson(
      json{{"base", "default"},
           {"devices",
            {{{"uid", "Studio"},
              {"name", "Studio"},
              {"outputChannels", {4}},
              {"sampleRates", {96000}}}}},
           {"processes", {{{"pid", 3000}, {"name", "DAW"}, {"outputDevice", "Studio"}}}}},
      "studio");
}

TEST(SimulatedTapsTest, FormatFollowsTheMixdownAndWhereTheProcessesPlay) {
  auto& machine = SimulatedMachine::install(studioMachine());
  auto& hal = machine.hardware();
  const AudioObjectID daw = hal.processObjectID(3000);
  const AudioObjectID music = hal.processObjectID(1201);  // on the default output

  CATapDescription description;
  description.processes = {daw};
  AudioObjectID tap = 0;
  ASSERT_EQ(hal.createProcessTap(description, tap), 0);
  // Not mixed down: the width and rate of the device the process plays on.
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 4u);
  EXPECT_EQ(formatOf(tap).mSampleRate, 96000);

  const auto address = globalAddress(coreaudio::kAudioTapPropertyDescription);
  description.processes = {music};
  ASSERT_EQ(hal.setPropertyData(tap, address, description), 0);
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 2u);
  EXPECT_EQ(formatOf(tap).mSampleRate, 48000);

  description.processes = {daw};
  description.isMixdown = true;
  description.isMono = true;
  ASSERT_EQ(hal.setPropertyData(tap, address, description), 0);
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 1u);
  EXPECT_EQ(formatOf(tap).mSampleRate, 96000);
  description.isMono = false;
  ASSERT_EQ(hal.setPropertyData(tap, address, description), 0);
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 2u);

  // Every process but Music, which includes the DAW; a bound device wins.
  description.isMixdown = false;
  description.processes = {music};
  description.isExclusive = true;
  ASSERT_EQ(hal.setPropertyData(tap, address, description), 0);
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 4u);
  description.deviceUID = "BuiltInSpeakerDevice";
  ASSERT_EQ(hal.setPropertyData(tap, address, description), 0);
  EXPECT_EQ(formatOf(tap).mChannelsPerFrame, 2u);
  EXPECT_EQ(formatOf(tap).mSampleRate, 48000);
}

TEST(SimulatedTapsTest, AnotherProgramDestroysATapByItsUID) {
  auto& machine = SimulatedMachine::install(ScenarioLoader::fromJson(
      json{{"timeline",
            {{{"at", 1}, {"event", "createTap"}, {"name", "Recorder"}, {"uid", "REC"}},
             {{"at", 2}, {"event", "destroyTap"}, {"uid", "REC"}},
             {{"at", 3}, {"event", "destroyTap"}, {"uid", "NOBODY"}}}}},
      "timeline"));
  machine.timeline().advanceTo(1);
  ASSERT_EQ(tapList().size(), 1u);
  machine.timeline().advanceTo(2);
  EXPECT_TRUE(tapList().empty());
  EXPECT_EQ(machine.timeline().advanceTo(3), 1u);  // an unknown UID changes nothing

  CATapDescription own;
  own.uuid = "OWN";
  AudioObjectID id = 0;
  ASSERT_EQ(Platform::shared().hal().createProcessTap(own, id), 0);
  EXPECT_TRUE(machine.hardware().destroyTapByUID("OWN"));
  EXPECT_FALSE(machine.hardware().destroyTapByUID("OWN"));
  EXPECT_TRUE(tapList().empty());
}

TEST(SimulatedTapsTest, AScenarioCanFailTapCreationAndDescriptionWrites) {
  SimulatedMachine::install(ScenarioLoader::fromJson(
      json{{"failures",
            {{{"operation", "createProcessTap"}, {"status", 0}, {"times", 1}},
             {{"operation", "setPropertyData"}, {"selector", "tdsc"}, {"status", "nope"}}}}},
      "failing"));
  auto& hal = Platform::shared().hal();  // failures sit in front of the machine
  CATapDescription description;
  AudioObjectID id = 0;
  // "No error", and yet no tap: once.
  EXPECT_EQ(hal.createProcessTap(description, id), 0);
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(tapList().empty());
  ASSERT_EQ(hal.createProcessTap(description, id), 0);
  ASSERT_NE(id, 0u);
  description.name = "Rejected";
  EXPECT_EQ(
      hal.setPropertyData(id, globalAddress(coreaudio::kAudioTapPropertyDescription), description),
      static_cast<OSStatus>(coreaudio::fourCharCode("nope")));
  CATapDescription held;
  hal.getProperty(id, globalAddress(coreaudio::kAudioTapPropertyDescription), held);
  EXPECT_EQ(held.name, "");
}

TEST(SimulatedTapsTest, BadFailureEntriesSayWhatIsWrong) {
  auto problem = [](const json& failure) {
    try {
      ScenarioLoader::fromJson(json{{"failures", {failure}}}, "bad.json");
    } catch (const ScenarioError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(problem({{"operation", "explode"}}),
            "Invalid scenario file bad.json: at /failures/0/operation: unknown HAL operation "
            "\"explode\"");
  EXPECT_NE(problem({{"operation", "deviceStart"}, {"selector", "toolong"}}).find("/selector"),
            std::string::npos);
  EXPECT_NE(problem({{"operation", "deviceStart"}, {"times", 0}}).find("/times"),
            std::string::npos);
  EXPECT_NE(problem({{"operation", "deviceStart"}, {"status", 1.5}}).find("/status"),
            std::string::npos);
  EXPECT_NE(problem({{"operation", "deviceStart"}, {"object", 3}}).find("unknown key"),
            std::string::npos);
}

}  // namespace
}  // namespace velmar::sim
