#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/ScenarioError.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"

namespace velmar::sim {
namespace {

using audiohal::AudioObjectID;
using audiohal::globalAddress;
using audiohal::kAudioObjectSystemObject;
using nlohmann::json;
using ::testing::AllOf;
using ::testing::HasSubstr;

const std::string kData = VELMAR_TEST_DATA_DIR;

template <typename Load>
std::string errorOf(Load load) {
  try {
    load();
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "no error";
}
std::string loadError(const std::string& path) {
  return errorOf([&] { ScenarioLoader::loadFile(path); });
}
std::string inlineError(const json& document) {
  return errorOf([&] { ScenarioLoader::fromJson(document, "test.json"); });
}

// Hosts start from the documented examples: each must load and play out.
TEST(ScenarioLoaderTest, EveryDocumentedExampleLoadsAndItsTimelineApplies) {
  int examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kData + "/../../docs/scenarios")) {
    SCOPED_TRACE(entry.path().string());
    SimulatedMachine& machine =
        SimulatedMachine::install(ScenarioLoader::loadFile(entry.path().string()));
    machine.timeline().advanceTo(1000);
    EXPECT_EQ(machine.timeline().appliedCount(), machine.timeline().eventCount());
    ++examples;
  }
  EXPECT_GE(examples, 4);
}

TEST(ScenarioLoaderTest, ErrorsNameTheFileThePlaceAndTheProblem) {
  const std::string syntax = kData + "/scenario_bad_syntax.json";
  EXPECT_THAT(loadError(syntax),
              AllOf(HasSubstr(syntax), HasSubstr("line 3"), HasSubstr("syntax error")));
  const std::string event = kData + "/scenario_bad_event.json";
  EXPECT_THAT(loadError(event),
              AllOf(HasSubstr(event), HasSubstr("/timeline/1/event"), HasSubstr("\"explode\"")));
  EXPECT_THAT(loadError(kData + "/scenario_bad_default.json"),
              AllOf(HasSubstr("/defaultInput"), HasSubstr("\"B\"")));
  const std::string missing = kData + "/no_such_scenario.json";
  EXPECT_THAT(loadError(missing), AllOf(HasSubstr(missing), HasSubstr("cannot be opened")));
}

TEST(ScenarioLoaderTest, InlineDocumentsSayWhereTheyAreWrong) {
  const json mic = {{"uid", "mic"}, {"name", "Mic"}, {"inputChannels", {1u}}};
  const struct {
    json document;
    std::string says;
  } cases[] = {
      {{{"devices", {{{"uid", "x"}, {"name", "x"}, {"inputChannels", {0}}}}}},
       "/devices/0/inputChannels/0"},
      {{{"devices", {mic}},
        {"aggregateDevices", {{{"uid", "agg"}, {"name", "Agg"}, {"subdevices", {"mic", "nope"}}}}}},
       "at /aggregateDevices/0/subdevices/1: no device has the UID \"nope\""},
      {{{"devices", {mic}}, {"aggregateDevices", {{{"uid", "mic"}, {"name", "Agg"}}}}},
       "at /aggregateDevices/0/uid: duplicate device UID \"mic\""},
      {{{"aggregateDevices", {{{"uid", "a"}, {"name", "A"}, {"clock", 5}}}}},
       "at /aggregateDevices/0/clock: expected a string"},
      {{{"timeline", {{{"at", 1}, {"event", "failClockWrites"}, {"times", 0}}}}},
       "at /timeline/0/times: expected a count from 1 to 1000000"},
      {{{"authorizationRequest", {{"answer", "maybe"}}}},
       "at /authorizationRequest/answer: expected \"granted\", \"denied\" or \"never\""},
      {{{"authorizationRequest", {{"answer", "granted"}, {"after", -1}}}},
       "at /authorizationRequest/after: a delay cannot be negative"},
      {{{"authorizationRequestGrants", true}, {"authorizationRequest", {{"answer", "granted"}}}},
       "give either"},
      {{{"devices", {{{"uid", "X"}, {"name", "X"}, {"waveform", "sawtooth"}}}}},
       "at /devices/0/waveform: expected \"sine\" or \"square\""},
      {{{"processes", {{{"pid", 7}, {"name", "P"}, {"amplitude", -0.5}}}}},
       "at /processes/0/amplitude: expected a number of 0 or more"},
      {{{"timeline", {{{"at", 0}, {"event", "setAuthorizationRequest"}}}}},
       "missing required key \"answer\""},
      {{{"systemAudioAuthorization", "maybe"}},
       "at /systemAudioAuthorization: expected \"notDetermined\""},
      {{{"timeline", {{{"at", 0}, {"event", "setSystemAudioAuthorization"}}}}},
       "missing required key \"status\""},
      {{{"failures", {{{"operation", "explode"}}}}},
       "Invalid scenario file test.json: at /failures/0/operation: unknown HAL operation "
       "\"explode\""},
      {{{"failures", {{{"operation", "deviceStart"}, {"selector", "toolong"}}}}},
       "/failures/0/selector"},
      {{{"failures", {{{"operation", "deviceStart"}, {"times", 0}}}}}, "/failures/0/times"},
      {{{"failures", {{{"operation", "deviceStart"}, {"status", 1.5}}}}}, "/failures/0/status"},
      {{{"failures", {{{"operation", "deviceStart"}, {"object", 3}}}}}, "unknown key"},
      // A clock may name a device that is not there (any more).
      {{{"aggregateDevices", {{{"uid", "a"}, {"name", "A"}, {"clock", "gone"}}}}}, "no error"},
  };
  for (const auto& c : cases) EXPECT_THAT(inlineError(c.document), HasSubstr(c.says));
}

// A scenario in the environment that cannot be used stops the service:
// ProcessCommandsEndToEndTest.

TEST(ScenarioLoaderTest, ReadsTheMachineAndItsTimelineAppliesInTimeOrder) {
  MachineScenario scenario = ScenarioLoader::loadFile(kData + "/scenario_studio.json");
  ASSERT_EQ(scenario.devices.size(), 2u);
  EXPECT_EQ(scenario.devices[0].transport, audiohal::kAudioDeviceTransportTypeBuiltIn);
  EXPECT_EQ(scenario.devices[0].sampleRateRanges,
            (std::vector<audiohal::AudioValueRange>{{44100, 44100}, {8000, 96000}}));
  EXPECT_EQ(scenario.devices[0].nominalSampleRate, 48000);
  EXPECT_EQ(scenario.devices[1].clockSource, ClockSourceProperty::kReadOnly);
  ASSERT_EQ(scenario.processes.size(), 2u);
  EXPECT_EQ(scenario.processes[1].name, std::nullopt);
  EXPECT_EQ(scenario.defaultOutputUID, "StudioOut");
  EXPECT_EQ(scenario.authorization, AuthorizationStatus::kNotDetermined);
  ASSERT_EQ(scenario.timeline.size(), 9u);
  EXPECT_EQ(scenario.timeline.front().at, 0.5);
  EXPECT_EQ(scenario.timeline.back().at, 4.0);

  SimulatedMachine& machine = SimulatedMachine::install(scenario);
  SimulatedAudioHardware& sim = machine.hardware();
  audiohal::AudioHardware& hal = sim;
  auto read = [&](AudioObjectID object, audiohal::AudioObjectPropertyAddress address) {
    audiohal::UInt32 value = 0;
    hal.getProperty(object, address, value);
    return value;
  };
  ScenarioTimeline& timeline = machine.timeline();
  EXPECT_EQ(timeline.advanceTo(0.4), 0u);
  EXPECT_EQ(sim.processObjectID(2003), 0u);

  EXPECT_EQ(timeline.advanceTo(1.0), 3u);
  EXPECT_NE(sim.processObjectID(2003), 0u);
  EXPECT_EQ(read(kAudioObjectSystemObject,
                 globalAddress(audiohal::kAudioHardwarePropertyDefaultInputDevice)),
            sim.deviceID("BTHeadset"));

  AudioObjectID podcast = sim.processObjectID(2001);
  AudioObjectID mic = sim.deviceID("StudioMic");
  EXPECT_EQ(timeline.advanceTo(10), 6u);
  EXPECT_EQ(timeline.appliedCount(), 9u);
  EXPECT_TRUE(sim.processWithPID(2002)->running);
  EXPECT_EQ(read(mic, {audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere,
                       audiohal::kAudioObjectPropertyScopeInput, 0}),
            1u);
  EXPECT_EQ(
      read(sim.deviceID("BTHeadset"), globalAddress(audiohal::kAudioDevicePropertyDeviceIsAlive)),
      0u);
  EXPECT_EQ(sim.processObjectID(2001), 0u);
  std::vector<AudioObjectID> taps;
  hal.getProperty(kAudioObjectSystemObject, globalAddress(audiohal::kAudioHardwarePropertyTapList),
                  taps);
  ASSERT_EQ(taps.size(), 1u);
  audiohal::CATapDescription tap;
  hal.getProperty(taps[0], globalAddress(audiohal::kAudioTapPropertyDescription), tap);
  EXPECT_EQ(tap.name, "Screen Recorder");
  EXPECT_EQ(tap.processes, std::vector<AudioObjectID>{podcast});
  EXPECT_TRUE(tap.isMixdown);
  EXPECT_FALSE(tap.isMono);
  EXPECT_EQ(machine.system().captureAuthorizationStatus(), AuthorizationStatus::kAuthorized);
}

}  // namespace
}  // namespace velmar::sim
