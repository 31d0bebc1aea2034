#include "taps/AudioTapManager.h"

#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/ScenarioLoader.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/MainLoopThread.h"
#include "taps/AudioProcessManager.h"

namespace velmar {

// Readable failure messages: the coded form instead of raw bytes.
static void PrintTo(const TapConfig& config, std::ostream* out) { *out << config.encode().dump(); }

namespace {

using coreaudio::CATapDescription;
using coreaudio::globalAddress;
using nlohmann::json;
using platform::Platform;
using sim::FailureRule;
using sim::HalOperation;
using sim::MachineScenario;
using sim::SimulatedMachine;
using sim::SimulatedProcessConfig;
using testing::CapturedOutput;
using testing::Frame;
using testing::MainLoopThread;
using namespace std::chrono_literals;

SimulatedProcessConfig process(std::int32_t pid, std::string name, bool running = false) {
  SimulatedProcessConfig config;
  config.pid = pid;
  config.name = std::move(name);
  config.bundleID = "org.example." + *config.name;
  config.running = running;
  return config;
}

MachineScenario machineWith(std::vector<SimulatedProcessConfig> processes) {
  auto scenario = MachineScenario::defaultMachine();
  scenario.processes = std::move(processes);
  return scenario;
}

CATapDescription foreignTap(const std::string& name) {
  CATapDescription description;
  description.name = name;
  description.isMixdown = true;
  return description;
}

// The HAL's own tap list, read past the manager.
std::vector<AudioObjectID> halTapList() {
  std::vector<AudioObjectID> ids;
  Platform::shared().hal().getProperty(coreaudio::kAudioObjectSystemObject,
                                       globalAddress(coreaudio::kAudioHardwarePropertyTapList),
                                       ids);
  return ids;
}

std::vector<std::string> namesOf(const std::vector<AudioTapInfo>& taps) {
  std::vector<std::string> names;
  for (const auto& tap : taps) names.push_back(tap.config.name);
  return names;
}

// Frames up to the next "audioTapList", which the test sends as a marker:
// whatever an operation did not send before it, it did not send at all.
std::vector<Frame> framesUntilMarker(AudioTapManager& manager, const CapturedOutput& captured) {
  manager.emitTapList();
  auto marker = captured.frames().waitForEvent("audioTapList");
  EXPECT_TRUE(marker);
  return captured.frames().frames();
}

std::size_t countOf(const std::vector<Frame>& frames, const std::string& event) {
  std::size_t n = 0;
  for (const auto& f : frames) n += f.isEvent(event);
  return n;
}

TEST(AudioTapManagerTest, AMachineWithoutTaps) {
  SimulatedMachine::install(machineWith({process(10, "Music", true)}));
  CapturedOutput captured;
  auto processes = AudioProcessManager::create();
  auto manager = AudioTapManager::create();
  EXPECT_TRUE(captured.waitForLog("Loaded 0 audio taps"));
  EXPECT_TRUE(manager->updateAllTapsWithCurrentProcesses(*processes));
  EXPECT_TRUE(captured.waitForLog("No taps to update"));
  manager->emitTapList();
  auto list = captured.frames().waitForEvent("audioTapList");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body["data"], json({{"taps", json::array()}, {"count", 0}}));
}

TEST(AudioTapManagerTest, TheListIsReadFromTheHalAndSortedByName) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  CATapDescription stereo = foreignTap("zoom tap");
  stereo.isMono = false;
  const AudioObjectID zoom = machine.hardware().createForeignTap(stereo);
  CATapDescription mono = foreignTap("Zed");
  mono.isMono = true;
  mono.uuid = "ZED-UID";
  const AudioObjectID zed = machine.hardware().createForeignTap(mono);
  machine.hardware().createForeignTap(foreignTap("Alpha"));

  auto manager = AudioTapManager::create();
  const auto taps = manager->getAllTaps();
  EXPECT_EQ(namesOf(taps), (std::vector<std::string>{"Alpha", "Zed", "zoom tap"}));
  ASSERT_TRUE(manager->getTap(zed));
  EXPECT_EQ(manager->getTap(zed)->uid, "ZED-UID");
  EXPECT_EQ(manager->getTap(zed)->format, "1 channels at 48000Hz");
  EXPECT_EQ(manager->getTap(zoom)->format, "2 channels at 48000Hz");
  EXPECT_EQ(manager->getTap(zoom)->config.mixdown, TapMixdown::stereo);
  EXPECT_EQ(manager->getTapByUID("ZED-UID")->id, zed);
  EXPECT_FALSE(manager->getTapByUID("zed-uid"));
  EXPECT_FALSE(manager->getTap(999999));
}

TEST(AudioTapManagerTest, FailedTapReadsLeaveDefaults) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  const AudioObjectID id = machine.hardware().createForeignTap(foreignTap("Broken"));
  machine.hardware().injectFailure(
      FailureRule::when(HalOperation::kGetPropertyData, std::nullopt, id));
  auto& hal = Platform::shared().hal();
  EXPECT_EQ(AudioTapManager::getTapUID(id, hal), "");
  EXPECT_EQ(AudioTapManager::getTapFormat(id, hal), "0 channels at 0Hz");
  EXPECT_EQ(AudioTapManager::getTapConfig(id, hal), TapConfig::fromDescription(CATapDescription{}));
}

TEST(AudioTapManagerTest, AListReadThatFailsListsNoTapWithIDZero) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  machine.hardware().createForeignTap(foreignTap("One"));
  machine.hardware().createForeignTap(foreignTap("Two"));
  // The size says two taps; the read of the IDs themselves fails once.
  machine.hardware().injectFailure(FailureRule::when(
      HalOperation::kGetPropertyData, coreaudio::kAudioHardwarePropertyTapList,
      coreaudio::kAudioObjectSystemObject, coreaudio::kAudioHardwareUnspecifiedError, 1));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  EXPECT_TRUE(captured.waitForLog("Loaded 0 audio taps"));
  EXPECT_TRUE(manager->getAllTaps().empty());
  EXPECT_FALSE(manager->getTap(0));
  EXPECT_FALSE(manager->destroyTap(0));
  manager->loadTapList();
  EXPECT_EQ(namesOf(manager->getAllTaps()), (std::vector<std::string>{"One", "Two"}));
}

TEST(AudioTapManagerTest, CreationSendsTheNewTapAndAFailedOneSendsNothing) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  TapConfig config;
  config.name = "Meeting";
  config.mixdown = TapMixdown::stereo;
  const AudioObjectID id = manager->createTap(config);
  ASSERT_NE(id, 0u);
  auto created = captured.frames().waitForEvent("audioTapCreated");
  ASSERT_TRUE(created);
  EXPECT_EQ(created->body["data"]["id"], id);
  EXPECT_EQ(created->body["data"]["name"], "Meeting");
  EXPECT_EQ(created->body["data"]["format"], "2 channels at 48000Hz");
  EXPECT_EQ(created->body["data"]["uid"], manager->getTap(id)->uid);

  // The HAL answers "no error" but hands out no tap.
  machine.hardware().injectFailure(FailureRule::when(HalOperation::kCreateProcessTap, std::nullopt,
                                                     std::nullopt,
                                                     coreaudio::kAudioHardwareNoError));
  EXPECT_EQ(manager->createTap(config), 0u);
  const auto frames = framesUntilMarker(*manager, captured);
  EXPECT_EQ(countOf(frames, "audioTapCreated"), 1u);
  EXPECT_EQ(manager->getAllTaps().size(), 1u);
}

TEST(AudioTapManagerTest, DestroyingATapNotInTheLoadedListCallsNothing) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  // Made after the last reload, and no listener runs to reload.
  const AudioObjectID unseen = machine.hardware().createForeignTap(foreignTap("Unseen"));
  EXPECT_FALSE(manager->destroyTap(unseen));
  EXPECT_EQ(halTapList(), std::vector<AudioObjectID>{unseen});
  EXPECT_EQ(countOf(framesUntilMarker(*manager, captured), "audioTapDestroyed"), 0u);

  manager->loadTapList();
  EXPECT_TRUE(manager->destroyTap(unseen));
  EXPECT_TRUE(halTapList().empty());
  EXPECT_TRUE(manager->getAllTaps().empty());
  auto destroyed = captured.frames().waitForEvent("audioTapDestroyed");
  ASSERT_TRUE(destroyed);
  EXPECT_EQ(destroyed->body["data"], json({{"id", unseen}}));
  EXPECT_FALSE(manager->destroyTap(unseen));  // gone from the list now
}

TEST(AudioTapManagerTest, UpdateOfAKnownTapSucceedsEvenWhenTheHalRejectsIt) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  TapConfig config;
  config.name = "Before";
  const AudioObjectID id = manager->createTap(config);
  ASSERT_NE(id, 0u);

  TapConfig renamed = config;
  renamed.name = "After";
  renamed.mixdown = TapMixdown::stereo;
  machine.hardware().injectFailure(FailureRule::when(HalOperation::kSetPropertyData,
                                                     coreaudio::kAudioTapPropertyDescription, id));
  EXPECT_TRUE(manager->updateTap(id, renamed));
  auto updated = captured.frames().waitForEvent("audioTapUpdated");
  ASSERT_TRUE(updated);
  // What the HAL holds, not what was asked for.
  EXPECT_EQ(updated->body["data"]["name"], "Before");
  EXPECT_EQ(updated->body["data"]["mixdown"], 0);
  EXPECT_EQ(updated->body["data"]["format"], "1 channels at 48000Hz");

  machine.hardware().clearFailures();
  EXPECT_TRUE(manager->updateTap(id, renamed));
  auto second = captured.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioTapUpdated"); }, 2);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[1].body["data"]["name"], "After");
  // The format follows the new mixdown.
  EXPECT_EQ(second[1].body["data"]["format"], "2 channels at 48000Hz");
  EXPECT_FALSE(manager->updateTap(424242, renamed));
}

TEST(AudioTapManagerTest, RepointingKeepsEverySettingButTheProcessSet) {
  auto& machine =
      SimulatedMachine::install(machineWith({process(20, "Music", true), process(21, "Safari")}));
  CapturedOutput captured;
  auto processes = AudioProcessManager::create();
  auto manager = AudioTapManager::create();
  TapConfig config;
  config.name = "Custom";
  config.processes = {7};
  config.isPrivate = true;
  config.mute = TapMute::muted;
  config.mixdown = TapMixdown::deviceFormat;
  config.exclusive = true;
  config.device = "BuiltInSpeakerDevice";
  config.streamIndex = 0;
  const AudioObjectID id = manager->createTap(config);
  ASSERT_NE(id, 0u);

  const AudioObjectID newcomer = machine.hardware().addProcess(process(22, "Notes"));
  EXPECT_TRUE(manager->updateTapWithCurrentProcesses(id, *processes));
  // An exclusive tap keeps its exclusion list, less what is gone (7 never was).
  (void)newcomer;
  TapConfig expected = config;
  expected.processes = {};
  EXPECT_EQ(manager->getTap(id)->config, expected);
  EXPECT_TRUE(
      captured.waitForLog("Updating tap " + std::to_string(id) + " with current audio processes"));
  EXPECT_TRUE(captured.waitForLog("Updating tap with its exclusion list of 0 processes"));
  EXPECT_TRUE(captured.waitForLog("Successfully updated tap " + std::to_string(id) +
                                  " keeping its choice of processes"));

  EXPECT_FALSE(manager->updateTapWithCurrentProcesses(31337, *processes));
  EXPECT_TRUE(captured.waitForLog("Cannot update tap 31337: Tap not found"));
}

TEST(AudioTapManagerTest, TheTwoReadyMadeTaps) {
  auto& machine = SimulatedMachine::install(machineWith({process(30, "Music", true)}));
  CapturedOutput captured;
  auto processes = AudioProcessManager::create();
  auto manager = AudioTapManager::create();
  const AudioObjectID music = machine.hardware().processObjectID(30);
  const AudioObjectID late = machine.hardware().addProcess(process(31, "Late"));

  // The system-level tap takes the registry as it stands (without "Late").
  const AudioObjectID system = manager->createSystemLevelTap(*processes);
  ASSERT_NE(system, 0u);
  EXPECT_EQ(manager->getTap(system)->config.name, "System Audio Interceptor");
  EXPECT_EQ(manager->getTap(system)->config.processes, std::set<AudioObjectID>{music});

  // The all-process tap reloads the registry first.
  const AudioObjectID all = manager->createTapWithAllProcesses(*processes);
  ASSERT_NE(all, 0u);
  TapConfig expected;
  expected.name = "Tap with all processes";
  expected.processes = {music, late};
  EXPECT_EQ(manager->getTap(all)->config, expected);
  EXPECT_TRUE(captured.waitForLog("Creating tap with 2 audio processes"));
}

TEST(AudioTapManagerTest, UpdatingAllTapsRepointsEachTapOnce) {
  auto& machine = SimulatedMachine::install(machineWith({process(40, "Music", true)}));
  CapturedOutput captured;
  auto processes = AudioProcessManager::create();
  auto manager = AudioTapManager::create();
  TapConfig a, b;
  a.name = "A";
  b.name = "B";
  const AudioObjectID first = manager->createTap(a, AudioTapManager::TapIntent::everyProcess);
  const AudioObjectID second = manager->createTap(b, AudioTapManager::TapIntent::everyProcess);
  ASSERT_TRUE(first && second);
  // One more tap that the manager has not loaded yet: the bulk update
  // reloads the list first, and leaves it alone (another program made it).
  const AudioObjectID third = machine.hardware().createForeignTap(foreignTap("C"));
  EXPECT_TRUE(manager->updateAllTapsWithCurrentProcesses(*processes));
  const std::set<AudioObjectID> music{machine.hardware().processObjectID(40)};
  for (AudioObjectID id : {first, second}) {
    ASSERT_TRUE(manager->getTap(id)) << id;
    EXPECT_EQ(manager->getTap(id)->config.processes, music) << id;
  }
  ASSERT_TRUE(manager->getTap(third));
  EXPECT_NE(manager->getTap(third)->config.processes, music);
  EXPECT_EQ(manager->getTap(second)->config.name, "B");
  const auto frames = framesUntilMarker(*manager, captured);
  EXPECT_EQ(countOf(frames, "audioTapUpdated"), 2u);
  EXPECT_TRUE(captured.waitForLog("Updating all taps with current audio processes"));
}

TEST(AudioTapManagerTest, TapsOfAnotherProgramAreReportedByTheListener) {
  auto scenario = sim::ScenarioLoader::fromJson(
      json{{"processes", json::array()},
           {"timeline",
            {{{"at", 1}, {"event", "createTap"}, {"name", "Recorder"}, {"uid", "REC-1"}},
             {{"at", 2}, {"event", "destroyTap"}, {"uid", "REC-1"}}}}},
      "test scenario");
  auto& machine = SimulatedMachine::install(scenario);
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  manager->startListening();
  manager->startListening();
  EXPECT_TRUE(captured.waitForLog("Started listening for tap changes"));

  machine.timeline().advanceTo(1);
  auto frames = captured.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioTapList") || f.isEvent("audioTapAdded"); }, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].isEvent("audioTapList"));
  EXPECT_EQ(frames[0].body["data"]["count"], 1);
  EXPECT_TRUE(frames[1].isEvent("audioTapAdded"));
  EXPECT_EQ(frames[1].body["data"]["uid"], "REC-1");
  EXPECT_EQ(frames[1].body["data"]["name"], "Recorder");
  const AudioObjectID id = frames[1].body["data"]["id"];
  EXPECT_TRUE(captured.waitForLog("Tap list changed: +1 -0"));

  machine.timeline().advanceTo(2);
  auto removed = captured.frames().waitForEvent("audioTapRemoved");
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->body["data"], json({{"id", id}}));
  EXPECT_TRUE(captured.waitForLog("Tap list changed: +0 -1"));
  EXPECT_TRUE(manager->getAllTaps().empty());

  manager->stopListening();
  EXPECT_TRUE(captured.waitForLog("Stopped listening for tap changes"));
}

TEST(AudioTapManagerTest, OwnTapsAreCreatedAndDestroyedNeverAddedOrRemoved) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  manager->startListening();
  for (int i = 0; i < 20; ++i) {
    TapConfig config;
    config.name = "Own " + std::to_string(i);
    const AudioObjectID id = manager->createTap(config);
    ASSERT_NE(id, 0u);
    if (i % 2 == 0) {
      EXPECT_TRUE(manager->destroyTap(id));
    }
  }
  // Another program's tap, made last, is still reported.
  machine.hardware().createForeignTap(foreignTap("Foreign"));
  auto added = captured.frames().waitForEvent("audioTapAdded");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "Foreign");
  // Let every reaction still queued run, then look.
  std::this_thread::sleep_for(200ms);
  const auto frames = framesUntilMarker(*manager, captured);
  EXPECT_EQ(countOf(frames, "audioTapAdded"), 1u);
  EXPECT_EQ(countOf(frames, "audioTapRemoved"), 0u);
  EXPECT_EQ(countOf(frames, "audioTapCreated"), 20u);
  EXPECT_EQ(countOf(frames, "audioTapDestroyed"), 10u);
}

}  // namespace
}  // namespace velmar
