// Taps of the simulated machine report the format the tap commands pass on.
#include <gtest/gtest.h>

#include "audiohal/AudioHardware.h"
#include "platform/Platform.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"

namespace velmar::sim {
namespace {

using audiohal::AudioStreamBasicDescription;
using audiohal::CATapDescription;
using audiohal::globalAddress;
using nlohmann::json;
using platform::Platform;

AudioStreamBasicDescription formatOf(AudioObjectID tap) {
  AudioStreamBasicDescription format;
  EXPECT_EQ(Platform::shared().hal().getProperty(
                tap, globalAddress(audiohal::kAudioTapPropertyFormat), format),
            0);
  return format;
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

  const auto address = globalAddress(audiohal::kAudioTapPropertyDescription);
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

}  // namespace
}  // namespace velmar::sim
