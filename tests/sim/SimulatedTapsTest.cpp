// Taps of the simulated machine report the format the tap commands pass on,
// and hear their processes only with the system-audio authorisation.
#include <mutex>

#include <gtest/gtest.h>

#include "audiohal/AudioHardware.h"
#include "platform/Platform.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"
#include "support/UnitIOCapture.h"

namespace velmar::sim {
namespace {

using audiohal::CATapDescription;
using audiohal::globalAddress;
using nlohmann::json;
using platform::AuthorizationStatus;
using platform::Platform;

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
  // The tap's channels and rate once it has `description` (as made, or set).
  auto format = [&](bool set = true) {
    const auto address = globalAddress(audiohal::kAudioTapPropertyDescription);
    if (set) {
      EXPECT_EQ(hal.setPropertyData(tap, address, description), 0);
    }
    audiohal::AudioStreamBasicDescription format;
    EXPECT_EQ(Platform::shared().hal().getProperty(
                  tap, globalAddress(audiohal::kAudioTapPropertyFormat), format),
              0);
    return std::pair{format.mChannelsPerFrame, format.mSampleRate};
  };
  using Format = std::pair<UInt32, Float64>;
  // Not mixed down: the width and rate of the device the process plays on.
  EXPECT_EQ(format(false), (Format{4, 96000}));
  description.processes = {music};
  EXPECT_EQ(format(), (Format{2, 48000}));

  description.processes = {daw};
  description.isMixdown = true;
  description.isMono = true;
  EXPECT_EQ(format(), (Format{1, 96000}));
  description.isMono = false;
  EXPECT_EQ(format(), (Format{2, 96000}));

  // Every process but Music, which includes the DAW; a bound device wins.
  description.isMixdown = false;
  description.processes = {music};
  description.isExclusive = true;
  EXPECT_EQ(format(), (Format{4, 96000}));
  description.deviceUID = "BuiltInSpeakerDevice";
  EXPECT_EQ(format(), (Format{2, 48000}));
}

// Records a tenth of a second from the microphone and a tap on Music (which
// plays) and says which of the two carried sound.
std::vector<bool> microphoneAndTapSound(SimulatedMachine& machine) {
  auto& hal = Platform::shared().hal();
  CATapDescription description;
  description.uuid = "MUSIC-TAP";
  description.processes = {machine.hardware().processObjectID(1201)};
  AudioObjectID tap = 0;
  EXPECT_EQ(hal.createProcessTap(description, tap), 0);
  AudioObjectID aggregate = 0;
  EXPECT_EQ(hal.createAggregateDevice({{"name", "Probe"},
                                       {"uid", "probe"},
                                       {"subdevices", {"BuiltInMicrophoneDevice"}},
                                       {"taps", {"MUSIC-TAP"}}},
                                      aggregate),
            0);
  testing::IOCapture capture;
  audiohal::AudioDeviceIOProcID proc = nullptr;
  EXPECT_EQ(hal.createIOProcID(aggregate, &testing::IOCapture::ioProc, &capture, proc), 0);
  EXPECT_EQ(hal.deviceStart(aggregate, proc), 0);
  EXPECT_TRUE(capture.waitForFrames(4800));
  EXPECT_EQ(hal.deviceStop(aggregate, proc), 0);
  EXPECT_EQ(hal.destroyIOProcID(aggregate, proc), 0);
  EXPECT_EQ(hal.destroyAggregateDevice(aggregate), 0);
  EXPECT_EQ(hal.destroyProcessTap(tap), 0);
  std::lock_guard lock(capture.mutex);
  return capture.sounded;
}

// The microphone always sounds here; once the system-audio authorisation is
// set on its own, taps follow it and not the capture one. (While it follows
// the capture one, SilenceEndToEndTest hears the taps go quiet with it.)
TEST(SimulatedTapsTest, TapsHearTheirProcessesOnlyWithTheSystemAudioAuthorisation) {
  for (const bool systemAudio : {false, true}) {
    SCOPED_TRACE(systemAudio ? "only system audio authorized" : "only system audio denied");
    auto& machine = SimulatedMachine::install();
    machine.system().setAuthorizationStatus(systemAudio ? AuthorizationStatus::kDenied
                                                        : AuthorizationStatus::kAuthorized);
    machine.system().setSystemAudioAuthorizationStatus(
        systemAudio ? AuthorizationStatus::kAuthorized : AuthorizationStatus::kDenied);
    EXPECT_EQ(microphoneAndTapSound(machine), (std::vector<bool>{true, systemAudio}));
  }
}

}  // namespace
}  // namespace velmar::sim
