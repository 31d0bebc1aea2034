// Recording and streaming through the executable, as a host drives it: the
// microphone and the system audio arrive as their own "audioData" streams
// with their own tones, the duration leaves out pauses, and failures are
// reported. A host that stops reading while audio flows is the timeline
// test's (TrustedRecordingEndToEndTest).
#include <cstdint>
#include <map>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/SimulatedMachine.h"
#include "sim/ToneAnalysis.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::answerTo;
using testing::audioFrames;
using testing::CliProcess;
using testing::command;
using testing::enableStreaming;
using testing::Frame;
using testing::ScenarioFile;
using testing::waitForAudio;
using namespace std::chrono_literals;

constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";

std::size_t countEvents(CliProcess& cli, const std::string& name, const json& data) {
  std::size_t count = 0;
  for (const auto& frame : cli.frames().frames())
    count += frame.isEvent(name) && frame.body["data"] == data;
  return count;
}

// The aggregate device of the README's session: the built-in microphone and
// a tap over every process. Returns its ID.
std::uint32_t prepareMicrophoneAndSystemAudio(CliProcess& cli) {
  const json created = answerTo(cli, command("p1", "createAggregateDevice"));
  EXPECT_EQ(created["success"], true) << created.dump();
  const std::uint32_t aggregate = created["data"]["deviceID"];
  EXPECT_EQ(answerTo(cli, command("p2", "addDeviceToAggregate",
                                  {{"aggregateID", aggregate},
                                   {"deviceUID", kMicrophoneUID}}))["success"],
            true);
  const json tap = answerTo(cli, command("p3", "createSystemLevelTap"));
  EXPECT_EQ(tap["success"], true) << tap.dump();
  EXPECT_EQ(answerTo(cli, command("p4", "addTapToAggregate",
                                  {{"aggregateID", aggregate},
                                   {"tapUID", tap["data"]["uid"]}}))["success"],
            true);
  return aggregate;
}

TEST(RecordingSessionEndToEndTest, MicrophoneAndSystemAudioArriveAsTheirOwnStreams) {
  // The same default machine the service runs on, read here for its tones.
  auto& machine = sim::SimulatedMachine::install();
  const double microphoneTone = machine.hardware().deviceToneFrequency(kMicrophoneUID);
  std::vector<double> processTones;
  for (const auto& process : machine.hardware().processes()) {
    if (process.running)
      processTones.push_back(machine.hardware().processToneFrequency(process.pid));
  }
  ASSERT_GT(microphoneTone, 0);
  ASSERT_FALSE(processTones.empty());

  CliProcess cli;
  const auto aggregate = prepareMicrophoneAndSystemAudio(cli);
  ASSERT_EQ(enableStreaming(cli)["success"], true);
  const json started = answerTo(cli, command("r1", "startRecording"));
  ASSERT_EQ(started["success"], true) << started.dump();
  EXPECT_EQ(started["data"], (json{{"streamingMode", true}, {"deviceId", aggregate}}));
  ASSERT_TRUE(waitForAudio(cli, 0, 120));
  ASSERT_TRUE(waitForAudio(cli, 1, 120));

  const std::set<std::string> keys = {"actualChannels", "buffer",     "bufferSize",  "channels",
                                      "format",         "sampleRate", "streamIndex", "timestamp"};
  std::map<std::uint32_t, std::vector<float>> signal;
  std::map<std::uint32_t, std::vector<double>> times;
  for (const auto& data : audioFrames(cli)) {
    std::set<std::string> seen;
    for (const auto& [key, value] : data.items()) seen.insert(key);
    ASSERT_EQ(seen, keys) << data.dump();
    EXPECT_EQ(data["format"], "pcm16");
    EXPECT_EQ(data["sampleRate"], 48000.0);
    EXPECT_EQ(data["channels"], data["actualChannels"]);
    const std::uint32_t stream = data["streamIndex"];
    ASSERT_LT(stream, 2u);
    const auto samples = testing::pcmChannel(data);
    if (signal[stream].size() < 48000)
      signal[stream].insert(signal[stream].end(), samples.begin(), samples.end());
    times[stream].push_back(data["timestamp"]);
  }

  // The microphone's tone on stream 0 only, the tapped processes' on 1 only.
  EXPECT_TRUE(testing::hasTone(signal[0], microphoneTone, 48000)) << microphoneTone;
  for (double tone : processTones) {
    EXPECT_TRUE(testing::hasTone(signal[1], tone, 48000)) << tone;
    EXPECT_FALSE(testing::hasTone(signal[0], tone, 48000)) << tone;
  }
  EXPECT_FALSE(testing::hasTone(signal[1], microphoneTone, 48000));

  // Buffers come no faster than the audio they carry (10 ms each).
  const auto& stamps = times[0];
  ASSERT_GE(stamps.size(), 120u);
  EXPECT_GE(stamps.back() - stamps.front(), 0.5 * 0.010 * static_cast<double>(stamps.size() - 1));

  // That no cycle follows a stop is the HAL suite's to check.
  EXPECT_EQ(answerTo(cli, command("r2", "stopRecording"))["success"], true);
}

TEST(RecordingSessionEndToEndTest, TheHostIsToldThereIsNoDeviceAndTheDurationLeavesOutPauses) {
  CliProcess cli;
  const json refused = answerTo(cli, command("r0", "startRecording"));
  EXPECT_EQ(refused["success"], false);
  EXPECT_EQ(refused["error"], "No aggregate devices available");
  EXPECT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        return f.isEvent("recordingError") &&
               f.body["data"] == json{{"error", "No aggregate devices available"}};
      },
      5s));
  const json before = answerTo(cli, command("q0", "getRecordingStatus"));
  EXPECT_EQ(before["data"],
            (json{{"isRecording", false},
                  {"isPaused", false},
                  {"duration", 0.0},
                  {"filePath", nullptr},
                  {"deviceId", 0},
                  {"deviceName", "Unknown Device"},
                  {"deviceInfo", {{"deviceId", 0}, {"deviceName", "Unknown Device"}}}}));
  prepareMicrophoneAndSystemAudio(cli);

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  ASSERT_EQ(answerTo(cli, command("r1", "startRecording"))["success"], true);
  const auto startAnswered = Clock::now();
  std::this_thread::sleep_for(700ms);
  const auto pauseSent = Clock::now();
  ASSERT_EQ(answerTo(cli, command("r2", "pauseRecording"))["data"],
            (json{{"isPaused", true}, {"isRecording", true}}));
  const auto pauseAnswered = Clock::now();
  std::this_thread::sleep_for(1000ms);
  const auto resumeSent = Clock::now();
  ASSERT_EQ(answerTo(cli, command("r3", "resumeRecording"))["data"],
            (json{{"isPaused", false}, {"isRecording", true}}));
  const auto resumeAnswered = Clock::now();
  std::this_thread::sleep_for(700ms);
  const auto stopSent = Clock::now();
  const json stopped = answerTo(cli, command("r4", "stopRecording"));
  const auto stopAnswered = Clock::now();
  ASSERT_EQ(stopped["success"], true);

  // The service's clock runs between when each command was sent and
  // answered; the bounds hold however slow the machine is.
  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  const double longest = seconds(stopAnswered - started) - seconds(resumeSent - pauseAnswered);
  const double shortest = seconds(stopSent - startAnswered) - seconds(resumeAnswered - pauseSent);
  const double duration = stopped["data"]["duration"];
  EXPECT_GE(duration, shortest - 0.25);
  EXPECT_LE(duration, longest + 0.25);
  EXPECT_LT(duration,
            seconds(stopAnswered - started) - 0.5);  // the pause is left out

  const json after = answerTo(cli, command("q1", "getRecordingStatus"));
  EXPECT_EQ(after["data"]["isRecording"], false);
  EXPECT_EQ(after["data"]["isPaused"], false);
  EXPECT_EQ(after["data"]["duration"], 0.0);
  EXPECT_EQ(after["data"]["filePath"], "/tmp/streaming_mode_placeholder");

  // Stopping while paused leaves out the pause in progress.
  ASSERT_EQ(answerTo(cli, command("r5", "startRecording"))["success"], true);
  const auto secondStart = Clock::now();
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(answerTo(cli, command("r6", "pauseRecording"))["success"], true);
  const auto secondPause = Clock::now();
  std::this_thread::sleep_for(1000ms);
  const json stoppedPaused = answerTo(cli, command("r7", "stopRecording"));
  EXPECT_LE(stoppedPaused["data"]["duration"].get<double>(),
            seconds(secondPause - secondStart) + 0.25);
  const json last = answerTo(cli, command("q2", "getRecordingStatus"));
  EXPECT_EQ(last["data"]["isPaused"], false);
  EXPECT_EQ(last["data"]["duration"], 0.0);
  EXPECT_EQ(answerTo(cli, command("r8", "resumeRecording"))["error"], "No recording to resume");
}

TEST(RecordingSessionEndToEndTest, ADeviceThatDiesWhileRecordingIsReportedOnce) {
  // The device dies late enough that even a sanitizer build records by then.
  ScenarioFile file(
      {{"base", "default"},
       {"aggregateDevices",
        {{{"uid", "dying-aggregate"},
          {"name", "Dying Aggregate"},
          {"subdevices", {kMicrophoneUID}}}}},
       {"timeline", {{{"at", 8}, {"event", "killDevice"}, {"uid", "dying-aggregate"}}}}});
  CliProcess cli(file.options());
  ASSERT_EQ(enableStreaming(cli)["success"], true);
  ASSERT_EQ(answerTo(cli, command("r1", "startRecording"))["success"], true);
  ASSERT_TRUE(waitForAudio(cli, 0, 20));

  const json lost = {{"error", "Recording device is no longer available"}};
  ASSERT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) { return f.isEvent("recordingError") && f.body["data"] == lost; }, 20s));
  // No audio after the loss, one report only, and the service still answers.
  std::this_thread::sleep_for(300ms);
  const auto count = audioFrames(cli).size();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(audioFrames(cli).size(), count);
  EXPECT_EQ(countEvents(cli, "recordingError", lost), 1u);
  EXPECT_EQ(answerTo(cli, command("p", "ping"))["success"], true);
  EXPECT_EQ(answerTo(cli, command("r2", "stopRecording"))["error"], "No recording to stop");
}

}  // namespace
}  // namespace velmar
