// One host script on the simulated machine, run with nothing failing and
// then once per HAL operation and once per property the managers write, that
// operation (or write) failing on every call: each command is answered
// exactly once (after its acknowledgment where the action table gives one),
// nothing hangs or crashes, and no success claims what the HAL behind the
// failing calls does not hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ranges>
#include <string_view>
#include <thread>

#include "aggregate/AggregateTestMachine.h"
#include "commands/CommandProcessor.h"
#include "microphone/AudioLevelMonitor.h"
#include "microphone/MicrophoneMonitor.h"
#include "support/HostConversation.h"
#include "support/MainLoopThread.h"
#include "support/OutputMarker.h"

namespace velmar::testing {
namespace {

using audiohal::AudioClassID;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertySelector;
using audiohal::CATapDescription;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDeviceClassID;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyUID;
using nlohmann::json;
using sim::FailureRule;
using sim::HalOperation;

struct Fault {
  std::string name;
  std::optional<FailureRule> rule;  // none: the script must work throughout
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

std::vector<Fault> faults() {
  std::vector<Fault> all{{"Nothing", std::nullopt}};
  // HalOperation's values in order.
  constexpr std::string_view kOperations =
      "GetPropertyDataSize GetPropertyData SetPropertyData HasProperty IsPropertySettable "
      "AddPropertyListener RemovePropertyListener CreateProcessTap DestroyProcessTap "
      "CreateAggregateDevice DestroyAggregateDevice CreateIOProcID DestroyIOProcID DeviceStart "
      "DeviceStop";
  static_assert(std::ranges::count(kOperations, ' ') ==
                static_cast<int>(HalOperation::kDeviceStop));
  int operation = 0;
  for (const auto name : kOperations | std::views::split(' ')) {
    all.push_back({std::string(name.begin(), name.end()),
                   FailureRule::when(static_cast<HalOperation>(operation++))});
  }
  // Every property a manager writes.
  const std::pair<const char*, AudioObjectPropertySelector> writes[] = {
      {"ClockDevice", kAudioAggregateDevicePropertyClockDevice},
      {"Composition", kAudioAggregateDevicePropertyComposition},
      {"SubDeviceList", kAudioAggregateDevicePropertyFullSubDeviceList},
      {"AggregateTapList", kAudioAggregateDevicePropertyTapList},
      {"TapDescription", kAudioTapPropertyDescription}};
  for (const auto& [name, selector] : writes) {
    all.push_back(
        {std::string("Write") + name, FailureRule::when(HalOperation::kSetPropertyData, selector)});
  }
  return all;
}

bool ok(const json& answer) { return answer.value("success", false); }

class FaultSweepTest : public AggregateTestMachine, public ::testing::WithParamInterface<Fault> {
 protected:
  void SetUp() override {
    AggregateTestMachine::SetUp();
    ::setenv("VELMAR_STORE_PATH", storePath_.c_str(), 1);
  }

  // Sends the command and waits for its answer (null when none comes).
  json send(const std::string& action, json params = json::object()) {
    const std::string id = "s" + std::to_string(sent_.size());
    sent_[id] = action;
    processor_->processCommand(command(id, action, std::move(params)).dump());
    auto answer =
        output_.frames().waitForFrame([&](const Frame& f) { return isAnswer(f, id); }, 30s);
    EXPECT_TRUE(answer) << action << " was not answered";
    if (!answer) return json::object();
    // Without a failure every step works, so every check below can bite.
    EXPECT_TRUE(GetParam().rule || ok(answer->body)) << answer->body;
    return answer->body;
  }

  // What the HAL behind the failing calls holds.
  template <typename T>
  T read(AudioObjectID object, AudioObjectPropertySelector selector) {
    T value{};
    machine().getProperty(object, globalAddress(selector), value);
    return value;
  }
  std::vector<AudioObjectID> halTaps() {
    return read<std::vector<AudioObjectID>>(kAudioObjectSystemObject,
                                            kAudioHardwarePropertyTapList);
  }
  bool tapExists(AudioObjectID id) {
    const auto taps = halTaps();
    return std::find(taps.begin(), taps.end(), id) != taps.end();
  }
  bool aggregateExists(AudioObjectID id) {
    return read<AudioClassID>(id, kAudioObjectPropertyClass) == kAudioAggregateDeviceClassID;
  }
  bool lists(AudioObjectID aggregate, AudioObjectPropertySelector selector,
             const std::string& uid) {
    const auto uids = read<std::optional<std::vector<std::string>>>(aggregate, selector);
    return uids && std::find(uids->begin(), uids->end(), uid) != uids->end();
  }
  // Audio arrives from now on, or the recording has ended with an error
  // since there were `errors`.
  bool deliversOrEnds(std::size_t errors) {
    const auto news = [](const Frame& f) {
      return f.isEvent("audioData") || f.isEvent("recordingError");
    };
    const std::size_t seen = eventData(output_, "audioData").size() + errors;
    return output_.frames().waitForFrames(news, seen + 1, 30s).size() > seen;
  }
  static bool eventually(const std::function<bool()>& done) {
    return testing::waitUntil(done, 30s, 1ms);
  }

  std::shared_ptr<CommandProcessor> processor_;
  std::map<std::string, std::string> sent_;  // action by command id
};

TEST_P(FaultSweepTest, EveryCommandIsAnsweredOnceAndNoSuccessIsFalse) {
  if (GetParam().rule) machine().injectFailure(*GetParam().rule);
  MainLoopThread mainLoop;
  processor_ = CommandProcessor::create();
  MicrophoneMonitor monitor;  // polled here as the main loop would
  monitor.checkAndUpdateStatus();

  send("listAudioProcesses");
  const auto tapsBefore = halTaps();
  const json tap = send("createAudioTap", {{"config", {{"name", "Sweep tap"}}}});
  if (!ok(tap)) {
    EXPECT_EQ(halTaps(), tapsBefore) << "a tap answered as not made was left in the HAL";
  }
  const AudioObjectID tapID = ok(tap) ? tap["data"]["id"].get<AudioObjectID>() : 0;
  const std::string tapUID = ok(tap) ? tap["data"]["uid"] : "";
  if (ok(tap)) {
    EXPECT_EQ(read<std::string>(tapID, kAudioTapPropertyUID), tapUID);
  }
  const json renamed =
      send("updateAudioTap", {{"tapID", tapID}, {"config", {{"name", "Sweep tap renamed"}}}});
  if (ok(renamed)) {
    EXPECT_EQ(renamed["data"]["name"],
              read<CATapDescription>(tapID, kAudioTapPropertyDescription).name);
  }

  const json made = send("createAggregateDevice",
                         {{"tapUIDs", tapUID.empty() ? json::array() : json::array({tapUID})}});
  const AudioObjectID aggregate = ok(made) ? made["data"]["deviceID"].get<AudioObjectID>() : 0;
  if (ok(made)) {
    EXPECT_TRUE(aggregateExists(aggregate));
    if (!tapUID.empty()) {
      EXPECT_TRUE(lists(aggregate, kAudioAggregateDevicePropertyTapList, tapUID));
    }
  }
  if (ok(send("addDeviceToAggregate", {{"aggregateID", aggregate}, {"deviceUID", kUSBUID}}))) {
    EXPECT_TRUE(lists(aggregate, kAudioAggregateDevicePropertyFullSubDeviceList, kUSBUID));
  }
  // Made public and starting its taps itself: both differ from how it was made.
  if (ok(send("configureAggregateDevice",
              {{"deviceID", aggregate}, {"isPrivate", false}, {"autoStart", true}}))) {
    const auto composition =
        read<std::optional<json>>(aggregate, kAudioAggregateDevicePropertyComposition);
    ASSERT_TRUE(composition);
    EXPECT_EQ(composition->value("private", true), false);
    EXPECT_EQ(composition->value("tapautostart", false), true);
  }
  const json systemTap = send("createSystemLevelTap");
  const std::string systemTapUID = ok(systemTap) ? systemTap["data"]["uid"] : "";
  if (ok(systemTap)) {
    EXPECT_TRUE(tapExists(systemTap["data"]["id"].get<AudioObjectID>()));
  }
  if (ok(send("addTapToAggregate", {{"aggregateID", aggregate}, {"tapUID", systemTapUID}}))) {
    EXPECT_TRUE(lists(aggregate, kAudioAggregateDevicePropertyTapList, systemTapUID));
  }

  send("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  if (ok(send("startRecording", {{"deviceID", aggregate}}))) {
    EXPECT_TRUE(deliversOrEnds(0));
  }
  // The recorded device's microphone is in use.
  const json microphone = send("getMicrophoneStatus");
  if (!GetParam().rule) {
    EXPECT_EQ(microphone["data"]["isActive"], true);
  }
  monitor.checkAndUpdateStatus();
  {
    // The input unit sits beside the HAL: it meters whatever fails there.
    AudioLevelMonitor levels;
    if (levels.startMonitoring(machine().deviceID(kMicrophoneUID))) {
      EXPECT_TRUE(eventually([&] { return levels.getCurrentLevels().peak > 0; }))
          << "the microphone's tone was not metered";
    } else {
      EXPECT_TRUE(GetParam().rule);
    }
  }
  send("pauseRecording");
  send("resumeRecording");
  // A sub-device of the recorded device goes away; the host asks for the switch.
  const std::size_t errors = eventData(output_, "recordingError").size();
  machine().removeDevice(kUSBUID);
  send("handleDeviceSwitch");
  const json status = send("getRecordingStatus");
  if (status.value("data", json::object()).value("isRecording", false)) {
    EXPECT_TRUE(deliversOrEnds(errors));
  }
  if (ok(send("stopRecording"))) {
    const auto running = machine().devicesWithStartedIO();
    EXPECT_EQ(std::count(running.begin(), running.end(), aggregate), 0);
  }

  send("checkMicrophonePermission");
  send("requestMicrophonePermission");
  send("requestSystemAudioAccess");
  send("getPermissionStatus");

  if (ok(send("destroyAudioTap", {{"tapID", tapID}}))) {
    EXPECT_FALSE(tapExists(tapID));
  }
  if (ok(send("destroyAggregateDevice", {{"deviceID", aggregate}}))) {
    EXPECT_FALSE(aggregateExists(aggregate));
  }

  // Nothing of the processor runs any more, so every answer it gave is out.
  std::weak_ptr<CommandProcessor> gone = processor_;
  processor_.reset();
  ASSERT_TRUE(eventually([&] { return gone.expired(); })) << "the processor never finished";
  eventsSoFar(output_, "testMarker");
  std::map<std::string, std::pair<int, int>> answers;  // acknowledgments, answers
  for (const auto& f : output_.frames().frames()) {
    if (f.kind != "RESPONSE") continue;
    auto& [acks, finals] = answers[f.body.value("id", "")];
    const bool acknowledgment = f.body.contains("isAcknowledgment");
    ++(acknowledgment ? acks : finals);
    EXPECT_FALSE(acknowledgment && finals > 0) << "acknowledged after its answer: " << f.body;
  }
  EXPECT_EQ(answers.size(), sent_.size());
  for (const auto& [id, action] : sent_) {
    const int acks = ActionTable::find(action)->acknowledged() ? 1 : 0;
    EXPECT_EQ(answers[id], std::make_pair(acks, 1)) << id << " " << action;
  }
  if (GetParam().rule) {
    EXPECT_GT(machine().failedCalls(), 0u) << "the script never met the failure";
  } else {
    EXPECT_TRUE(eventsSoFar(output_, "recordingError").empty());
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFailure, FaultSweepTest, ::testing::ValuesIn(faults()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velmar::testing
