// Tap commands through the executable, on scenario machines.
#include <algorithm>
#include <cstdint>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using AudioObjectID = std::uint32_t;
using nlohmann::json;
using testing::answerIndex;
using testing::answerTo;
using testing::CliProcess;
using testing::expectRefusal;
using testing::Frame;
using testing::indexOf;
using testing::isAnswer;
using testing::ScenarioFile;
using testing::scenarioProcess;
using namespace std::chrono_literals;

// A machine with two audio processes and no taps.
json twoProcesses() {
  return {{"processes", {scenarioProcess(700, "Music", true), scenarioProcess(701, "Safari")}}};
}

// The first "audioTapList" after the answer to `id`.
json listAfterAnswer(const CliProcess& cli, const std::string& id) {
  json list;
  cli.out().waitFor(
      [&](const std::vector<std::string>& lines) {
        bool answered = false;
        for (const auto& line : lines) {
          auto frame = testing::parseFrame(line);
          if (!frame) continue;
          if (isAnswer(*frame, id)) {
            answered = true;
          } else if (answered && frame->isEvent("audioTapList")) {
            list = frame->body["data"];
            return true;
          }
        }
        return false;
      },
      10s);
  EXPECT_FALSE(list.is_null()) << "no audioTapList after the answer to " << id;
  return list;
}

std::vector<AudioObjectID> processIDs(CliProcess& cli) {
  const json listed = answerTo(cli, {{"id", "procs"}, {"action", "listAudioProcesses"}});
  std::vector<AudioObjectID> ids;
  for (const auto& p : listed["data"]["processes"]) ids.push_back(p["id"]);
  std::sort(ids.begin(), ids.end());
  return ids;
}

json sorted(json array) {
  std::sort(array.begin(), array.end());
  return array;
}

// One machine with two audio processes: a forced update and a cleanup with
// nothing to do and with a tap; the all-process tap replacing every earlier
// tap; then taps created with defaults, odd and full settings, listed,
// updated and destroyed once.
TEST(TapCommandsEndToEndTest, TapsAreCreatedListedUpdatedReplacedCleanedAndDestroyedOnce) {
  ScenarioFile file(twoProcesses());
  CliProcess cli(file.options());
  const auto ids = processIDs(cli);
  ASSERT_EQ(ids.size(), 2u);

  // Nothing to do is a success.
  const json noUpdate = answerTo(cli, {{"id", "f0"}, {"action", "forceUpdateTaps"}});
  EXPECT_EQ(noUpdate["success"], true);
  EXPECT_EQ(noUpdate["data"],
            json({{"success", true}, {"message", "All taps updated successfully"}}));
  EXPECT_EQ(listAfterAnswer(cli, "f0")["count"], 0);
  const json noCleanup = answerTo(cli, {{"id", "k0"}, {"action", "cleanupAllTaps"}});
  EXPECT_EQ(noCleanup["data"],
            json({{"success", true}, {"message", "All taps cleaned up successfully"}}));
  EXPECT_EQ(listAfterAnswer(cli, "k0")["count"], 0);

  // A forced update keeps a tap's chosen processes (here none).
  const json forcedTap =
      answerTo(cli, {{"id", "m"}, {"action", "createAudioTap"}, {"config", {{"mute", 1}}}});
  const AudioObjectID forcedID = forcedTap["data"]["id"];
  const json forced = answerTo(cli, {{"id", "f1"}, {"action", "forceUpdateTaps"}});
  EXPECT_EQ(forced["success"], true);
  EXPECT_TRUE(cli.waitForLog("Forcing update of all taps with current processes"));
  auto forcedUpdate = cli.frames().waitForEvent("audioTapUpdated");
  ASSERT_TRUE(forcedUpdate);
  EXPECT_EQ(forcedUpdate->body["data"]["id"], forcedID);
  EXPECT_EQ(forcedUpdate->body["data"]["processes"], json::array());
  EXPECT_EQ(forcedUpdate->body["data"]["mute"], 1);
  const json forcedList = listAfterAnswer(cli, "f1");
  EXPECT_EQ(forcedList["count"], 1);
  EXPECT_EQ(forcedList["taps"][0]["processes"], json::array());

  const json cleaned = answerTo(cli, {{"id", "k1"}, {"action", "cleanupAllTaps"}});
  EXPECT_EQ(cleaned["success"], true);
  EXPECT_TRUE(cli.waitForLog("Cleaning up all existing audio taps"));
  EXPECT_EQ(listAfterAnswer(cli, "k1")["count"], 0);
  EXPECT_TRUE(cli.frames().waitForFrame([&](const Frame& f) {
    return f.isEvent("audioTapDestroyed") && f.body["data"]["id"] == forcedID;
  }));

  const json fresh = answerTo(cli, {{"id", "a0"}, {"action", "createAudioTapWithAllProcesses"}});
  ASSERT_EQ(fresh["success"], true);
  EXPECT_TRUE(cli.waitForLog("No existing taps to clean up"));
  const AudioObjectID firstAll = fresh["data"]["id"];
  answerTo(cli, {{"id", "o"}, {"action", "createAudioTap"}, {"config", {{"name", "Other"}}}});

  const std::size_t beforeReplacing = cli.frames().frames().size();
  const json replaced = answerTo(cli, {{"id", "a1"}, {"action", "createAudioTapWithAllProcesses"}});
  ASSERT_EQ(replaced["success"], true);
  const json& allTap = replaced["data"];
  EXPECT_EQ(allTap["name"], "Tap with all processes");
  EXPECT_EQ(sorted(allTap["processes"]), json(ids));
  EXPECT_NE(allTap["id"], firstAll);
  for (const char* line :
       {"Starting tap management process", "Found 2 existing taps to clean up",
        "All taps successfully removed", "Creating a fresh tap with all processes",
        "Creating tap with 2 audio processes"}) {
    EXPECT_TRUE(cli.waitForLog(line)) << line;
  }
  EXPECT_TRUE(
      cli.waitForLog("Removing tap: " + std::to_string(firstAll) + " (Tap with all processes)"));
  EXPECT_TRUE(cli.waitForLog("Successfully created new tap " + allTap["id"].dump()));
  // Both earlier taps destroyed, then the new one created, then the answer.
  const auto replacedFrames = cli.frames().frames();
  const auto answer = answerIndex(replacedFrames, "a1");
  std::size_t replacedTaps = 0;
  for (std::size_t i = beforeReplacing; i < answer; ++i)
    replacedTaps += replacedFrames[i].isEvent("audioTapDestroyed");
  EXPECT_EQ(replacedTaps, 2u);
  EXPECT_TRUE(replacedFrames[answer - 1].isEvent("audioTapCreated"));

  EXPECT_EQ(answerTo(cli, {{"id", "l1"}, {"action", "listAudioTaps"}})["data"]["count"], 1);

  // The all-process tap stays: it lists last by name.
  const std::size_t start = cli.frames().frames().size();
  const json plain =
      answerTo(cli, {{"id", "c1"}, {"action", "createAudioTap"}, {"config", json::object()}});
  ASSERT_EQ(plain["success"], true);
  const json& tap = plain["data"];
  EXPECT_EQ(tap["name"], "Audio Tap");
  EXPECT_EQ(tap["processes"], json::array());
  EXPECT_EQ(tap["mute"], 0);
  EXPECT_EQ(tap["muteName"], "Unmuted");
  EXPECT_EQ(tap["mixdown"], 0);
  EXPECT_EQ(tap["isPrivate"], false);
  EXPECT_EQ(tap["exclusive"], false);
  EXPECT_FALSE(tap.contains("device"));
  EXPECT_FALSE(tap.contains("streamIndex"));
  EXPECT_FALSE(tap.contains("config"));
  EXPECT_EQ(tap["format"], "1 channels at 48000Hz");
  // "audioTapCreated" carries the same object, before the response.
  auto frames = cli.frames().frames();
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(start));
  const auto created = indexOf(frames, [](const Frame& f) { return f.isEvent("audioTapCreated"); });
  ASSERT_LT(created, frames.size());
  EXPECT_EQ(frames[created].body["data"], tap);
  EXPECT_LT(created, indexOf(frames, [](const Frame& f) { return isAnswer(f, "c1"); }));

  const json odd = answerTo(cli, {{"id", "c2"},
                                  {"action", "createAudioTap"},
                                  {"config",
                                   {{"name", "Odd"},
                                    {"mute", 5},
                                    {"mixdown", -1},
                                    {"processes", {ids[0], "x"}},
                                    {"isPrivate", 1},
                                    {"exclusive", "yes"},
                                    {"streamIndex", -1},
                                    {"device", 7}}}});
  ASSERT_EQ(odd["success"], true);
  EXPECT_EQ(odd["data"]["name"], "Odd");
  EXPECT_EQ(odd["data"]["mute"], 0);
  EXPECT_EQ(odd["data"]["mixdown"], 0);
  EXPECT_EQ(odd["data"]["processes"], json::array());
  EXPECT_EQ(odd["data"]["isPrivate"], true);  // 1 is a flag
  EXPECT_EQ(odd["data"]["exclusive"], false);
  EXPECT_FALSE(odd["data"].contains("streamIndex"));
  EXPECT_FALSE(odd["data"].contains("device"));

  const json full = answerTo(cli, {{"id", "c3"},
                                   {"action", "createAudioTap"},
                                   {"config",
                                    {{"name", "Full"},
                                     {"mute", 2},
                                     {"mixdown", 1},
                                     {"processes", ids},
                                     {"exclusive", true},
                                     {"device", "BuiltInSpeakerDevice"},
                                     {"streamIndex", 0}}}});
  EXPECT_EQ(full["data"]["muteName"], "Muted When Tapped");
  EXPECT_EQ(full["data"]["mixdownName"], "Stereo");
  EXPECT_EQ(sorted(full["data"]["processes"]), json(ids));
  EXPECT_EQ(full["data"]["device"], "BuiltInSpeakerDevice");
  EXPECT_EQ(full["data"]["streamIndex"], 0);
  EXPECT_EQ(full["data"]["format"], "2 channels at 48000Hz");

  expectRefusal(answerTo(cli, {{"id", "c4"}, {"action", "createAudioTap"}}), "missing_parameter",
                "Missing required parameter: config");

  // Listing: acknowledgment, answer, then the list event.
  const json listed = answerTo(cli, {{"id", "l"}, {"action", "listAudioTaps"}});
  EXPECT_EQ(listed["data"]["count"], 4);
  EXPECT_EQ(listed["data"]["taps"][0]["name"], "Audio Tap");  // sorted by name
  EXPECT_EQ(listed["data"]["taps"][2]["name"], "Odd");
  auto list = cli.frames().waitForFrame(
      [](const Frame& f) { return f.isEvent("audioTapList") && f.body["data"]["count"] == 4; });
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body["data"], listed["data"]);
  frames = cli.frames().frames();
  const auto ack = indexOf(frames, [](const Frame& f) {
    return f.isResponse("l") && f.body.contains("isAcknowledgment");
  });
  EXPECT_LT(ack, indexOf(frames, [](const Frame& f) { return isAnswer(f, "l"); }));
  EXPECT_TRUE(cli.waitForLog("Sending listAudioTaps response with 4 taps"));

  // Updating with only a name keeps every other setting; destroying works once.
  const json made = answerTo(
      cli, {{"id", "c"},
            {"action", "createAudioTap"},
            {"config", {{"name", "First"}, {"processes", {ids[1]}}, {"mute", 1}, {"mixdown", 2}}}});
  const AudioObjectID tapID = made["data"]["id"];

  const json renamed = answerTo(cli, {{"id", "u"},
                                      {"action", "updateAudioTap"},
                                      {"tapID", tapID},
                                      {"config", {{"name", "Second"}}}});
  ASSERT_EQ(renamed["success"], true);
  json expected = made["data"];
  expected["name"] = "Second";
  EXPECT_EQ(renamed["data"], expected);
  auto updated = cli.frames().waitForFrame([](const Frame& f) {
    return f.isEvent("audioTapUpdated") && f.body["data"]["name"] == "Second";
  });
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->body["data"], expected);

  expectRefusal(answerTo(cli, {{"id", "u2"}, {"action", "updateAudioTap"}, {"tapID", tapID}}),
                "missing_parameter",
                "Missing required parameter: Either tapID or config parameter is missing");
  expectRefusal(answerTo(cli, {{"id", "u3"},
                               {"action", "updateAudioTap"},
                               {"tapID", 99999},
                               {"config", json::object()}}),
                "resource_not_found", "Resource not found: Tap with ID 99999 not found");

  // Destroying needs a numeric ID and works once.
  expectRefusal(
      answerTo(cli,
               {{"id", "d0"}, {"action", "destroyAudioTap"}, {"tapID", std::to_string(tapID)}}),
      "missing_parameter", "Missing required parameter: tapID");

  const json first = answerTo(cli, {{"id", "d1"}, {"action", "destroyAudioTap"}, {"tapID", tapID}});
  EXPECT_EQ(first["success"], true);
  EXPECT_EQ(first["data"], json({{"tapID", tapID}}));
  frames = cli.frames().frames();
  const auto destroyed = indexOf(frames, [&](const Frame& f) {
    return f.isEvent("audioTapDestroyed") && f.body["data"]["id"] == tapID;
  });
  ASSERT_LT(destroyed, frames.size());
  EXPECT_EQ(frames[destroyed].body["data"], json({{"id", tapID}}));
  EXPECT_LT(destroyed, indexOf(frames, [](const Frame& f) { return isAnswer(f, "d1"); }));

  expectRefusal(answerTo(cli, {{"id", "d2"}, {"action", "destroyAudioTap"}, {"tapID", tapID}}),
                "execution_error", "Command execution error: Failed to destroy audio tap");
}

// An application appears at 3 s; the monitor runs every second.
json aProcessAppears() {
  json scenario = twoProcesses();
  scenario["timeline"] = {
      {{"at", 3}, {"event", "addProcess"}, {"process", scenarioProcess(702, "Meeting", true)}}};
  return scenario;
}

TEST(TapCommandsEndToEndTest, TheAllProcessTapGainsAnAppearingProcessByItself) {
  ScenarioFile file(aProcessAppears());
  CliProcess cli(file.options());
  answerTo(cli, {{"id", "i"}, {"action", "setMonitoringInterval"}, {"interval", 1}});
  const json created = answerTo(cli, {{"id", "a"}, {"action", "createAudioTapWithAllProcesses"}});
  const AudioObjectID tapID = created["data"]["id"];

  auto grown = cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioTapUpdated") && f.body["data"]["id"] == tapID &&
               f.body["data"]["processes"].size() == 3;
      },
      20s);
  ASSERT_TRUE(grown);
  EXPECT_TRUE(cli.waitForLog("Process monitor detected changes: +1 -0", 10s));
  EXPECT_TRUE(cli.waitForLog("Auto-updating taps with all current processes"));
  EXPECT_TRUE(cli.waitForLog("Auto-update of taps completed successfully", 10s));
  auto list = cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioTapList") && f.body["data"]["count"] == 1 &&
               f.body["data"]["taps"][0]["processes"].size() == 3;
      },
      10s);
  EXPECT_TRUE(list);
}

TEST(TapCommandsEndToEndTest, WithAutoUpdateDisabledAMonitorReportTouchesNoTap) {
  ScenarioFile file(aProcessAppears());
  CliProcess cli(file.options());
  const json off = answerTo(cli, {{"id", "off"}, {"action", "disableTapAutoUpdate"}});
  EXPECT_EQ(off["data"], json({{"enabled", false}, {"message", "Tap auto-update disabled"}}));
  answerTo(cli, {{"id", "i"}, {"action", "setMonitoringInterval"}, {"interval", 1}});
  answerTo(cli, {{"id", "c"}, {"action", "createAudioTap"}, {"config", json::object()}});

  ASSERT_TRUE(cli.waitForLog("Process monitor detected changes: +1 -0", 20s));
  const json status = answerTo(cli, {{"id", "s"}, {"action", "getProcessMonitoringStatus"}});
  EXPECT_EQ(status["data"]["autoUpdateTaps"], false);
  const json listed = answerTo(cli, {{"id", "l"}, {"action", "listAudioTaps"}});
  EXPECT_EQ(listed["data"]["taps"][0]["processes"], json::array());
  for (const auto& line : cli.err().lines()) {
    EXPECT_EQ(line.find("Auto-updating taps"), std::string::npos) << line;
    EXPECT_EQ(line.find("Updating all taps"), std::string::npos) << line;
  }
  for (const auto& f : cli.frames().frames()) EXPECT_FALSE(f.isEvent("audioTapUpdated"));

  const json on = answerTo(cli, {{"id", "on"}, {"action", "enableTapAutoUpdate"}});
  EXPECT_EQ(on["data"], json({{"enabled", true}, {"message", "Tap auto-update enabled"}}));
}

TEST(TapCommandsEndToEndTest, HalFailuresAreAnsweredAsTheCommandsFailures) {
  ScenarioFile file(
      json{{"processes", {scenarioProcess(700, "Music", true)}},
           {"failures",
            {{{"operation", "createProcessTap"}, {"status", 0}, {"times", 3}},
             {{"operation", "destroyProcessTap"}, {"status", "nope"}},
             {{"operation", "setPropertyData"}, {"selector", "tdsc"}, {"status", "nope"}}}}});
  CliProcess cli(file.options());
  // The first three creations get no tap from the HAL.
  expectRefusal(
      answerTo(cli, {{"id", "c1"}, {"action", "createAudioTap"}, {"config", json::object()}}),
      "execution_error", "Command execution error: Failed to create audio tap");
  const json all = answerTo(cli, {{"id", "c2"}, {"action", "createAudioTapWithAllProcesses"}});
  EXPECT_EQ(all["error"], "Command execution error: Failed to create audio tap with all processes");
  const json system = answerTo(cli, {{"id", "c3"}, {"action", "createSystemLevelTap"}});
  EXPECT_EQ(system["error"], "Command execution error: Failed to create system level tap");
  for (const auto& f : cli.frames().frames()) EXPECT_FALSE(f.isEvent("audioTapCreated"));

  const json created =
      answerTo(cli, {{"id", "c4"}, {"action", "createAudioTap"}, {"config", {{"name", "Kept"}}}});
  ASSERT_EQ(created["success"], true);
  const AudioObjectID tapID = created["data"]["id"];

  // A rejected description still answers with what the HAL holds.
  const json update = answerTo(cli, {{"id", "u"},
                                     {"action", "updateAudioTap"},
                                     {"tapID", tapID},
                                     {"config", {{"name", "Renamed"}}}});
  EXPECT_EQ(update["success"], true);
  EXPECT_EQ(update["data"]["name"], "Kept");

  // The tap survives its destruction: the cleanup reports that, without a code.
  const json cleanup = answerTo(cli, {{"id", "k"}, {"action", "cleanupAllTaps"}});
  EXPECT_EQ(cleanup["success"], false);
  EXPECT_FALSE(cleanup.contains("code"));
  EXPECT_FALSE(cleanup.contains("error"));
  EXPECT_EQ(cleanup["data"],
            json({{"success", false}, {"message", "Some taps failed to clean up"}}));
  EXPECT_TRUE(cli.waitForLog("Warning: 1 taps still remain after cleanup"));
  EXPECT_EQ(listAfterAnswer(cli, "k")["count"], 1);

  // The all-process tap tries anyway after a failed cleanup.
  const json anyway = answerTo(cli, {{"id", "a"}, {"action", "createAudioTapWithAllProcesses"}});
  EXPECT_EQ(anyway["success"], true);
  EXPECT_TRUE(cli.waitForLog("Tap cleanup had issues, attempting to create tap anyway"));
}

TEST(TapCommandsEndToEndTest, AnotherProgramsTapsAreReportedAsTheyComeAndGo) {
  ScenarioFile file(
      json{{"timeline",
            {{{"at", 1}, {"event", "createTap"}, {"name", "Screen Recorder"}, {"uid", "SR-1"}},
             {{"at", 2}, {"event", "destroyTap"}, {"uid", "SR-1"}}}}});
  CliProcess cli(file.options());
  auto added = cli.frames().waitForEvent("audioTapAdded", 10s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["uid"], "SR-1");
  EXPECT_EQ(added->body["data"]["name"], "Screen Recorder");
  auto frames = cli.frames().frames();
  const auto at = indexOf(frames, [](const Frame& f) { return f.isEvent("audioTapAdded"); });
  ASSERT_GT(at, 0u);
  EXPECT_TRUE(frames[at - 1].isEvent("audioTapList"));
  EXPECT_EQ(frames[at - 1].body["data"]["count"], 1);

  auto removed = cli.frames().waitForEvent("audioTapRemoved", 10s);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->body["data"], json({{"id", added->body["data"]["id"]}}));
}

}  // namespace
}  // namespace velmar
