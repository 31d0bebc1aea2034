// Taps and aggregate devices together, through the executable: the
// all-process tap joining the first aggregate device, taps added to and
// removed from aggregate devices by command, and a device switch with taps.
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
using testing::answerTo;
using testing::CliProcess;
using testing::Frame;
using testing::indexOf;
using testing::isAnswer;
using testing::scenarioAggregate;
using testing::ScenarioFile;
using testing::scenarioProcess;
using namespace std::chrono_literals;

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

TEST(TapAggregateEndToEndTest, TheAllProcessTapJoinsTheFirstAggregateDeviceByName) {
  ScenarioFile file(twoAggregates());
  CliProcess cli(file.options());
  const AudioObjectID meeting = aggregateNamed(cli, "Meeting Aggregate")["id"];

  const json created = answerTo(cli, {{"id", "a1"}, {"action", "createAudioTapWithAllProcesses"}});
  ASSERT_EQ(created["success"], true) << created.dump();
  const AudioObjectID tapID = created["data"]["id"];
  const std::string tapUID = created["data"]["uid"];
  EXPECT_TRUE(cli.waitForLog("Successfully added tap " + std::to_string(tapID) +
                             " to aggregate device " + std::to_string(meeting)));
  EXPECT_TRUE(cli.waitForLog("Successfully added tap " + tapUID + " to aggregate device " +
                             std::to_string(meeting)));

  // Announced before the answer, with the tap in the first device only.
  auto frames = cli.frames().frames();
  const auto answer = indexOf(frames, [](const Frame& f) { return isAnswer(f, "a1"); });
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
  const json replaced = answerTo(cli, {{"id", "a2"}, {"action", "createAudioTapWithAllProcesses"}});
  ASSERT_EQ(replaced["success"], true);
  const std::string newUID = replaced["data"]["uid"];
  const json taps = aggregateNamed(cli, "Meeting Aggregate")["tapList"];
  EXPECT_NE(std::find(taps.begin(), taps.end(), newUID), taps.end()) << taps.dump();
  EXPECT_EQ(aggregateNamed(cli, "Zoom Aggregate")["tapList"], json::array());
}

// Without an aggregate device the tap commands' own tests answer it.
TEST(TapAggregateEndToEndTest, WhenJoiningFailsTheTapStillAnswers) {
  // The aggregate device refuses every new tap list.
  json scenario = twoAggregates();
  scenario["failures"] = {{{"operation", "setPropertyData"}, {"selector", "tap#"}, {"status", 7}}};
  ScenarioFile file(scenario);
  CliProcess cli(file.options());
  const json created = answerTo(cli, {{"id", "a"}, {"action", "createAudioTapWithAllProcesses"}});
  EXPECT_EQ(created["success"], true) << created.dump();
  EXPECT_EQ(created["data"]["name"], "Tap with all processes");
  EXPECT_TRUE(cli.waitForLog("Failed to add tap to aggregate device. Error: 7"));
  EXPECT_TRUE(cli.waitForLog("Failed to add tap to aggregate device"));
  EXPECT_EQ(aggregateNamed(cli, "Meeting Aggregate")["tapList"], json::array());

  // The command answers the same refusal as its failure.
  const AudioObjectID meeting = aggregateNamed(cli, "Meeting Aggregate")["id"];
  const json refused = answerTo(cli, {{"id", "t"},
                                      {"action", "addTapToAggregate"},
                                      {"aggregateID", meeting},
                                      {"tapUID", created["data"]["uid"]}});
  EXPECT_EQ(refused["code"], "execution_error");
  EXPECT_EQ(refused["error"], "Command execution error: Failed to add tap to aggregate device");
}

TEST(TapAggregateEndToEndTest, ARealTapIsAddedToAndRemovedFromAnAggregateDevice) {
  ScenarioFile file(
      json{{"base", "default"}, {"processes", {scenarioProcess(700, "Music", true)}}});
  CliProcess cli(file.options());
  const json tap = answerTo(cli, {{"id", "tap"}, {"action", "createSystemLevelTap"}});
  ASSERT_EQ(tap["success"], true);
  const std::string tapUID = tap["data"]["uid"];
  const json made = answerTo(cli, {{"id", "make"}, {"action", "createAggregateDevice"}});
  const AudioObjectID id = made["data"]["deviceID"];
  answerTo(cli, {{"id", "mic"},
                 {"action", "addDeviceToAggregate"},
                 {"aggregateID", id},
                 {"deviceUID", kMicrophoneUID}});

  const json added = answerTo(
      cli,
      {{"id", "add"}, {"action", "addTapToAggregate"}, {"aggregateID", id}, {"tapUID", tapUID}});
  EXPECT_EQ(added["data"], (json{{"aggregateID", id},
                                 {"tapUID", tapUID},
                                 {"message", "Tap added to aggregate device successfully"}}));
  EXPECT_TRUE(cli.waitForLog("Successfully added tap " + tapUID + " to aggregate device " +
                             std::to_string(id)));
  EXPECT_TRUE(cli.frames().waitForFrame([&](const Frame& f) {
    return f.isEvent("aggregateDeviceList") && f.body["data"]["count"] == 1 &&
           f.body["data"]["devices"][0]["tapList"] == json::array({tapUID});
  }));
  const json listed = answerTo(cli, {{"id", "l1"}, {"action", "getAggregateDevices"}});
  EXPECT_EQ(listed["data"]["devices"][0]["deviceList"], json::array({kMicrophoneUID}));
  EXPECT_EQ(listed["data"]["devices"][0]["tapList"], json::array({tapUID}));
  // Adding it again keeps one entry.
  answerTo(
      cli,
      {{"id", "add2"}, {"action", "addTapToAggregate"}, {"aggregateID", id}, {"tapUID", tapUID}});
  EXPECT_EQ(answerTo(cli, {{"id", "l2"},
                           {"action", "getAggregateDevices"}})["data"]["devices"][0]["tapList"],
            json::array({tapUID}));

  const json removed = answerTo(cli, {{"id", "rm"},
                                      {"action", "removeTapFromAggregate"},
                                      {"aggregateID", id},
                                      {"tapUID", tapUID}});
  EXPECT_EQ(removed["data"], (json{{"aggregateID", id},
                                   {"tapUID", tapUID},
                                   {"message", "Tap removed from aggregate device successfully"}}));
  const json after = answerTo(cli, {{"id", "l3"}, {"action", "getAggregateDevices"}});
  EXPECT_EQ(after["data"]["devices"][0]["tapList"], json::array());
  EXPECT_EQ(after["data"]["devices"][0]["deviceList"], json::array({kMicrophoneUID}));
  // The tap itself is untouched.
  EXPECT_EQ(answerTo(cli, {{"id", "taps"}, {"action", "listAudioTaps"}})["data"]["count"], 1);

  // Not an aggregate device: nothing to read, so nothing added.
  const json stray = answerTo(cli, {{"id", "x"},
                                    {"action", "addTapToAggregate"},
                                    {"aggregateID", tap["data"]["id"]},
                                    {"tapUID", tapUID}});
  EXPECT_EQ(stray["code"], "execution_error");
}

// Every tap's stored configuration is written back, after the aggregate
// devices were seen to; the events come before the answer.
// `start` counts the frames that came before the command.
void expectEveryTapReapplied(CliProcess& cli, std::size_t start, const std::string& id,
                             const json& taps) {
  const auto frames = cli.frames().frames();
  const auto answer = indexOf(frames, [&](const Frame& f) { return isAnswer(f, id); });
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
  for (std::size_t i = 0; i < taps.size(); ++i) {
    json expected = taps[i];
    json got = updated[i];
    // Process sets are sets: compare them sorted.
    for (json* tap : {&expected, &got}) {
      std::sort((*tap)["processes"].begin(), (*tap)["processes"].end());
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(TapAggregateEndToEndTest, ADeviceSwitchReappliesEveryTapAndLeavesCompleteDevicesAlone) {
  ScenarioFile file(twoAggregates());
  CliProcess cli(file.options());
  answerTo(cli, {{"id", "c1"},
                 {"action", "createAudioTap"},
                 {"config",
                  {{"name", "Odd settings"}, {"mute", 2}, {"mixdown", 2}, {"isPrivate", true}}}});
  answerTo(cli, {{"id", "c2"}, {"action", "createSystemLevelTap"}});
  const json taps = answerTo(cli, {{"id", "l"}, {"action", "listAudioTaps"}})["data"]["taps"];
  ASSERT_EQ(taps.size(), 2u);
  const json before = answerTo(cli, {{"id", "g"}, {"action", "getAggregateDevices"}})["data"];

  const std::size_t start = cli.frames().frames().size();
  const json switched = answerTo(cli, {{"id", "sw"}, {"action", "handleDeviceSwitch"}});
  EXPECT_EQ(switched["data"]["message"],
            "Device switch handled. Updated aggregate devices and taps.");
  expectEveryTapReapplied(cli, start, "sw", taps);
  for (const auto& line : cli.err().lines()) {
    EXPECT_EQ(line.find("has different device count"), std::string::npos) << line;
  }
  EXPECT_EQ(answerTo(cli, {{"id", "g2"}, {"action", "getAggregateDevices"}})["data"], before);
}

TEST(TapAggregateEndToEndTest, ADeviceSwitchRebuildsADeviceWithoutLosingItsTap) {
  // The headset clocking "Meeting Recorder" goes away at 2.5 s.
  json scenario = {{"base", "default"},
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
                   {"timeline", {{{"at", 2.5}, {"event", "removeDevice"}, {"uid", kEarbudsUID}}}}};
  ScenarioFile file(scenario);
  CliProcess cli(file.options());
  const json made = answerTo(cli, {{"id", "a"}, {"action", "createAudioTapWithAllProcesses"}});
  ASSERT_EQ(made["success"], true);
  const std::string tapUID = made["data"]["uid"];
  const json joined = aggregateNamed(cli, "Meeting Recorder");
  ASSERT_EQ(joined["tapList"], json::array({tapUID}));
  const AudioObjectID id = joined["id"];

  ASSERT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        if (!f.isEvent("audioDeviceList")) return false;
        for (const auto& device : f.body["data"]["devices"]) {
          if (device["uid"] == kEarbudsUID) return false;
        }
        return true;
      },
      10s));
  const json taps = answerTo(cli, {{"id", "l"}, {"action", "listAudioTaps"}})["data"]["taps"];
  const std::size_t start = cli.frames().frames().size();
  answerTo(cli, {{"id", "sw"}, {"action", "handleDeviceSwitch"}});
  EXPECT_TRUE(cli.waitForLog("Aggregate device " + std::to_string(id) +
                             " has different device count. Re-adding devices."));
  expectEveryTapReapplied(cli, start, "sw", taps);
  const json rebuilt = aggregateNamed(cli, "Meeting Recorder");
  EXPECT_EQ(rebuilt["deviceList"], json::array({kMicrophoneUID}));
  EXPECT_EQ(rebuilt["tapList"], json::array({tapUID}));
}

}  // namespace
}  // namespace velmar
