// What the simulated machine offers for microphone metering and capture
// authorisation: device signals, the input unit's announced cycle size and
// forced failures, and how access requests are answered.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "sim/ScenarioError.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"

namespace velmar::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;
using Kind = AuthorizationRequestAnswer::Kind;

std::string loadError(const json& document) {
  try {
    ScenarioLoader::fromJson(document, "test.json");
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "no error";
}

TEST(CaptureScenarioTest, ReadsSignalsAndHowRequestsAreAnswered) {
  auto scenario = ScenarioLoader::fromJson(
      {{"devices",
        {{{"uid", "Loud"},
          {"name", "Loud"},
          {"inputChannels", json::array({1u})},
          {"amplitude", 1.5},
          {"waveform", "square"}}}},
       {"authorization", "notDetermined"},
       {"authorizationRequest", {{"answer", "never"}}},
       {"timeline",
        {{{"at", 1}, {"event", "setAuthorizationRequest"}, {"answer", "denied"}, {"after", 0.5}},
         {{"at", 2}, {"event", "setAuthorization"}, {"status", "restricted"}}}}},
      "test.json");
  ASSERT_EQ(scenario.devices.size(), 1u);
  EXPECT_FLOAT_EQ(scenario.devices[0].toneAmplitude, 1.5f);
  EXPECT_EQ(scenario.devices[0].waveform, Waveform::kSquare);
  EXPECT_EQ(scenario.authorizationRequest.kind, Kind::kNever);

  SimulatedMachine& machine = SimulatedMachine::install(scenario);
  machine.timeline().advanceTo(1);
  // Denied half a second after the prompt.
  auto answered = std::make_shared<std::promise<bool>>();
  auto answer = answered->get_future();
  const auto asked = std::chrono::steady_clock::now();
  machine.system().requestCaptureAccess([answered](bool granted) { answered->set_value(granted); });
  ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 450ms);
  EXPECT_FALSE(answer.get());
  EXPECT_EQ(machine.system().captureAuthorizationStatus(), AuthorizationStatus::kDenied);
  machine.timeline().advanceTo(2);
  EXPECT_EQ(machine.system().captureAuthorizationStatus(), AuthorizationStatus::kRestricted);
}

TEST(CaptureScenarioTest, RejectsUnknownAnswersAndWaveformsAndTwoWaysOfSayingIt) {
  EXPECT_THAT(loadError({{"authorizationRequest", {{"answer", "maybe"}}}}),
              HasSubstr("at /authorizationRequest/answer: expected \"granted\", \"denied\" or "
                        "\"never\""));
  EXPECT_THAT(loadError({{"authorizationRequest", {{"answer", "granted"}, {"after", -1}}}}),
              HasSubstr("at /authorizationRequest/after: a delay cannot be negative"));
  EXPECT_THAT(loadError({{"authorizationRequestGrants", true},
                         {"authorizationRequest", {{"answer", "granted"}}}}),
              HasSubstr("give either"));
  EXPECT_THAT(loadError({{"devices", {{{"uid", "X"}, {"name", "X"}, {"waveform", "sawtooth"}}}}}),
              HasSubstr("at /devices/0/waveform: expected \"sine\" or \"square\""));
  EXPECT_THAT(loadError({{"timeline", {{{"at", 0}, {"event", "setAuthorizationRequest"}}}}}),
              HasSubstr("missing required key \"answer\""));
}

TEST(CaptureScenarioTest, AnUnansweredPromptNeverCompletesWhileDecidedOnesStillAnswer) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& system = machine.system();
  system.setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  system.setRequestAnswer({Kind::kNever, 0});
  auto called = std::make_shared<std::atomic<bool>>(false);
  system.requestCaptureAccess([called](bool) { *called = true; });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(*called);
  EXPECT_EQ(system.captureAuthorizationStatus(), AuthorizationStatus::kNotDetermined);

  // Decided elsewhere (in the settings): a new request answers at once.
  system.setAuthorizationStatus(AuthorizationStatus::kAuthorized);
  auto answered = std::make_shared<std::promise<bool>>();
  auto answer = answered->get_future();
  system.requestCaptureAccess([answered](bool granted) { answered->set_value(granted); });
  ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(answer.get());
}

TEST(CaptureScenarioTest, TaskMemoryCanBeMadeUnreadable) {
  SimulatedMachine& machine = SimulatedMachine::install();
  ASSERT_TRUE(machine.system().taskResidentMemoryBytes().has_value());
  machine.system().setTaskMemoryAvailable(false);
  EXPECT_EQ(machine.system().taskResidentMemoryBytes(), std::nullopt);
}

TEST(CaptureScenarioTest, DeviceSignalsFollowTheirAmplitudeAndWaveform) {
  auto scenario = MachineScenario::defaultMachine();
  SimulatedDeviceConfig loud;
  loud.uid = "Loud";
  loud.name = "Loud";
  loud.inputStreams = {1};
  loud.toneAmplitude = 2.0f;
  loud.waveform = Waveform::kSquare;
  scenario.devices.push_back(loud);
  SimulatedMachine& machine = SimulatedMachine::install(scenario);
  auto& hal = machine.hardware();

  std::vector<float> samples(480);
  ASSERT_EQ(hal.renderDeviceInput(hal.deviceID("Loud"), 0, 480, 1, samples.data()), 0);
  // An overdriven device is delivered unclipped, every sample ±2.
  for (float sample : samples) EXPECT_EQ(std::abs(sample), 2.0f);
  EXPECT_NE(std::count(samples.begin(), samples.end(), 2.0f), 0);
  EXPECT_NE(std::count(samples.begin(), samples.end(), -2.0f), 0);

  ASSERT_EQ(
      hal.renderDeviceInput(hal.deviceID("BuiltInMicrophoneDevice"), 0, 480, 1, samples.data()), 0);
  const float peak = std::abs(*std::max_element(
      samples.begin(), samples.end(), [](float a, float b) { return std::abs(a) < std::abs(b); }));
  EXPECT_NEAR(peak, SimulatedAudioHardware::kToneAmplitude, 0.01);
}

TEST(CaptureScenarioTest, InputUnitsAnnounceTheirLargestCycleAndCanBeMadeToFail) {
  SimulatedMachine& machine = SimulatedMachine::install();
  auto& units = machine.audioUnits();
  using namespace platform;
  const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                              kAudioUnitManufacturer_Apple, 0, 0};
  AudioComponent component = units.findNextComponent(nullptr, description);
  ASSERT_NE(component, nullptr);
  AudioUnit unit = nullptr;
  ASSERT_EQ(units.instanceNew(component, unit), 0);
  AudioUnitPropertyValue value;
  ASSERT_EQ(units.getProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                              kAudioUnitScope_Global, 0, value),
            0);
  EXPECT_EQ(std::get<UInt32>(value), SimulatedAudioUnitService::kDefaultMaximumFramesPerSlice);
  units.setMaximumFramesPerSlice(512);
  ASSERT_EQ(units.getProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                              kAudioUnitScope_Global, 0, value),
            0);
  EXPECT_EQ(std::get<UInt32>(value), 512u);

  // A forced failure hits only its property, until cleared.
  units.injectFailure(AudioUnitOperation::kSetProperty, -10851,
                      kAudioOutputUnitProperty_CurrentDevice);
  EXPECT_EQ(units.setProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                              0, UInt32{machine.hardware().deviceID("BuiltInMicrophoneDevice")}),
            -10851);
  EXPECT_EQ(units.setProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                              UInt32{1}),
            0);
  units.injectFailure(AudioUnitOperation::kFindComponent, 0);
  EXPECT_EQ(units.findNextComponent(nullptr, description), nullptr);
  units.clearFailures();
  EXPECT_NE(units.findNextComponent(nullptr, description), nullptr);
  EXPECT_EQ(units.instanceDispose(unit), 0);
}

}  // namespace
}  // namespace velmar::sim
