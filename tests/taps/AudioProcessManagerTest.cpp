#include "taps/AudioProcessManager.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/MainLoopThread.h"
#include "support/OutputMarker.h"
#include "support/SimulatedProcesses.h"

namespace velmar {
namespace {

using nlohmann::json;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::eventsSoFar;
using testing::Frame;
using testing::machineWith;
using testing::MainLoopThread;
using testing::simulatedProcess;
using namespace std::chrono_literals;

std::vector<std::string> names(const std::vector<AudioProcessInfo>& processes) {
  std::vector<std::string> out;
  for (const auto& p : processes) out.push_back(p.name);
  return out;
}

class RecordingDelegate : public AudioProcessMonitorDelegate {
 public:
  void processMonitorDidDetectChanges(const AudioProcessChanges& changes) override {
    std::lock_guard lock(mutex);
    reports.push_back(changes);
  }
  std::mutex mutex;
  std::vector<AudioProcessChanges> reports;
};

TEST(AudioProcessManagerTest, RecordsAreReadFromTheHalAndSortedByName) {
  auto& machine = SimulatedMachine::install(
      machineWith({simulatedProcess(10, "zoom.us", "us.zoom.xos", true),
                   simulatedProcess(11, "Music", "com.apple.Music"),
                   simulatedProcess(12, "Zed", ""), simulatedProcess(13, "Äpfel", "x")}));
  auto manager = AudioProcessManager::create();
  const auto all = manager->getAllProcesses();
  // Plain code-point order: capitals first, then lower case, then non-ASCII.
  EXPECT_EQ(names(all), (std::vector<std::string>{"Music", "Zed", "zoom.us", "Äpfel"}));
  EXPECT_EQ(all[2].toDictionary(), json({{"id", machine.hardware().processObjectID(10)},
                                         {"pid", 10},
                                         {"name", "zoom.us"},
                                         {"bundleID", "us.zoom.xos"},
                                         {"isRunning", true}}));
  EXPECT_EQ(names(manager->getRunningProcesses()), std::vector<std::string>{"zoom.us"});
  EXPECT_EQ(manager->getProcess(all[2].id)->name, "zoom.us");
  EXPECT_FALSE(manager->getProcess(999999));
}

// Names fall back to the kernel's, then to "Unknown Process".
TEST(AudioProcessManagerTest, FailedReadsGiveDefaults) {
  auto daemon = simulatedProcess(20, std::nullopt, "com.apple.daemon");
  daemon.commandName = "coreaudiod";
  auto unnamed =
      simulatedProcess(21, std::string(""), "org.example.blank");  // empty workspace name
  unnamed.commandName = "blankhelper";
  auto& machine =
      SimulatedMachine::install(
          machineWith({daemon, unnamed, simulatedProcess(30, "Music", "com.apple.Music", true)}))
          .hardware();
  EXPECT_EQ(AudioProcessManager::getProcessName(0, 20), "coreaudiod");
  EXPECT_EQ(AudioProcessManager::getProcessName(0, 21), "blankhelper");
  // A PID no one knows: neither the workspace nor the kernel has it.
  EXPECT_EQ(AudioProcessManager::getProcessName(0, 2147483600), "Unknown Process");
  const AudioObjectID id = machine.processObjectID(30);
  const AudioObjectID nothing = 987654;
  EXPECT_EQ(AudioProcessManager::getProcessPID(nothing), 0);
  EXPECT_EQ(AudioProcessManager::getProcessBundleID(nothing), "");
  EXPECT_FALSE(AudioProcessManager::isProcessRunning(nothing));
  EXPECT_EQ(AudioProcessManager::getProcessPID(id), 30);
  EXPECT_TRUE(AudioProcessManager::isProcessRunning(id));
}

TEST(AudioProcessManagerTest, MonitorTickReportsOnlySignificantChanges) {
  auto& machine = SimulatedMachine::install(machineWith({simulatedProcess(40, "Music", "m", true),
                                                         simulatedProcess(41, "Safari", "s")}))
                      .hardware();
  CapturedOutput captured;
  auto manager = AudioProcessManager::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  manager->setDelegate(delegate);

  manager->checkForProcessChanges();  // nothing changed since construction
  EXPECT_TRUE(delegate->reports.empty());

  const AudioObjectID safari = machine.processObjectID(41);
  machine.removeProcess(41);
  manager->checkForProcessChanges();
  ASSERT_EQ(delegate->reports.size(), 1u);
  EXPECT_TRUE(delegate->reports[0].addedProcesses.empty());
  EXPECT_EQ(delegate->reports[0].removedProcesses, std::vector<AudioObjectID>{safari});
  auto changes = captured.frames().waitForEvent("audioProcessChanges");
  ASSERT_TRUE(changes);
  const json& data = changes->body["data"];
  EXPECT_EQ(data["addedProcesses"], json::array());
  EXPECT_EQ(data["removedProcessIDs"], json::array({safari}));
  EXPECT_EQ(data["totalCount"], 1);
  EXPECT_EQ(data["runningCount"], 1);
  // Whole seconds, unlike the frame's milliseconds.
  EXPECT_LT(std::abs(data["timestamp"].get<std::int64_t>() * 1000 -
                     changes->body["timestamp"].get<std::int64_t>()),
            2000);

  machine.addProcess(simulatedProcess(42, "Podcasts", "p", true));
  manager->checkForProcessChanges();
  ASSERT_EQ(delegate->reports.size(), 2u);
  ASSERT_EQ(delegate->reports[1].addedProcesses.size(), 1u);
  EXPECT_EQ(delegate->reports[1].addedProcesses[0].name, "Podcasts");
  EXPECT_TRUE(captured.waitForLog("Process changes detected: +1 -0"));
  EXPECT_TRUE(captured.waitForLog("New audio process: Podcasts (ID: "));

  manager->checkForProcessChanges();  // the baseline moved on: nothing new
  EXPECT_EQ(delegate->reports.size(), 2u);
}

TEST(AudioProcessManagerTest, ListenerReportsAdditionsAndRemovalsOnTheMainQueue) {
  auto& machine =
      SimulatedMachine::install(machineWith({simulatedProcess(60, "Music", "m")})).hardware();
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto manager = AudioProcessManager::create();
  manager->startListening();
  manager->startListening();  // a second call registers nothing
  EXPECT_TRUE(captured.waitForLog("Started listening for process changes"));

  const AudioObjectID added = machine.addProcess(simulatedProcess(61, "Notes", "n"));
  auto frames = captured.frames().waitForFrames(
      [](const Frame& f) {
        return f.isEvent("audioProcessList") || f.isEvent("audioProcessAdded");
      },
      2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].isEvent("audioProcessList"));
  EXPECT_EQ(frames[1].body["data"]["id"], added);
  EXPECT_EQ(frames[1].body["data"]["name"], "Notes");

  machine.removeProcess(60);
  auto removed = captured.frames().waitForEvent("audioProcessRemoved");
  ASSERT_TRUE(removed);
  EXPECT_TRUE(captured.waitForLog("Process list changed: +0 -1"));

  manager->stopListening();
  manager->stopListening();
  machine.addProcess(simulatedProcess(62, "Late", "l"));
  std::this_thread::sleep_for(200ms);
  const auto lines = captured.err().lines();
  for (const char* line :
       {"Started listening for process changes", "Stopped listening for process changes"}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
  }
  EXPECT_EQ(eventsSoFar(captured, "audioProcessAdded").size(), 1u);
}

TEST(AudioProcessManagerTest, EachWatcherReportsAChangeThatAnotherReloadAlreadyTookIn) {
  auto& machine =
      SimulatedMachine::install(machineWith({simulatedProcess(80, "Music", "m", false)}))
          .hardware();
  CapturedOutput captured;
  auto manager = AudioProcessManager::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  manager->setDelegate(delegate);

  // A command reloads between the HAL's change and each watcher's turn.
  const AudioObjectID notes = machine.addProcess(simulatedProcess(81, "Notes", "n"));
  machine.setProcessRunning(80, true);
  manager->loadProcessList();

  manager->processListChanged();
  auto added = captured.frames().waitForEvent("audioProcessAdded");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["id"], notes);

  manager->checkRunningStatus();
  auto running = captured.frames().waitForEvent("runningAudioProcesses");
  ASSERT_TRUE(running);
  EXPECT_EQ(running->body["data"]["count"], 1);
  EXPECT_TRUE(captured.waitForLog("Process running status changed: Music is now running"));

  manager->checkForProcessChanges();
  ASSERT_EQ(delegate->reports.size(), 1u);
  ASSERT_EQ(delegate->reports[0].addedProcesses.size(), 1u);
  EXPECT_EQ(delegate->reports[0].addedProcesses[0].id, notes);

  // Removals too; and a change is reported once, not again.
  machine.removeProcess(81);
  manager->loadProcessList();
  manager->processListChanged();
  manager->processListChanged();
  manager->checkRunningStatus();
  auto frames = captured.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioProcessRemoved"); }, 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].body["data"]["id"], notes);
  std::this_thread::sleep_for(100ms);
  for (const char* event : {"audioProcessAdded", "audioProcessRemoved", "runningAudioProcesses"}) {
    EXPECT_EQ(eventsSoFar(captured, event).size(), 1u) << event;
  }
}

// The process objects a stream of add/remove reports leaves, replayed from
// `start`; a report that adds a present object or removes an absent one is
// an inconsistency (a lost or doubled event).
struct Replay {
  std::set<AudioObjectID> ids;
  std::vector<std::string> problems;
  void add(AudioObjectID id) {
    if (!ids.insert(id).second) problems.push_back("added twice: " + std::to_string(id));
  }
  void remove(AudioObjectID id) {
    if (ids.erase(id) == 0) problems.push_back("removed while absent: " + std::to_string(id));
  }
};

std::set<AudioObjectID> halProcessIDs(sim::SimulatedAudioHardware& machine) {
  std::set<AudioObjectID> ids;
  for (const auto& p : machine.processes()) ids.insert(machine.processObjectID(p.pid));
  return ids;
}

TEST(AudioProcessManagerTest, ConcurrentReloadsLoseNoChangeOfAnyWatcher) {
  auto& machine = SimulatedMachine::install(machineWith({simulatedProcess(70, "Music", "m", true),
                                                         simulatedProcess(71, "Safari", "s")}))
                      .hardware();
  const auto initial = halProcessIDs(machine);
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto manager = AudioProcessManager::create();
  manager->startListening();

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      machine.setProcessRunning(70, i % 2 == 0);
      if (i % 5 == 0) machine.addProcess(simulatedProcess(1000 + i, "P" + std::to_string(i), "b"));
      if (i % 5 == 3) machine.removeProcess(1000 + i - 3);
      std::this_thread::sleep_for(1ms);
    }
  });
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        if (t == 0) manager->loadProcessList();
        if (t == 1) manager->checkRunningStatus();
        if (t == 2) manager->checkForProcessChanges();
        auto all = manager->getAllProcesses();
        for (std::size_t i = 1; i < all.size(); ++i) ASSERT_LE(all[i - 1].name, all[i].name);
        manager->getProcessesByName("p");
        manager->setMonitoringInterval(1.0 + t);
      }
    });
  }
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& t : threads) t.join();
  const auto final = halProcessIDs(machine);
  manager->checkForProcessChanges();

  // Replaying the listener's additions and removals, and the monitor's
  // reports, from the first list arrives at the HAL's list.
  std::size_t seen = 0;
  Replay listener{initial, {}}, monitor{initial, {}};
  const bool converged = captured.out().waitFor(
      [&](const std::vector<std::string>& lines) {
        for (; seen < lines.size(); ++seen) {
          auto frame = testing::parseFrame(lines[seen]);
          if (!frame) continue;
          const json& data = frame->body["data"];
          if (frame->isEvent("audioProcessAdded")) listener.add(data["id"]);
          if (frame->isEvent("audioProcessRemoved")) listener.remove(data["id"]);
          if (frame->isEvent("audioProcessChanges")) {
            for (const auto& p : data["addedProcesses"]) monitor.add(p["id"]);
            for (const auto& id : data["removedProcessIDs"]) monitor.remove(id);
          }
        }
        return listener.ids == final && monitor.ids == final;
      },
      10s);
  EXPECT_TRUE(converged);
  EXPECT_EQ(listener.ids, final);
  EXPECT_EQ(monitor.ids, final);
  EXPECT_EQ(listener.problems, std::vector<std::string>{});
  EXPECT_EQ(monitor.problems, std::vector<std::string>{});
  manager->stopListening();
}

TEST(AudioProcessManagerTest, MonitoringStatusIsWhatRunsAfterConcurrentCommands) {
  auto& machine =
      SimulatedMachine::install(machineWith({simulatedProcess(90, "Music", "m")})).hardware();
  MainLoopThread mainLoop;
  CapturedOutput captured;
  auto manager = AudioProcessManager::create();
  for (int round = 0; round < 2; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          switch ((t + i) % 4) {
            case 0:
              manager->enableProcessMonitoring(1.0 + 0.1 * t);
              break;
            case 1:
              manager->setMonitoringInterval(1.0 + 0.01 * i);
              break;
            case 2:
              manager->stopProcessMonitoring();
              break;
            default:
              manager->startProcessMonitoring();
          }
        }
      });
    }
    for (auto& t : threads) t.join();
    // The last word goes to one side, whichever the round asks for.
    if (round == 0) manager->enableProcessMonitoring(std::nullopt);
    if (round == 1) manager->stopProcessMonitoring();
    const auto status = manager->monitoringStatus();
    EXPECT_EQ(status.enabled, round == 0);
    EXPECT_GE(status.interval, 1.0);

    // A change shows whether the monitor really runs.
    machine.addProcess(simulatedProcess(91 + round, "New" + std::to_string(round), "n"));
    const bool reported =
        captured.frames()
            .waitForFrames([](const Frame& f) { return f.isEvent("audioProcessChanges"); },
                           static_cast<std::size_t>(round + 1),
                           std::chrono::milliseconds(round == 0 ? 10000 : 2500))
            .size() > static_cast<std::size_t>(round);
    EXPECT_EQ(reported, status.enabled) << "round " << round;
  }
}

}  // namespace
}  // namespace velmar
