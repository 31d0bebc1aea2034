// What a host relies on, through the executable: it chooses the device it
// records and learns what each stream is; compositions name things that
// exist; a recording whose device goes away ends; a start that cannot
// deliver audio says why and leaves nothing running; taps keep what they
// were made for and hear an application the moment it appears; every
// stream shares one timeline and every buffer lost on the way is announced.
#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/ToneAnalysis.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/RecordingConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::aggregateNamed;
using testing::answerTo;
using testing::ask;
using testing::audioFrames;
using testing::channelOf;
using testing::CliProcess;
using testing::command;
using testing::enableStreaming;
using testing::entryWith;
using testing::expectFields;
using testing::Frame;
using testing::machineWith;
using testing::processID;
using testing::scenarioAggregate;
using testing::ScenarioFile;
using testing::succeeds;
using testing::waitForAudio;
using namespace std::chrono_literals;

constexpr const char* kStudioUID = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
constexpr double kStudioTone = 660;

bool microphoneActive(CliProcess& cli, const std::string& id) {
  return ask(cli, id, "getMicrophoneStatus")["data"]["isActive"];
}

TEST(TrustedRecordingEndToEndTest, TheHostChoosesTheDeviceKnowsItsStreamsAndLearnsWhenItIsGone) {
  // Name order puts "A Meeting" first: without a choice it would record.
  ScenarioFile file(machineWith({scenarioAggregate("org.example.meeting", "A Meeting"),
                                 scenarioAggregate("org.example.studio", "B Studio", kStudioUID)}));
  CliProcess cli(file.options());
  const std::uint32_t studio = aggregateNamed(cli, "B Studio")["id"];
  const json tap = ask(cli, "t", "createSystemLevelTap");
  ASSERT_EQ(tap["success"], true) << tap.dump();
  const std::string tapUID = tap["data"]["uid"];

  // UIDs and IDs that name nothing are refused and nothing is written; one
  // tap that names nothing refuses a whole creation.
  const struct {
    const char* action;
    json params;
    std::string notFound;
  } refused[] = {
      {"addTapToAggregate",
       {{"aggregateID", studio}, {"tapUID", "no-such-tap"}},
       "Tap with UID no-such-tap"},
      {"addDeviceToAggregate",
       {{"aggregateID", studio}, {"deviceUID", "no-such-mic"}},
       "Device with UID no-such-mic"},
      {"removeDeviceFromAggregate",
       {{"aggregateID", studio}, {"deviceUID", "no-such-mic"}},
       "Device with UID no-such-mic"},
      {"createAggregateDevice", {{"tapUIDs", {tapUID, "no-such-tap"}}}, "Tap with UID no-such-tap"},
      {"startRecording", {{"deviceID", 999999}}, "Device with ID 999999"},
  };
  int request = 0;
  for (const auto& r : refused) {
    testing::expectRefusal(ask(cli, "x" + std::to_string(++request), r.action, r.params),
                           "resource_not_found",
                           "Resource not found: " + r.notFound + " not found");
  }
  const json untouched = aggregateNamed(cli, "B Studio");
  EXPECT_EQ(untouched["tapList"], json::array());
  EXPECT_EQ(untouched["deviceList"], json::array({kStudioUID}));
  EXPECT_EQ(ask(cli, "n0", "getAggregateDevices")["data"]["count"], 2);
  ASSERT_TRUE(
      succeeds(cli, "c4", "addTapToAggregate", {{"aggregateID", studio}, {"tapUID", tapUID}}));

  ASSERT_EQ(enableStreaming(cli)["success"], true);
  const json started = ask(cli, "r1", "startRecording", {{"deviceID", studio}});
  ASSERT_EQ(started["success"], true) << started.dump();
  EXPECT_EQ(started["data"]["deviceId"], studio);
  const auto announced = cli.frames().waitForEvent("recordingStarted");
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->body["data"]["deviceId"], studio);
  const json streams = announced->body["data"]["streams"];
  ASSERT_EQ(streams.size(), 2u) << streams.dump();
  EXPECT_EQ(streams[0], (json{{"streamIndex", 0},
                              {"kind", "device"},
                              {"uid", kStudioUID},
                              {"name", "Studio 2i2 USB"},
                              {"channels", 2},
                              {"sampleRate", 48000.0}}));
  expectFields(
      streams[1],
      {{"streamIndex", 1}, {"kind", "tap"}, {"uid", tapUID}, {"name", "System Audio Interceptor"}});

  // The map says what the audio is: the studio interface's tone on 0.
  ASSERT_TRUE(waitForAudio(cli, 0, 60));
  ASSERT_TRUE(waitForAudio(cli, 1, 60));
  EXPECT_TRUE(testing::hasTone(channelOf(audioFrames(cli, 0)), kStudioTone, 48000));
  for (std::uint32_t stream : {0u, 1u}) {
    const json data = audioFrames(cli, stream).front();
    EXPECT_EQ(data["actualChannels"], streams[stream]["channels"]) << stream;
    EXPECT_EQ(data["sampleRate"], streams[stream]["sampleRate"]) << stream;
  }

  // The recorded device goes away: the recording is over and says so once,
  // and no audio follows the report.
  ASSERT_TRUE(succeeds(cli, "d", "destroyAggregateDevice", {{"deviceID", studio}}));
  const auto isLoss = [](const Frame& f) {
    return f.isEvent("recordingError") &&
           f.body["data"]["error"] == "Recording device is no longer available";
  };
  ASSERT_TRUE(cli.frames().waitForFrame(isLoss, 10s));
  std::this_thread::sleep_for(300ms);
  const auto audioSoFar = audioFrames(cli).size();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(audioFrames(cli).size(), audioSoFar);
  EXPECT_EQ(testing::countFrames(cli, isLoss), 1u);
  expectFields(ask(cli, "st", "getRecordingStatus")["data"],
               {{"isRecording", false}, {"duration", 0.0}});
  EXPECT_EQ(ask(cli, "stop", "stopRecording"),
            (json{{"id", "stop"}, {"success", false}, {"error", "No recording to stop"}}));
}

// The device refuses the IO procedure once ('nope'): it would start without
// it and deliver nothing. It never reports running either, so a later start
// is made a second time without the procedure: that recording works, and
// stopping it stops that start too.
TEST(TrustedRecordingEndToEndTest, StartsThatCannotDeliverSayWhyAndLeaveNothingRunning) {
  ScenarioFile file(
      json{{"base", "default"},
           {"aggregateDevices", {scenarioAggregate("org.example.meeting", "Meeting")}},
           {"failures",
            {{{"operation", "deviceStart"}, {"status", "nope"}, {"times", 1}},
             {{"operation", "getPropertyData"}, {"selector", "goin"}}}}});
  CliProcess cli(file.options());
  // What the refusal says is the recorder's and the manager's tests'.
  EXPECT_EQ(ask(cli, "r1", "startRecording")["success"], false);
  EXPECT_TRUE(cli.frames().waitForEvent("recordingError"));
  EXPECT_FALSE(microphoneActive(cli, "m0"));
  EXPECT_EQ(ask(cli, "st", "getRecordingStatus")["data"]["isRecording"], false);

  // A device without input streams is refused with that reason.
  const std::uint32_t speaker = entryWith(ask(cli, "devices", "getAudioDevices")["data"]["devices"],
                                          "uid", "BuiltInSpeakerDevice")["id"];
  EXPECT_EQ(ask(cli, "r2", "startRecording", {{"deviceID", speaker}})["error"],
            "Failed to start recording: No input streams available for recording on device " +
                std::to_string(speaker));

  ASSERT_EQ(enableStreaming(cli)["success"], true);
  ASSERT_TRUE(succeeds(cli, "r3", "startRecording"));
  EXPECT_TRUE(cli.waitForLog("Start attempt result: 0"));
  ASSERT_TRUE(waitForAudio(cli, 0, 20));
  EXPECT_TRUE(microphoneActive(cli, "m1"));
  EXPECT_TRUE(succeeds(cli, "r4", "stopRecording"));
  EXPECT_FALSE(microphoneActive(cli, "m2"));
}

// Music plays from the start; another program taps Safari at 1 s; a
// podcast app appears playing at 6 s; Safari goes away at 9 s.
json aBusyMachine() {
  return {{"base", "default"},
          {"aggregateDevices", {scenarioAggregate("org.example.meeting", "Meeting")}},
          {"timeline",
           {{{"at", 1},
             {"event", "createTap"},
             {"name", "Screen Recorder"},
             {"uid", "org.example.recorder.tap"},
             {"pids", {1342}}},
            {{"at", 6},
             {"event", "addProcess"},
             {"process",
              {{"pid", 2410},
               {"name", "Podcasts"},
               {"bundleID", "com.apple.podcasts"},
               {"running", true},
               {"tone", 900}}}},
            {{"at", 9}, {"event", "removeProcess"}, {"pid", 1342}}}}};
}

json sortedProcesses(json tap) {
  std::sort(tap["processes"].begin(), tap["processes"].end());
  return tap["processes"];
}

TEST(TrustedRecordingEndToEndTest, TapsKeepWhatTheyWereMadeForAndHearNewcomersAtOnce) {
  ScenarioFile file(aBusyMachine());
  CliProcess cli(file.options());
  // No monitor report comes during the test: taps follow the list itself.
  ask(cli, "i", "setMonitoringInterval", {{"interval", 600}});
  const std::uint32_t music = processID(cli, 1201);
  const std::uint32_t safari = processID(cli, 1342);

  const json system = ask(cli, "t1", "createSystemLevelTap")["data"];
  const json allButNone =
      ask(cli, "t2", "createAudioTap",
          {{"config", {{"name", "All but none"}, {"exclusive", true}}}})["data"];
  const json chosen =
      ask(cli, "t3", "createAudioTap",
          {{"config", {{"name", "Chosen"}, {"processes", {music, safari}}}}})["data"];
  const auto foreign = cli.frames().waitForEvent("audioTapAdded", 10s);
  ASSERT_TRUE(foreign);
  const json theirs = foreign->body["data"];

  const std::uint32_t meeting = aggregateNamed(cli, "Meeting")["id"];
  ASSERT_TRUE(succeeds(cli, "a", "addTapToAggregate",
                       {{"aggregateID", meeting}, {"tapUID", system["uid"]}}));
  ASSERT_EQ(enableStreaming(cli)["success"], true);
  ASSERT_TRUE(succeeds(cli, "r", "startRecording"));

  // The podcast app appears: the system tap takes it in on the list change,
  // and its tone is in the tap stream.
  const auto added = cli.frames().waitForFrame(
      [](const Frame& f) {
        return f.isEvent("audioProcessAdded") && f.body["data"]["pid"] == 2410;
      },
      15s);
  ASSERT_TRUE(added);
  const std::uint32_t podcasts = added->body["data"]["id"];
  const auto joined = cli.frames().waitForFrame(
      [&](const Frame& f) {
        if (!f.isEvent("audioTapUpdated") || f.body["data"]["id"] != system["id"]) return false;
        const auto& processes = f.body["data"]["processes"];
        return std::find(processes.begin(), processes.end(), podcasts) != processes.end();
      },
      10s);
  ASSERT_TRUE(joined);
  const std::size_t from = audioFrames(cli, 1).size();
  ASSERT_TRUE(waitForAudio(cli, 1, from + 50));
  EXPECT_TRUE(testing::hasTone(channelOf(audioFrames(cli, 1), 0, from), 900, 48000));

  // After Safari leaves, a forced update keeps each tap's intent.
  ASSERT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioProcessRemoved") && f.body["data"]["id"] == safari;
      },
      15s));
  const std::size_t before = cli.frames().frames().size();
  ASSERT_TRUE(succeeds(cli, "f", "forceUpdateTaps"));
  ask(cli, "sw", "handleDeviceSwitch");
  const json taps = ask(cli, "l", "listAudioTaps")["data"]["taps"];
  EXPECT_EQ(sortedProcesses(entryWith(taps, "id", system["id"])),
            sortedProcesses(json{{"processes",
                                  {music, podcasts, processID(cli, 1460), processID(cli, 1588),
                                   processID(cli, 402)}}}));
  const json exclusive = entryWith(taps, "id", allButNone["id"]);
  EXPECT_EQ(exclusive["exclusive"], true);
  EXPECT_EQ(exclusive["processes"], json::array());
  EXPECT_EQ(entryWith(taps, "id", chosen["id"])["processes"], json::array({music}));
  // Another program's tap is reported, never written.
  EXPECT_EQ(entryWith(taps, "id", theirs["id"]), theirs);
  const auto frames = cli.frames().frames();
  for (std::size_t i = before; i < frames.size(); ++i) {
    if (frames[i].isEvent("audioTapUpdated")) {
      EXPECT_NE(frames[i].body["data"]["id"], theirs["id"]) << frames[i].body.dump();
    }
  }
  EXPECT_TRUE(cli.waitForLog("Leaving tap " + theirs["id"].dump() +
                             " as it is: this service did not make it"));
  EXPECT_TRUE(succeeds(cli, "stop", "stopRecording"));
}

std::uint64_t gapCount(CliProcess& cli) {
  std::uint64_t count = 0;
  for (const auto& gap : testing::eventData(cli, "audioGap"))
    count += gap["count"].get<std::uint64_t>();
  return count;
}

// `shape`: more "enableAudioStreaming" parameters; the buffers checked are
// the ones delivered, whatever they were made from.
void expectOneTimelineAndEveryLostBufferAnnounced(const json& shape) {
  ScenarioFile file(machineWith({scenarioAggregate("org.example.studio", "Studio", kStudioUID)}));
  CliProcess cli(file.options());
  const std::uint32_t studio = aggregateNamed(cli, "Studio")["id"];
  const json tap = ask(cli, "t", "createSystemLevelTap");
  ASSERT_TRUE(succeeds(cli, "a", "addTapToAggregate",
                       {{"aggregateID", studio}, {"tapUID", tap["data"]["uid"]}}));
  json params{{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", 2}, {"timeline", true}};
  params.update(shape);
  const json enabled = ask(cli, "s", "enableAudioStreaming", params);
  ASSERT_EQ(enabled["data"]["timeline"], true) << enabled.dump();
  ASSERT_TRUE(succeeds(cli, "r1", "startRecording"));
  ASSERT_TRUE(waitForAudio(cli, 0, 50));
  ASSERT_TRUE(waitForAudio(cli, 1, 50));

  // Each stream counts from 0 without holes; a cycle's buffers share one
  // time; `frames` is what the bytes hold.
  std::vector<std::vector<json>> early{audioFrames(cli, 0), audioFrames(cli, 1)};
  for (const auto& frames : early) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      ASSERT_EQ(frames[i]["sequence"], i) << frames[i].dump();
      EXPECT_EQ(frames[i]["frames"].get<std::size_t>() *
                    frames[i]["actualChannels"].get<std::size_t>() * 2,
                frames[i]["bufferSize"].get<std::size_t>());
      if (i > 0) {
        EXPECT_GE(frames[i]["hostTime"], frames[i - 1]["hostTime"]);
      }
    }
  }
  for (std::size_t i = 0; i < std::min(early[0].size(), early[1].size()); ++i) {
    EXPECT_EQ(early[0][i]["hostTime"], early[1][i]["hostTime"]) << i;
  }

  // Two stereo streams make about 600 KB of frames a second: a host that
  // does not read for 6 s overflows the 2 MiB queue. A command it sent
  // meanwhile is answered once it reads again.
  cli.out().pause();
  cli.send(command("during", "ping"));
  std::this_thread::sleep_for(6s);
  cli.out().resume();
  EXPECT_TRUE(cli.frames().waitForResponse("during", 20s));
  ASSERT_TRUE(cli.waitForLog("audio frames dropped", 20s));
  const std::size_t after = audioFrames(cli, 1).size();
  ASSERT_TRUE(waitForAudio(cli, 1, after + 50, 30s));
  ASSERT_EQ(answerTo(cli, command("r2", "stopRecording"), 20s)["success"], true);
  const std::uint64_t dropped =
      answerTo(cli, command("st", "getAudioStreamingStatus"), 20s)["data"]["droppedBuffers"];
  ASSERT_GT(dropped, 0u);
  // Every lost buffer is announced, none twice.
  const auto isGap = [](const Frame& f) { return f.isEvent("audioGap"); };
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (gapCount(cli) < dropped && std::chrono::steady_clock::now() < deadline) {
    cli.frames().waitForFrames(isGap, testing::eventData(cli, "audioGap").size() + 1, 2s);
  }
  EXPECT_EQ(gapCount(cli), dropped);

  // The holes in each stream's numbering are exactly the gaps, each
  // announced between the buffers around it.
  const auto frames = cli.frames().frames();
  for (std::uint32_t stream : {0u, 1u}) {
    std::uint64_t next = 0;
    std::uint64_t bufferFrames = 0;
    std::uint64_t pendingCount = 0;
    for (const auto& frame : frames) {
      // Responses may carry no data at all: only the two events are read.
      if (!frame.isEvent("audioGap") && !frame.isEvent("audioData")) continue;
      const json& data = frame.body["data"];
      if (frame.isEvent("audioGap") && data["streamIndex"] == stream) {
        EXPECT_EQ(pendingCount, 0u) << "two gaps in a row: " << data.dump();
        EXPECT_EQ(data["fromSequence"], next) << data.dump();
        pendingCount = data["count"];
        EXPECT_GT(pendingCount, 0u);
        EXPECT_EQ(data["frames"], pendingCount * bufferFrames) << data.dump();
      } else if (frame.isEvent("audioData") && data["streamIndex"] == stream) {
        const std::uint64_t sequence = data["sequence"];
        EXPECT_EQ(sequence, next + pendingCount) << "a hole nobody announced: " << data.dump();
        next = sequence + 1;
        pendingCount = 0;
        bufferFrames = data["frames"];
      }
    }
  }
}

// As recorded, and converted (the mono tap made stereo) and joined into
// 20 ms chunks by the worker, which numbers what it delivers.
TEST(TrustedRecordingEndToEndTest, OneTimelineForEveryStreamAndEveryLostBufferAnnounced) {
  for (const json& shape : {json::object(), json{{"convert", true}, {"chunkMs", 20}}}) {
    SCOPED_TRACE(shape.dump());
    expectOneTimelineAndEveryLostBufferAnnounced(shape);
  }
}

}  // namespace
}  // namespace velmar
