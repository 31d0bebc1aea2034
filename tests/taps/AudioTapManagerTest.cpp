#include "taps/AudioTapManager.h"

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/MainLoopThread.h"
#include "support/OutputMarker.h"
#include "support/SimulatedProcesses.h"
#include "support/UnitHelpers.h"
#include "taps/AudioProcessManager.h"

namespace velmar {

// Readable failure messages: the coded form instead of raw bytes.
static void PrintTo(const TapConfig& config, std::ostream* out) { *out << config.encode().dump(); }

namespace {

using audiohal::CATapDescription;
using audiohal::globalAddress;
using nlohmann::json;
using platform::Platform;
using sim::FailureRule;
using sim::HalOperation;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::eventsSoFar;
using testing::Frame;
using testing::machineWith;
using testing::MainLoopThread;
using testing::simulatedProcess;

CATapDescription foreignTap(const std::string& name) {
  CATapDescription description;
  description.name = name;
  description.isMixdown = true;
  return description;
}

// The HAL's own tap list, read past the manager.
std::vector<AudioObjectID> halTapList() {
  std::vector<AudioObjectID> ids;
  Platform::shared().hal().getProperty(audiohal::kAudioObjectSystemObject,
                                       globalAddress(audiohal::kAudioHardwarePropertyTapList), ids);
  return ids;
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
      HalOperation::kGetPropertyData, audiohal::kAudioHardwarePropertyTapList,
      audiohal::kAudioObjectSystemObject, audiohal::kAudioHardwareUnspecifiedError, 1));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  EXPECT_TRUE(captured.waitForLog("Loaded 0 audio taps"));
  EXPECT_TRUE(manager->getAllTaps().empty());
  EXPECT_FALSE(manager->getTap(0));
  EXPECT_FALSE(manager->destroyTap(0));
  manager->loadTapList();
  const auto taps = manager->getAllTaps();
  ASSERT_EQ(taps.size(), 2u);
  EXPECT_EQ(taps[0].config.name, "One");
  EXPECT_EQ(taps[1].config.name, "Two");
}

TEST(AudioTapManagerTest, DestroyingATapNotInTheLoadedListCallsNothing) {
  auto& machine = SimulatedMachine::install(machineWith({}));
  CapturedOutput captured;
  auto manager = AudioTapManager::create();
  // Made after the last reload, and no listener runs to reload.
  const AudioObjectID unseen = machine.hardware().createForeignTap(foreignTap("Unseen"));
  EXPECT_FALSE(manager->destroyTap(unseen));
  EXPECT_EQ(halTapList(), std::vector<AudioObjectID>{unseen});
  EXPECT_EQ(eventsSoFar(captured, "audioTapDestroyed").size(), 0u);

  manager->loadTapList();
  EXPECT_TRUE(manager->destroyTap(unseen));
  EXPECT_TRUE(halTapList().empty());
  EXPECT_TRUE(manager->getAllTaps().empty());
  auto destroyed = captured.frames().waitForEvent("audioTapDestroyed");
  ASSERT_TRUE(destroyed);
  EXPECT_EQ(destroyed->body["data"], json({{"id", unseen}}));
  EXPECT_FALSE(manager->destroyTap(unseen));  // gone from the list now
}

TEST(AudioTapManagerTest, TheTwoReadyMadeTaps) {
  auto& machine = SimulatedMachine::install(
      machineWith({simulatedProcess(30, "Music", "org.example.Music", true)}));
  CapturedOutput captured;
  auto processes = AudioProcessManager::create();
  auto manager = AudioTapManager::create();
  const AudioObjectID music = machine.hardware().processObjectID(30);
  const AudioObjectID late =
      machine.hardware().addProcess(simulatedProcess(31, "Late", "org.example.Late"));

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
  auto& machine = SimulatedMachine::install(
      machineWith({simulatedProcess(40, "Music", "org.example.Music", true)}));
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
  EXPECT_EQ(eventsSoFar(captured, "audioTapUpdated").size(), 2u);
  EXPECT_TRUE(captured.waitForLog("Updating all taps with current audio processes"));
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
  // Every reaction queued before it (and any it queued again) runs before
  // this marker: then look.
  ASSERT_NE(testing::drainMainQueue(), std::thread::id());
  EXPECT_EQ(eventsSoFar(captured, "audioTapAdded").size(), 1u);
  EXPECT_EQ(eventsSoFar(captured, "audioTapRemoved").size(), 0u);
  EXPECT_EQ(eventsSoFar(captured, "audioTapCreated").size(), 20u);
  EXPECT_EQ(eventsSoFar(captured, "audioTapDestroyed").size(), 10u);
}

}  // namespace
}  // namespace velmar
