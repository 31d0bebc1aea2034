// Process registry, monitoring (and the taps it updates) and application
// names through the executable, on scenario machines.
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::answerTo;
using testing::ask;
using testing::CliProcess;
using testing::command;
using testing::Frame;
using testing::indexOf;
using testing::ScenarioFile;
using testing::scenarioProcess;
using namespace std::chrono_literals;

// Safari starts playing at 1.5 s, Meeting appears at 3 s, Podcasts at 7 s;
// the monitor runs every second. The status check reports the start after
// its list, the listener and the monitor Meeting. With tap auto-update off
// Meeting reaches no tap; once it is on, the all-process tap gains Podcasts.
TEST(ProcessCommandsEndToEndTest, ChangesAreReportedAndReachTheAllProcessTapOnlyWithAutoUpdate) {
  ScenarioFile file(json{
      {"processes", {scenarioProcess(700, "Music", true), scenarioProcess(701, "Safari")}},
      {"timeline",
       {{{"at", 1.5}, {"event", "startAudio"}, {"pid", 701}},
        {{"at", 3}, {"event", "addProcess"}, {"process", scenarioProcess(702, "Meeting", true)}},
        {{"at", 7},
         {"event", "addProcess"},
         {"process", scenarioProcess(703, "Podcasts", true)}}}}});
  CliProcess cli(file.options());
  EXPECT_EQ(ask(cli, "off", "disableTapAutoUpdate")["data"],
            json({{"enabled", false}, {"message", "Tap auto-update disabled"}}));
  ask(cli, "i", "setMonitoringInterval", {{"interval", 1}});
  const json tap = ask(cli, "a", "createAudioTapWithAllProcesses")["data"];
  ASSERT_EQ(tap["processes"].size(), 2u);

  auto running = cli.frames().waitForEvent("runningAudioProcesses", 10s);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->body["data"]["count"], 2);
  EXPECT_EQ(running->body["data"]["processes"][1]["name"], "Safari");
  auto added = cli.frames().waitForEvent("audioProcessAdded", 10s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "Meeting");
  EXPECT_EQ(added->body["data"]["pid"], 702);
  auto changes = cli.frames().waitForEvent("audioProcessChanges", 10s);
  ASSERT_TRUE(changes);
  EXPECT_EQ(changes->body["data"]["addedProcesses"][0]["name"], "Meeting");
  ASSERT_TRUE(cli.waitForLog("Process monitor detected changes: +1 -0", 20s));
  const auto frames = cli.frames().frames();
  const auto at =
      indexOf(frames, [](const Frame& f) { return f.isEvent("runningAudioProcesses"); });
  ASSERT_GT(at, 0u);
  EXPECT_TRUE(frames[at - 1].isEvent("audioProcessList"));
  EXPECT_EQ(frames[at - 1].body["data"]["runningCount"], 2);
  EXPECT_EQ(ask(cli, "s", "getProcessMonitoringStatus")["data"]["autoUpdateTaps"], false);
  EXPECT_EQ(ask(cli, "l", "listAudioTaps")["data"]["taps"], json::array({tap}));
  for (const auto& f : cli.frames().frames()) EXPECT_FALSE(f.isEvent("audioTapUpdated"));

  EXPECT_EQ(ask(cli, "on", "enableTapAutoUpdate")["data"],
            json({{"enabled", true}, {"message", "Tap auto-update enabled"}}));
  ASSERT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioTapUpdated") && f.body["data"]["id"] == tap["id"] &&
               f.body["data"]["processes"].size() == 4;
      },
      20s));
  EXPECT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioTapList") && f.body["data"]["count"] == 1 &&
               f.body["data"]["taps"][0]["processes"].size() == 4;
      },
      10s));
  // Lines no other test reads.
  for (const std::string line : {"Auto-updating taps with all current processes",
                                 "Auto-update of taps completed successfully"}) {
    EXPECT_TRUE(cli.waitForLog(line, 10s)) << line;
  }
}

TEST(ProcessCommandsEndToEndTest, ListingInATightLoopHidesNoProcessFromTheListener) {
  // Processes come and go while the host keeps asking for the list: every
  // listing reloads the registry, and the listener must still report each
  // change exactly once.
  constexpr int kChurn = 8;
  json timeline = json::array();
  for (int i = 0; i < kChurn; ++i) {
    const int pid = 600 + i;
    timeline.push_back({{"at", 1.0 + 0.3 * i},
                        {"event", "addProcess"},
                        {"process", scenarioProcess(pid, "Churn" + std::to_string(i))}});
    timeline.push_back({{"at", 1.1 + 0.3 * i}, {"event", "startAudio"}, {"pid", pid}});
    if (i % 2 == 0)
      timeline.push_back({{"at", 1.6 + 0.3 * i}, {"event", "removeProcess"}, {"pid", pid}});
  }
  ScenarioFile file(
      json{{"processes", {scenarioProcess(599, "Music", true)}}, {"timeline", timeline}});
  CliProcess cli(file.options());
  ASSERT_TRUE(cli.frames().waitForFrame([](const Frame& f) { return f.kind == "INIT"; }, 10s));

  const auto end = std::chrono::steady_clock::now() + 5s;
  for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
    cli.send(command("l" + std::to_string(n), "listAudioProcesses"));
    std::this_thread::sleep_for(1ms);
  }
  const auto isChange = [](const Frame& f) {
    return f.isEvent("audioProcessAdded") || f.isEvent("audioProcessRemoved");
  };
  EXPECT_EQ(cli.frames().waitForFrames(isChange, kChurn + kChurn / 2, 20s).size(),
            kChurn + kChurn / 2);
  std::this_thread::sleep_for(200ms);     // anything that came late is counted too
  std::map<int, int> added;               // pid -> "audioProcessAdded" events
  std::map<int, std::uint32_t> objectOf;  // pid -> process object
  std::map<std::uint32_t, int> removed;   // process object -> "audioProcessRemoved" events
  for (const json& data : testing::eventData(cli, "audioProcessAdded")) {
    ++added[data["pid"].get<int>()];
    objectOf[data["pid"].get<int>()] = data["id"].get<std::uint32_t>();
  }
  for (const json& data : testing::eventData(cli, "audioProcessRemoved")) {
    ++removed[data["id"].get<std::uint32_t>()];
  }
  for (int i = 0; i < kChurn; ++i) {
    const int pid = 600 + i;
    EXPECT_EQ(added[pid], 1) << "pid " << pid;
    EXPECT_EQ(removed[objectOf[pid]], i % 2 == 0 ? 1 : 0) << "pid " << pid;
  }
}

// Without a home directory: the self-test, which reloads the registry
// (before a shorter interval lets the monitor reload too); listing, which
// answers, then sends the list (the acknowledgment is
// ProtocolDescriptionEndToEndTest's, the order AudioProcessManagerTest's);
// finding, which matches the name, ignoring case, and not the bundle; then
// the monitoring switches and interval.
TEST(ProcessCommandsEndToEndTest, ASelfTestListingAndFindingWithoutHomeThenTheMonitoringSwitches) {
  ScenarioFile file(json{{"processes",
                          {scenarioProcess(100, "Beta", true),
                           scenarioProcess(101, "alpha"),
                           scenarioProcess(400, "Safari"),
                           {{"pid", 401}, {"name", "Music"}, {"bundleID", "com.safari.helper"}}}}});
  auto options = file.options();
  options.environment["HOME"] = std::nullopt;
  CliProcess cli(options);
  ASSERT_TRUE(cli.waitForLog("Loaded 4 audio processes"));
  const json result = ask(cli, "t", "selfTest");
  EXPECT_EQ(result["success"], true);
  const json& data = result["data"];
  for (const char* key : {"tapPermission", "coreAudioReady", "processIterationOK", "diskSpaceOK",
                          "memoryOK", "allTestsPassed"}) {
    EXPECT_EQ(data[key], true) << key;
  }
  ASSERT_TRUE(cli.waitForLog("Self-test complete: "));  // its lines are all out
  int loads = 0;
  for (const auto& line : cli.err().lines()) loads += line == "Loaded 4 audio processes";
  EXPECT_EQ(loads, 2);  // start-up, then the self-test's reload

  const json listed = ask(cli, "L", "listAudioProcesses")["data"];
  EXPECT_EQ(listed["count"], 4);
  EXPECT_EQ(listed["runningCount"], 1);
  EXPECT_EQ(testing::eventAfterAnswer(cli, "L", "audioProcessList"), listed);
  const json found = ask(cli, "f", "findAudioProcessesByName", {{"name", "SAFARI"}});
  EXPECT_EQ(found["data"]["count"], 1);
  EXPECT_EQ(found["data"]["searchTerm"], "SAFARI");
  EXPECT_EQ(found["data"]["processes"][0]["pid"], 400);
  testing::expectRefusal(ask(cli, "m", "findAudioProcessesByName"), "missing_parameter",
                         "Missing required parameter: name");

  // These run concurrently on the shared background queue: wait for each.
  const json status = ask(cli, "s0", "getProcessMonitoringStatus");
  cli.send(command("i", "setMonitoringInterval", {{"interval", 0.2}}));
  cli.send(command("bad", "setMonitoringInterval", {{"interval", "2"}}));
  auto interval = cli.frames().waitForResponse("i");
  auto bad = cli.frames().waitForResponse("bad");
  ASSERT_TRUE(interval && bad);
  EXPECT_EQ(status["data"], json({{"enabled", true}, {"autoUpdateTaps", true}, {"interval", 5.0}}));
  EXPECT_EQ(interval->body["data"],
            json({{"interval", 1.0}, {"message", "Monitoring interval updated"}}));
  EXPECT_EQ(bad->body["error"], "Missing required parameter: interval");

  EXPECT_EQ(ask(cli, "d", "disableProcessMonitoring")["data"],
            json({{"enabled", false}, {"message", "Process monitoring disabled"}}));
  EXPECT_EQ(
      ask(cli, "e", "enableProcessMonitoring")["data"],
      json({{"enabled", true}, {"interval", 1.0}, {"message", "Process monitoring enabled"}}));
  EXPECT_EQ(ask(cli, "e2", "enableProcessMonitoring", {{"interval", 3}})["data"]["interval"], 3.0);
  for (const std::string line : {"Process monitoring interval set to 1.0s",
                                 "Process monitoring enabled with interval: 3.0 seconds"}) {
    EXPECT_TRUE(cli.waitForLog(line)) << line;
  }
}

TEST(ProcessCommandsEndToEndTest, AnUnusableScenarioStopsTheServiceWithOneClearMessage) {
  ScenarioFile file(json{{"processes", {{{"pid", "not a number"}, {"name", "X"}}}}});
  CliProcess cli(file.options());
  EXPECT_EQ(cli.waitForExit(), 1);
  ASSERT_TRUE(cli.err().waitForClose(2s));
  auto lines = cli.err().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(file.path()), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("pid"), std::string::npos) << lines[0];
  EXPECT_TRUE(cli.out().lines().empty());
}

// Application names on a machine whose workspace answers slowly.
json namedProcess(int pid, const std::string& name) {
  return {{"pid", pid}, {"name", name}, {"command", "cmd" + std::to_string(pid)}};
}

TEST(ProcessNameLookupEndToEndTest, ManyProcessesWithASlowWorkspaceStallNothing) {
  // Each reload asks the workspace once for all its processes: waiting for it
  // once per process would hold the start-up, and every reload, for 24 s.
  constexpr int kProcesses = 60;
  json processes = json::array();
  for (int i = 0; i < kProcesses; ++i)
    processes.push_back(namedProcess(1000 + i, "App" + std::to_string(i)));
  ScenarioFile file(json{
      {"processes", processes},
      {"applicationLookupDelay", 0.4},
      {"timeline",
       {{{"at", 1.0}, {"event", "addProcess"}, {"process", namedProcess(2000, "Latecomer")}}}}});
  CliProcess cli(file.options());
  cli.send(command("p", "ping"));
  EXPECT_TRUE(cli.frames().waitForResponse("p", 8s));

  // The listener's reload names the newcomer from the workspace.
  auto added = cli.frames().waitForEvent("audioProcessAdded", 8s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "Latecomer");

  // Answers already given are not asked for again.
  const json list = answerTo(cli, command("L", "listAudioProcesses"), 8s);
  std::size_t named = 0;
  for (const auto& p : list["data"]["processes"]) {
    named +=
        p["name"] == "App" + std::to_string(p["pid"].get<int>() - 1000) || p["name"] == "Latecomer";
  }
  EXPECT_EQ(named, kProcesses + 1u);
}

}  // namespace
}  // namespace velmar
