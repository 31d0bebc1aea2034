// Process registry and monitoring through the executable, on scenario machines.
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::Frame;
using testing::indexOf;
using testing::ScenarioFile;
using testing::scenarioProcess;
using namespace std::chrono_literals;

TEST(ProcessCommandsEndToEndTest, ListingAcknowledgesThenAnswersThenSendsTheList) {
  ScenarioFile file(
      json{{"processes", {scenarioProcess(100, "Beta", true), scenarioProcess(101, "alpha")}}});
  CliProcess cli(file.options());
  cli.send({{"id", "L"}, {"action", "listAudioProcesses"}});
  auto responses = cli.frames().waitForFrames([](const Frame& f) { return f.isResponse("L"); }, 2);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].body["isAcknowledgment"], true);
  const json& data = responses[1].body["data"];
  EXPECT_EQ(data["count"], 2);
  EXPECT_EQ(data["runningCount"], 1);
  EXPECT_EQ(data["processes"][0]["name"], "Beta");  // code-point order
  EXPECT_EQ(data["processes"][1]["name"], "alpha");

  // The list event follows the response.
  ASSERT_TRUE(cli.frames()
                  .waitForFrames([](const Frame& f) { return f.isEvent("audioProcessList"); }, 2)
                  .size() >= 2);
  auto frames = cli.frames().frames();
  const auto answer = indexOf(frames, [](const Frame& f) {
    return f.isResponse("L") && !f.body.contains("isAcknowledgment");
  });
  std::size_t lastList = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].isEvent("audioProcessList")) lastList = i;
  }
  EXPECT_GT(lastList, answer);
  EXPECT_EQ(frames[lastList].body["data"], data);
}

// A process starts playing at 0.5 s and another appears at 1.5 s: the
// status check reports the first, the listener and the monitor the second,
// each after the listener's own list.
TEST(ProcessCommandsEndToEndTest, AProcessStartingAudioAndOneAppearingAreReported) {
  ScenarioFile file(json{
      {"processes", {scenarioProcess(300, "Recorder")}},
      {"timeline",
       {{{"at", 0.5}, {"event", "startAudio"}, {"pid", 300}},
        {{"at", 1.5}, {"event", "addProcess"}, {"process", scenarioProcess(201, "Meeting")}}}}});
  CliProcess cli(file.options());
  cli.send({{"id", "i"}, {"action", "setMonitoringInterval"}, {"interval", 1}});
  ASSERT_TRUE(cli.frames().waitForResponse("i"));

  auto running = cli.frames().waitForEvent("runningAudioProcesses", 10s);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->body["data"]["count"], 1);
  EXPECT_EQ(running->body["data"]["processes"][0]["name"], "Recorder");
  EXPECT_TRUE(cli.waitForLog("Process running status changed: Recorder is now running"));
  auto added = cli.frames().waitForEvent("audioProcessAdded", 10s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "Meeting");
  EXPECT_EQ(added->body["data"]["pid"], 201);
  auto changes = cli.frames().waitForEvent("audioProcessChanges", 10s);
  ASSERT_TRUE(changes);
  EXPECT_EQ(changes->body["data"]["addedProcesses"][0]["name"], "Meeting");
  EXPECT_EQ(changes->body["data"]["totalCount"], 2);
  EXPECT_TRUE(cli.waitForLog("Process monitor detected changes: +1 -0"));

  auto frames = cli.frames().frames();
  const auto runningAt =
      indexOf(frames, [](const Frame& f) { return f.isEvent("runningAudioProcesses"); });
  ASSERT_GT(runningAt, 0u);
  EXPECT_TRUE(frames[runningAt - 1].isEvent("audioProcessList"));
  EXPECT_EQ(frames[runningAt - 1].body["data"]["runningCount"], 1);
  const auto addedAt =
      indexOf(frames, [](const Frame& f) { return f.isEvent("audioProcessAdded"); });
  ASSERT_GT(addedAt, 0u);
  EXPECT_TRUE(frames[addedAt - 1].isEvent("audioProcessList"));
  EXPECT_EQ(frames[addedAt - 1].body["data"]["count"], 2);
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

  std::map<int, int> added;               // pid -> "audioProcessAdded" events
  std::map<int, std::uint32_t> objectOf;  // pid -> process object
  std::map<std::uint32_t, int> removed;   // process object -> "audioProcessRemoved" events
  std::size_t seen = 0;
  auto collect = [&](const std::vector<std::string>& lines) {
    for (; seen < lines.size(); ++seen) {
      auto frame = testing::parseFrame(lines[seen]);
      if (!frame) continue;
      const json& data = frame->body["data"];
      if (frame->isEvent("audioProcessAdded")) {
        ++added[data["pid"].get<int>()];
        objectOf[data["pid"].get<int>()] = data["id"].get<std::uint32_t>();
      } else if (frame->isEvent("audioProcessRemoved")) {
        ++removed[data["id"].get<std::uint32_t>()];
      }
    }
    return added.size() == kChurn && removed.size() == kChurn / 2;
  };

  const auto end = std::chrono::steady_clock::now() + 5s;
  for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
    cli.send({{"id", "l" + std::to_string(n)}, {"action", "listAudioProcesses"}});
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(cli.out().waitFor(collect, 20s));
  std::this_thread::sleep_for(200ms);
  cli.out().waitFor(collect, 0ms);  // take in anything that came late
  for (int i = 0; i < kChurn; ++i) {
    const int pid = 600 + i;
    EXPECT_EQ(added[pid], 1) << "pid " << pid;
    EXPECT_EQ(removed[objectOf[pid]], i % 2 == 0 ? 1 : 0) << "pid " << pid;
  }
}

TEST(ProcessCommandsEndToEndTest, FindingMatchesTheNameIgnoringCase) {
  ScenarioFile file(json{{"processes",
                          {scenarioProcess(400, "Safari"),
                           {{"pid", 401}, {"name", "Music"}, {"bundleID", "com.safari.helper"}}}}});
  CliProcess cli(file.options());
  cli.send({{"id", "f"}, {"action", "findAudioProcessesByName"}, {"name", "SAFARI"}});
  cli.send({{"id", "m"}, {"action", "findAudioProcessesByName"}});
  auto found = cli.frames().waitForResponse("f");
  auto missing = cli.frames().waitForResponse("m");
  ASSERT_TRUE(found && missing);
  EXPECT_EQ(found->body["data"]["count"], 1);
  EXPECT_EQ(found->body["data"]["searchTerm"], "SAFARI");
  EXPECT_EQ(found->body["data"]["processes"][0]["pid"], 400);
  EXPECT_EQ(missing->body["code"], "missing_parameter");
  EXPECT_EQ(missing->body["error"], "Missing required parameter: name");
}

// On the default machine, without a home directory: the self-test, which
// reloads the registry (before a shorter interval lets the monitor reload
// too), then the monitoring switches and interval.
TEST(ProcessCommandsEndToEndTest, ASelfTestWithoutHomeThenTheMonitoringSwitches) {
  CliProcess cli({{}, {{"HOME", std::nullopt}}});
  ASSERT_TRUE(cli.waitForLog("Loaded 5 audio processes"));
  cli.send({{"id", "t"}, {"action", "selfTest"}});
  auto result = cli.frames().waitForResponse("t");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->body["success"], true);
  const json& data = result->body["data"];
  for (const char* key : {"tapPermission", "coreAudioReady", "processIterationOK", "diskSpaceOK",
                          "memoryOK", "allTestsPassed"}) {
    EXPECT_EQ(data[key], true) << key;
  }
  EXPECT_TRUE(cli.waitForLog("Self-test complete: "));
  int loads = 0;
  for (const auto& line : cli.err().lines()) loads += line == "Loaded 5 audio processes";
  EXPECT_EQ(loads, 2);  // start-up, then the self-test's reload
  // These run concurrently on the shared background queue: wait for each.
  cli.send({{"id", "s0"}, {"action", "getProcessMonitoringStatus"}});
  auto status = cli.frames().waitForResponse("s0");
  cli.send({{"id", "i"}, {"action", "setMonitoringInterval"}, {"interval", 0.2}});
  cli.send({{"id", "bad"}, {"action", "setMonitoringInterval"}, {"interval", "2"}});
  auto interval = cli.frames().waitForResponse("i");
  auto bad = cli.frames().waitForResponse("bad");
  ASSERT_TRUE(status && interval && bad);
  EXPECT_EQ(status->body["data"],
            json({{"enabled", true}, {"autoUpdateTaps", true}, {"interval", 5.0}}));
  EXPECT_EQ(interval->body["data"],
            json({{"interval", 1.0}, {"message", "Monitoring interval updated"}}));
  EXPECT_EQ(bad->body["error"], "Missing required parameter: interval");
  EXPECT_TRUE(cli.waitForLog("Process monitoring interval set to 1.0s"));

  cli.send({{"id", "d"}, {"action", "disableProcessMonitoring"}});
  auto disabled = cli.frames().waitForResponse("d");
  ASSERT_TRUE(disabled);
  EXPECT_EQ(disabled->body["data"],
            json({{"enabled", false}, {"message", "Process monitoring disabled"}}));
  cli.send({{"id", "e"}, {"action", "enableProcessMonitoring"}});
  auto enabled = cli.frames().waitForResponse("e");
  ASSERT_TRUE(enabled);
  EXPECT_EQ(
      enabled->body["data"],
      json({{"enabled", true}, {"interval", 1.0}, {"message", "Process monitoring enabled"}}));
  cli.send({{"id", "e2"}, {"action", "enableProcessMonitoring"}, {"interval", 3}});
  auto enabled2 = cli.frames().waitForResponse("e2");
  ASSERT_TRUE(enabled2);
  EXPECT_EQ(enabled2->body["data"]["interval"], 3.0);
  EXPECT_TRUE(cli.waitForLog("Process monitoring enabled with interval: 3.0 seconds"));
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

}  // namespace
}  // namespace velmar
