// Application names on a machine whose workspace answers slowly.
#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::Frame;
using testing::ScenarioFile;
using namespace std::chrono_literals;

json process(int pid, const std::string& name) {
  return {{"pid", pid}, {"name", name}, {"command", "cmd" + std::to_string(pid)}};
}

TEST(ProcessNameLookupEndToEndTest, ManyProcessesWithASlowWorkspaceStallNothing) {
  // Each reload asks the workspace once for all its processes: waiting for it
  // once per process would hold the start-up, and every reload, for 24 s.
  constexpr int kProcesses = 60;
  json processes = json::array();
  for (int i = 0; i < kProcesses; ++i)
    processes.push_back(process(1000 + i, "App" + std::to_string(i)));
  ScenarioFile file(
      json{{"processes", processes},
           {"applicationLookupDelay", 0.4},
           {"timeline",
            {{{"at", 1.0}, {"event", "addProcess"}, {"process", process(2000, "Latecomer")}}}}});
  CliProcess cli(file.options());
  cli.send({{"id", "p"}, {"action", "ping"}});
  EXPECT_TRUE(cli.frames().waitForResponse("p", 8s));

  // The listener's reload names the newcomer from the workspace.
  auto added = cli.frames().waitForEvent("audioProcessAdded", 8s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "Latecomer");

  // Answers already given are not asked for again.
  cli.send({{"id", "L"}, {"action", "listAudioProcesses"}});
  auto list = cli.frames().waitForFrame(
      [](const Frame& f) { return f.isResponse("L") && !f.body.contains("isAcknowledgment"); }, 8s);
  ASSERT_TRUE(list);
  std::size_t named = 0;
  for (const auto& p : list->body["data"]["processes"]) {
    named +=
        p["name"] == "App" + std::to_string(p["pid"].get<int>() - 1000) || p["name"] == "Latecomer";
  }
  EXPECT_EQ(named, kProcesses + 1u);
}

}  // namespace
}  // namespace velmar
