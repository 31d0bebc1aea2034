// Tap commands, forced and automatic updates and the tap-list listener, all
// at once: every command answered once, the guard holding (run under tsan).
#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "commands/CommandProcessor.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/MainLoopThread.h"

namespace velmar {
namespace {

using audiohal::CATapDescription;
using nlohmann::json;
using platform::Platform;
using testing::CapturedOutput;
using testing::Frame;
using testing::MainLoopThread;
using namespace std::chrono_literals;

bool isAnswer(const Frame& f) {
  return f.kind == "RESPONSE" && !f.body.contains("isAcknowledgment");
}

TEST(TapCommandsConcurrencyTest, CommandsUpdatesAndListenerReactionsAtOnce) {
  auto& simulator = sim::SimulatedMachine::install().hardware();
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto processor = CommandProcessor::create();
  // The monitor reports below are the only ones: a real tick on a slow run
  // would add an auto-update the count does not expect.
  processor->audioProcessManager().stopProcessMonitoring();

  constexpr int kCommands = 60;
  constexpr int kAutoUpdates = 12;
  std::thread host([&] {
    const char* actions[] = {"createAudioTap",  "updateAudioTap",
                             "destroyAudioTap", "listAudioTaps",
                             "forceUpdateTaps", "createSystemLevelTap",
                             "cleanupAllTaps",  "createAudioTapWithAllProcesses"};
    for (int i = 0; i < kCommands; ++i) {
      json command = {{"id", "t" + std::to_string(i)}, {"action", actions[i % 8]}};
      // Object IDs are handed out in sequence: these hit real taps often.
      command["tapID"] = 40 + (i * 7) % 120;
      command["config"] = {{"name", "Own " + std::to_string(i)}, {"mixdown", i % 3}};
      processor->processCommand(command.dump());
    }
  });
  std::thread otherProgram([&] {
    std::vector<AudioObjectID> made;
    for (int i = 0; i < 30; ++i) {
      CATapDescription description;
      description.name = "Foreign " + std::to_string(i);
      made.push_back(simulator.createForeignTap(description));
      if (i % 3 == 2) Platform::shared().hal().destroyProcessTap(made[made.size() - 2]);
      if (i % 10 == 0) {
        sim::SimulatedProcessConfig process;
        process.pid = 5000 + i;
        process.name = "Churn " + std::to_string(i);
        simulator.addProcess(process);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  std::thread monitor([&] {
    for (int i = 0; i < kAutoUpdates; ++i) {
      AudioProcessChanges changes;
      changes.removedProcesses = {static_cast<AudioObjectID>(i)};
      processor->processMonitorDidDetectChanges(changes);
      std::this_thread::sleep_for(2ms);
    }
  });
  host.join();
  otherProgram.join();
  monitor.join();

  // Every command answered exactly once.
  const auto answers = captured.frames().waitForFrames(isAnswer, kCommands, 120s);
  ASSERT_EQ(answers.size(), static_cast<std::size_t>(kCommands));
  std::set<std::string> ids;
  for (const auto& f : answers) ids.insert(f.body["id"].get<std::string>());
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCommands));
  // Every auto-update finished, each with its own line.
  ASSERT_TRUE(captured.err().waitFor(
      [&](const std::vector<std::string>& lines) {
        // Processes the host adds re-point the taps too, each once.
        int done = 0, requested = kAutoUpdates;
        for (const auto& line : lines) {
          done += line.rfind("Auto-update of taps completed", 0) == 0;
          requested += line.find(", re-pointing taps") != std::string::npos;
        }
        return done == requested;
      },
      120s));

  // Our own taps are never reported as another program's. (Names say
  // nothing here: an update may rename another program's tap.)
  std::set<std::string> ownUIDs;
  const auto frames = captured.frames().frames();
  for (const auto& f : frames) {
    if (f.isEvent("audioTapCreated")) ownUIDs.insert(f.body["data"]["uid"].get<std::string>());
  }
  EXPECT_FALSE(ownUIDs.empty());
  for (const auto& f : frames) {
    if (f.isEvent("audioTapAdded")) {
      EXPECT_EQ(ownUIDs.count(f.body["data"]["uid"].get<std::string>()), 0u) << f.body;
    }
  }
  // After the dust settles the manager's list is the HAL's.
  auto& manager = processor->audioTapManager();
  manager.loadTapList();
  std::set<AudioObjectID> listed;
  for (const auto& tap : manager.getAllTaps()) listed.insert(tap.id);
  std::vector<AudioObjectID> hal;
  Platform::shared().hal().getProperty(
      audiohal::kAudioObjectSystemObject,
      audiohal::globalAddress(audiohal::kAudioHardwarePropertyTapList), hal);
  EXPECT_EQ(listed, std::set<AudioObjectID>(hal.begin(), hal.end()));
}

}  // namespace
}  // namespace velmar
