// Tap commands through the executable, on scenario machines, alone and with
// aggregate devices.
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
using testing::aggregateNamed;
using testing::answerIndex;
using testing::ask;
using testing::CliProcess;
using testing::expectRefusal;
using testing::Frame;
using testing::indexOf;
using testing::isAnswer;
using testing::scenarioAggregate;
using testing::ScenarioFile;
using testing::scenarioProcess;
using namespace std::chrono_literals;

// A machine with two audio processes and no taps.
json twoProcesses() {
  return {{"processes", {scenarioProcess(700, "Music", true), scenarioProcess(701, "Safari")}}};
}

json listAfterAnswer(const CliProcess& cli, const std::string& id) {
  return testing::eventAfterAnswer(cli, id, "audioTapList");
}

std::vector<AudioObjectID> processIDs(CliProcess& cli) {
  const json listed = ask(cli, "procs", "listAudioProcesses");
  std::vector<AudioObjectID> ids;
  for (const auto& p : listed["data"]["processes"]) ids.push_back(p["id"]);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The tap manager's account of a conversation on standard error, checked
// once at its end: no other test reads these lines.
void expectLogged(const CliProcess& cli, const std::vector<std::string>& lines) {
  for (const auto& line : lines) EXPECT_TRUE(cli.waitForLog(line, 10s)) << line;
}

// `settings` with the id and uid the HAL gave `tap`.
json withIdentity(const json& tap, json settings) {
  settings["id"] = tap["id"];
  settings["uid"] = tap["uid"];
  return settings;
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
  const json noUpdate = ask(cli, "f0", "forceUpdateTaps");
  EXPECT_EQ(noUpdate["success"], true);
  EXPECT_EQ(noUpdate["data"],
            json({{"success", true}, {"message", "All taps updated successfully"}}));
  EXPECT_EQ(listAfterAnswer(cli, "f0")["count"], 0);
  EXPECT_EQ(ask(cli, "k0", "cleanupAllTaps")["data"],
            json({{"success", true}, {"message", "All taps cleaned up successfully"}}));
  EXPECT_EQ(listAfterAnswer(cli, "k0")["count"], 0);

  // A forced update keeps a tap's chosen processes (here none).
  const json forcedTap = ask(cli, "m", "createAudioTap", {{"config", {{"mute", 1}}}})["data"];
  EXPECT_EQ(ask(cli, "f1", "forceUpdateTaps")["success"], true);
  auto forcedUpdate = cli.frames().waitForEvent("audioTapUpdated");
  ASSERT_TRUE(forcedUpdate);
  EXPECT_EQ(forcedUpdate->body["data"], forcedTap);
  EXPECT_EQ(listAfterAnswer(cli, "f1")["taps"], json::array({forcedTap}));

  EXPECT_EQ(ask(cli, "k1", "cleanupAllTaps")["success"], true);
  EXPECT_EQ(listAfterAnswer(cli, "k1")["count"], 0);
  EXPECT_TRUE(cli.frames().waitForFrame([&](const Frame& f) {
    return f.isEvent("audioTapDestroyed") && f.body["data"]["id"] == forcedTap["id"];
  }));

  const json fresh = ask(cli, "a0", "createAudioTapWithAllProcesses");
  ASSERT_EQ(fresh["success"], true);
  const AudioObjectID firstAll = fresh["data"]["id"];
  ask(cli, "o", "createAudioTap", {{"config", {{"name", "Other"}}}});

  // Both earlier taps destroyed, then the new one created, then the answer.
  const std::size_t beforeReplacing = cli.frames().frames().size();
  const json replaced = ask(cli, "a1", "createAudioTapWithAllProcesses");
  ASSERT_EQ(replaced["success"], true);
  EXPECT_NE(replaced["data"]["id"], firstAll);
  auto frames = cli.frames().frames();
  const auto answer = answerIndex(frames, "a1");
  std::size_t replacedTaps = 0;
  for (std::size_t i = beforeReplacing; i < answer; ++i)
    replacedTaps += frames[i].isEvent("audioTapDestroyed");
  EXPECT_EQ(replacedTaps, 2u);
  EXPECT_TRUE(frames[answer - 1].isEvent("audioTapCreated"));
  EXPECT_EQ(ask(cli, "l1", "listAudioTaps")["data"]["count"], 1);

  // The all-process tap stays: it lists last by name.
  const json tap = ask(cli, "c1", "createAudioTap", {{"config", json::object()}})["data"];
  json settings = {{"name", "Audio Tap"},
                   {"processes", json::array()},
                   {"mute", 0},
                   {"muteName", "Unmuted"},
                   {"mixdown", 0},
                   {"mixdownName", "Mono"},
                   {"isPrivate", false},
                   {"exclusive", false},
                   {"format", "1 channels at 48000Hz"}};
  EXPECT_EQ(tap, withIdentity(tap, settings));
  // "audioTapCreated" carries the same object, before the response.
  frames = cli.frames().frames();
  EXPECT_LT(indexOf(frames,
                    [&](const Frame& f) {
                      return f.isEvent("audioTapCreated") && f.body["data"] == tap;
                    }),
            answerIndex(frames, "c1"));

  // Unusable values fall back; 1 is a flag.
  const json odd = ask(cli, "c2", "createAudioTap",
                       {{"config",
                         {{"name", "Odd"},
                          {"mute", 5},
                          {"mixdown", -1},
                          {"processes", {ids[0], "x"}},
                          {"isPrivate", 1},
                          {"exclusive", "yes"},
                          {"streamIndex", -1},
                          {"device", 7}}}})["data"];
  settings.update({{"name", "Odd"}, {"isPrivate", true}});
  EXPECT_EQ(odd, withIdentity(odd, settings));

  const json full = ask(cli, "c3", "createAudioTap",
                        {{"config",
                          {{"name", "Full"},
                           {"mute", 2},
                           {"mixdown", 1},
                           {"processes", ids},
                           {"exclusive", true},
                           {"device", "BuiltInSpeakerDevice"},
                           {"streamIndex", 0}}}})["data"];
  settings.update({{"name", "Full"},
                   {"mute", 2},
                   {"muteName", "Muted When Tapped"},
                   {"mixdown", 1},
                   {"mixdownName", "Stereo"},
                   {"processes", ids},
                   {"isPrivate", false},
                   {"exclusive", true},
                   {"device", "BuiltInSpeakerDevice"},
                   {"streamIndex", 0},
                   {"format", "2 channels at 48000Hz"}});
  EXPECT_EQ(full, withIdentity(full, settings));

  // Listing: the answer, then the list event (the acknowledgment before it
  // is ProtocolDescriptionEndToEndTest's, for every quick query).
  const json listed = ask(cli, "l", "listAudioTaps");
  EXPECT_EQ(listed["data"]["count"], 4);
  EXPECT_EQ(listed["data"]["taps"][0]["name"], "Audio Tap");  // sorted by name
  EXPECT_EQ(listed["data"]["taps"][2]["name"], "Odd");
  EXPECT_EQ(listAfterAnswer(cli, "l"), listed["data"]);

  // Updating with only a name keeps every other setting.
  json expected =
      ask(cli, "c", "createAudioTap",
          {{"config",
            {{"name", "First"}, {"processes", {ids[1]}}, {"mute", 1}, {"mixdown", 2}}}})["data"];
  const AudioObjectID tapID = expected["id"];
  expected["name"] = "Second";
  const json renamed =
      ask(cli, "u", "updateAudioTap", {{"tapID", tapID}, {"config", {{"name", "Second"}}}});
  ASSERT_EQ(renamed["success"], true);
  EXPECT_EQ(renamed["data"], expected);
  auto updated = cli.frames().waitForFrame([](const Frame& f) {
    return f.isEvent("audioTapUpdated") && f.body["data"]["name"] == "Second";
  });
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->body["data"], expected);

  // Refusals: a missing config, a missing or unknown tap, a text ID.
  testing::expectRefusals(
      cli, {
               {{{"action", "createAudioTap"}},
                "missing_parameter",
                "Missing required parameter: config"},
               {{{"action", "updateAudioTap"}, {"tapID", tapID}},
                "missing_parameter",
                "Missing required parameter: Either tapID or config parameter is missing"},
               {{{"action", "updateAudioTap"}, {"tapID", 99999}, {"config", json::object()}},
                "resource_not_found",
                "Resource not found: Tap with ID 99999 not found"},
               {{{"action", "destroyAudioTap"}, {"tapID", std::to_string(tapID)}},
                "missing_parameter",
                "Missing required parameter: tapID"},
           });

  // Destroying works once.
  const json first = ask(cli, "d1", "destroyAudioTap", {{"tapID", tapID}});
  EXPECT_EQ(first["success"], true);
  EXPECT_EQ(first["data"], json({{"tapID", tapID}}));
  frames = cli.frames().frames();
  const auto destroyed = indexOf(frames, [&](const Frame& f) {
    return f.isEvent("audioTapDestroyed") && f.body["data"]["id"] == tapID;
  });
  EXPECT_LT(destroyed, answerIndex(frames, "d1"));

  expectRefusal(ask(cli, "d2", "destroyAudioTap", {{"tapID", tapID}}), "execution_error",
                "Command execution error: Failed to destroy audio tap");
  expectLogged(cli, {"Forcing update of all taps with current processes",
                     "Cleaning up all existing audio taps", "No existing taps to clean up",
                     "Starting tap management process", "Found 2 existing taps to clean up",
                     "Removing tap: " + std::to_string(firstAll) + " (Tap with all processes)",
                     "All taps successfully removed", "Creating a fresh tap with all processes",
                     "Successfully created new tap " + replaced["data"]["id"].dump(),
                     "Sending listAudioTaps response with 4 taps"});
}

// The aggregate device refuses every new tap list: the all-process tap
// still answers (without an aggregate device the tap commands' own tests
// answer it; a refused addTapToAggregate is the aggregate manager's test and
// the device commands' refusal table).
TEST(TapCommandsEndToEndTest, HalFailuresAreAnsweredAsTheCommandsFailures) {
  ScenarioFile file(
      json{{"base", "default"},
           {"processes", {scenarioProcess(700, "Music", true)}},
           {"aggregateDevices", {scenarioAggregate("org.example.meeting", "Meeting Aggregate")}},
           {"failures",
            {{{"operation", "createProcessTap"}, {"status", 0}, {"times", 3}},
             {{"operation", "destroyProcessTap"}, {"status", "nope"}},
             {{"operation", "setPropertyData"}, {"selector", "tdsc"}, {"status", "nope"}},
             {{"operation", "setPropertyData"}, {"selector", "tap#"}, {"status", 7}}}}});
  CliProcess cli(file.options());
  // The first three creations get no tap from the HAL.
  expectRefusal(ask(cli, "c1", "createAudioTap", {{"config", json::object()}}), "execution_error",
                "Command execution error: Failed to create audio tap");
  EXPECT_EQ(ask(cli, "c2", "createAudioTapWithAllProcesses")["error"],
            "Command execution error: Failed to create audio tap with all processes");
  EXPECT_EQ(ask(cli, "c3", "createSystemLevelTap")["error"],
            "Command execution error: Failed to create system level tap");
  for (const auto& f : cli.frames().frames()) EXPECT_FALSE(f.isEvent("audioTapCreated"));

  const json created = ask(cli, "c4", "createAudioTap", {{"config", {{"name", "Kept"}}}});
  ASSERT_EQ(created["success"], true);

  // A rejected description still answers with what the HAL holds.
  const json update = ask(cli, "u", "updateAudioTap",
                          {{"tapID", created["data"]["id"]}, {"config", {{"name", "Renamed"}}}});
  EXPECT_EQ(update["success"], true);
  EXPECT_EQ(update["data"]["name"], "Kept");

  // The tap survives its destruction: the cleanup reports that, without a code.
  const json cleanup = ask(cli, "k", "cleanupAllTaps");
  EXPECT_EQ(cleanup["success"], false);
  EXPECT_FALSE(cleanup.contains("code"));
  EXPECT_FALSE(cleanup.contains("error"));
  EXPECT_EQ(cleanup["data"],
            json({{"success", false}, {"message", "Some taps failed to clean up"}}));
  EXPECT_EQ(listAfterAnswer(cli, "k")["count"], 1);

  // The all-process tap tries anyway after a failed cleanup.
  const json anyway = ask(cli, "a", "createAudioTapWithAllProcesses");
  EXPECT_EQ(anyway["success"], true) << anyway.dump();
  EXPECT_EQ(aggregateNamed(cli, "Meeting Aggregate")["tapList"], json::array());
  expectLogged(cli, {"Warning: 1 taps still remain after cleanup",
                     "Tap cleanup had issues, attempting to create tap anyway"});
}

// Taps and aggregate devices together: the all-process tap joining the
// first aggregate device, taps added to and removed from aggregate devices
// by command, and a device switch with taps.
constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";
constexpr const char* kEarbudsUID = "00-1B-66-E1-E2-E3:output";

// Two aggregate devices whose HAL order is the reverse of their name order.
json twoAggregates() {
  return {
      {"base", "default"},
      {"processes", {scenarioProcess(700, "Music", true), scenarioProcess(701, "Safari", true)}},
      {"aggregateDevices",
       {scenarioAggregate("org.example.zoom", "Zoom Aggregate"),
        scenarioAggregate("org.example.meeting", "Meeting Aggregate")}}};
}

// Every tap's stored configuration is written back, after the aggregate
// devices were seen to; the events come before the answer.
// `start` counts the frames that came before the command.
void expectEveryTapReapplied(CliProcess& cli, std::size_t start, const std::string& id,
                             const json& taps) {
  const auto frames = cli.frames().frames();
  const auto answer = answerIndex(frames, id);
  ASSERT_LT(answer, frames.size());
  ASSERT_LE(start, answer);
  json updated = json::array();
  for (std::size_t i = start; i < answer; ++i) {
    // The aggregate devices are done with before the first tap is rewritten.
    if (frames[i].isEvent("aggregateDeviceList")) {
      EXPECT_TRUE(updated.empty()) << i;
    }
    if (frames[i].isEvent("audioTapUpdated")) updated.push_back(frames[i].body["data"]);
  }
  ASSERT_EQ(updated.size(), taps.size()) << updated.dump();
  // Taps in id order, process sets sorted: they are sets.
  const auto normal = [](json list) {
    for (auto& tap : list) std::sort(tap["processes"].begin(), tap["processes"].end());
    std::sort(list.begin(), list.end(),
              [](const json& a, const json& b) { return a["id"] < b["id"]; });
    return list;
  };
  EXPECT_EQ(normal(updated), normal(taps));
}

// Two aggregate devices whose HAL order is the reverse of their name order:
// the all-process tap joins the first by name, and so does its replacement;
// then, with two more taps, a device switch writes every tap back and leaves
// the complete devices as they were.
TEST(TapAggregateEndToEndTest, TheAllProcessTapJoinsTheFirstDeviceAndASwitchReappliesEveryTap) {
  ScenarioFile file(twoAggregates());
  CliProcess cli(file.options());
  const AudioObjectID meeting = aggregateNamed(cli, "Meeting Aggregate")["id"];

  const json created = ask(cli, "a1", "createAudioTapWithAllProcesses");
  ASSERT_EQ(created["success"], true) << created.dump();
  const std::string tapUID = created["data"]["uid"];

  // Announced before the answer, with the tap in the first device only.
  auto frames = cli.frames().frames();
  const auto answer = answerIndex(frames, "a1");
  ASSERT_LT(answer, frames.size());
  const auto announced = indexOf(frames, [&](const Frame& f) {
    if (!f.isEvent("aggregateDeviceList")) return false;
    for (const auto& device : f.body["data"]["devices"]) {
      if (device["id"] == meeting && device["tapList"] == json::array({tapUID})) return true;
    }
    return false;
  });
  EXPECT_LT(announced, answer);
  EXPECT_EQ(aggregateNamed(cli, "Meeting Aggregate")["tapList"], json::array({tapUID}));
  EXPECT_EQ(aggregateNamed(cli, "Zoom Aggregate")["tapList"], json::array());

  // A replacement joins the same device.
  const json replaced = ask(cli, "a2", "createAudioTapWithAllProcesses");
  ASSERT_EQ(replaced["success"], true);
  const json tapList = aggregateNamed(cli, "Meeting Aggregate")["tapList"];
  EXPECT_NE(std::find(tapList.begin(), tapList.end(), replaced["data"]["uid"]), tapList.end())
      << tapList.dump();
  EXPECT_EQ(aggregateNamed(cli, "Zoom Aggregate")["tapList"], json::array());

  ask(cli, "c1", "createAudioTap",
      {{"config", {{"name", "Odd settings"}, {"mute", 2}, {"mixdown", 2}, {"isPrivate", true}}}});
  ask(cli, "c2", "createSystemLevelTap");
  const json taps = ask(cli, "l", "listAudioTaps")["data"]["taps"];
  ASSERT_EQ(taps.size(), 3u);
  const json before = ask(cli, "g", "getAggregateDevices")["data"];

  const std::size_t start = cli.frames().frames().size();
  EXPECT_EQ(ask(cli, "sw", "handleDeviceSwitch")["data"]["message"],
            "Device switch handled. Updated aggregate devices and taps.");
  expectEveryTapReapplied(cli, start, "sw", taps);
  for (const auto& line : cli.err().lines()) {
    EXPECT_EQ(line.find("has different device count"), std::string::npos) << line;
  }
  EXPECT_EQ(ask(cli, "g2", "getAggregateDevices")["data"], before);
}

// The answers and the announcement; what the lists hold after a change,
// adding twice included (one list code for devices and taps), is
// AggregateDeviceManagerTest's.
TEST(TapAggregateEndToEndTest, ARealTapIsAddedToAndRemovedFromAnAggregateDevice) {
  ScenarioFile file(
      json{{"base", "default"}, {"processes", {scenarioProcess(700, "Music", true)}}});
  CliProcess cli(file.options());
  const json tap = ask(cli, "tap", "createSystemLevelTap");
  ASSERT_EQ(tap["success"], true);
  const std::string tapUID = tap["data"]["uid"];
  const AudioObjectID id = ask(cli, "make", "createAggregateDevice")["data"]["deviceID"];
  ask(cli, "mic", "addDeviceToAggregate", {{"aggregateID", id}, {"deviceUID", kMicrophoneUID}});
  const json target = {{"aggregateID", id}, {"tapUID", tapUID}};

  json answer = target;
  answer["message"] = "Tap added to aggregate device successfully";
  EXPECT_EQ(ask(cli, "add", "addTapToAggregate", target)["data"], answer);
  EXPECT_TRUE(cli.frames().waitForFrame([&](const Frame& f) {
    return f.isEvent("aggregateDeviceList") && f.body["data"]["count"] == 1 &&
           f.body["data"]["devices"][0]["tapList"] == json::array({tapUID});
  }));
  answer["message"] = "Tap removed from aggregate device successfully";
  EXPECT_EQ(ask(cli, "rm", "removeTapFromAggregate", target)["data"], answer);
  const json left = ask(cli, "l", "getAggregateDevices")["data"]["devices"][0];
  EXPECT_EQ(left["tapList"], json::array());
  EXPECT_EQ(left["deviceList"], json::array({kMicrophoneUID}));
  // The tap itself is untouched.
  EXPECT_EQ(ask(cli, "taps", "listAudioTaps")["data"]["count"], 1);
  // A tap is no aggregate device: it has no tap list to read, so nothing is added.
  const json stray = {{"aggregateID", tap["data"]["id"]}, {"tapUID", tapUID}};
  EXPECT_EQ(ask(cli, "x", "addTapToAggregate", stray)["code"], "execution_error");
}

// Another program's tap comes at 1 s and goes at 2 s; the headset clocking
// "Meeting Recorder" goes away at 2.5 s.
TEST(TapAggregateEndToEndTest, ADeviceSwitchRebuildsADeviceWithoutLosingItsTap) {
  json scenario = {
      {"base", "default"},
      {"processes", {scenarioProcess(700, "Music", true)}},
      {"devices",
       {{{"uid", kEarbudsUID},
         {"name", "Earbuds Pro"},
         {"transport", "blue"},
         {"inputChannels", {1}},
         {"outputChannels", {2}},
         {"sampleRates", {16000, 48000}},
         {"clockSource", "settable"}}}},
      {"aggregateDevices",
       {{{"uid", "org.example.recorder.aggregate"},
         {"name", "Meeting Recorder"},
         {"subdevices", {kMicrophoneUID, kEarbudsUID}},
         {"master", kMicrophoneUID},
         {"clock", kEarbudsUID}}}},
      {"timeline",
       {{{"at", 1}, {"event", "createTap"}, {"name", "Screen Recorder"}, {"uid", "SR-1"}},
        {{"at", 2}, {"event", "destroyTap"}, {"uid", "SR-1"}},
        {{"at", 2.5}, {"event", "removeDevice"}, {"uid", kEarbudsUID}}}}};
  ScenarioFile file(scenario);
  CliProcess cli(file.options());
  const json made = ask(cli, "a", "createAudioTapWithAllProcesses");
  ASSERT_EQ(made["success"], true);
  const std::string tapUID = made["data"]["uid"];
  const json joined = aggregateNamed(cli, "Meeting Recorder");
  ASSERT_EQ(joined["tapList"], json::array({tapUID}));

  // The list already holds another program's tap when its arrival is told.
  auto added = cli.frames().waitForEvent("audioTapAdded", 10s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["uid"], "SR-1");
  EXPECT_EQ(added->body["data"]["name"], "Screen Recorder");
  auto frames = cli.frames().frames();
  const auto at = indexOf(frames, [](const Frame& f) { return f.isEvent("audioTapAdded"); });
  ASSERT_GT(at, 0u);
  ASSERT_TRUE(frames[at - 1].isEvent("audioTapList"));
  const json& listed = frames[at - 1].body["data"]["taps"];
  EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [](const json& tap) {
    return tap["uid"] == "SR-1";
  })) << listed.dump();
  auto removed = cli.frames().waitForEvent("audioTapRemoved", 10s);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->body["data"], json({{"id", added->body["data"]["id"]}}));

  ASSERT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        if (!f.isEvent("audioDeviceList")) return false;
        for (const auto& device : f.body["data"]["devices"]) {
          if (device["uid"] == kEarbudsUID) return false;
        }
        return true;
      },
      10s));
  const json taps = ask(cli, "l", "listAudioTaps")["data"]["taps"];
  const std::size_t start = cli.frames().frames().size();
  ask(cli, "sw", "handleDeviceSwitch");
  EXPECT_TRUE(cli.waitForLog("Aggregate device " + joined["id"].dump() +
                             " has different device count. Re-adding devices."));
  expectEveryTapReapplied(cli, start, "sw", taps);
  const json rebuilt = aggregateNamed(cli, "Meeting Recorder");
  EXPECT_EQ(rebuilt["deviceList"], json::array({kMicrophoneUID}));
  EXPECT_EQ(rebuilt["tapList"], json::array({tapUID}));
}

}  // namespace
}  // namespace velmar
