// Recording and streaming through the executable, as a host drives it: the
// microphone and the system audio arrive as their own "audioData" streams
// with their own tones, the duration leaves out pauses, and failures are
// reported; streams in the format the host asks for. A host that stops
// reading while audio flows is the timeline test's
// (TrustedRecordingEndToEndTest).
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimulatedMachine.h"
#include "sim/ToneAnalysis.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/RecordingConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::ask;
using testing::audioFrames;
using testing::channelOf;
using testing::CliProcess;
using testing::enableStreaming;
using testing::expectFields;
using testing::Frame;
using testing::ScenarioFile;
using testing::succeeds;
using testing::waitForAudio;
using namespace std::chrono_literals;

constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";

// The default machine: without an aggregate device the host is told so;
// with the microphone and a tap over every process, each arrives as its own
// stream with its own tones; the duration leaves out pauses.
TEST(RecordingSessionEndToEndTest, NoDeviceIsToldThenStreamsArriveApartAndPausesAreLeftOut) {
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
  const json refused = ask(cli, "r0", "startRecording");
  EXPECT_EQ(refused["success"], false);
  EXPECT_EQ(refused["error"], "No aggregate devices available");
  EXPECT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        return f.isEvent("recordingError") &&
               f.body["data"] == json{{"error", "No aggregate devices available"}};
      },
      5s));
  const json before = ask(cli, "q0", "getRecordingStatus");
  EXPECT_EQ(before["data"],
            (json{{"isRecording", false},
                  {"isPaused", false},
                  {"duration", 0.0},
                  {"filePath", nullptr},
                  {"deviceId", 0},
                  {"deviceName", "Unknown Device"},
                  {"deviceInfo", {{"deviceId", 0}, {"deviceName", "Unknown Device"}}}}));
  // The aggregate device of the README's session: the built-in microphone
  // and a tap over every process.
  const std::uint32_t aggregate = ask(cli, "p1", "createAggregateDevice")["data"]["deviceID"];
  ASSERT_TRUE(succeeds(cli, "p2", "addDeviceToAggregate",
                       {{"aggregateID", aggregate}, {"deviceUID", kMicrophoneUID}}));
  const json tap = ask(cli, "p3", "createSystemLevelTap");
  ASSERT_TRUE(succeeds(cli, "p4", "addTapToAggregate",
                       {{"aggregateID", aggregate}, {"tapUID", tap["data"]["uid"]}}));
  ASSERT_EQ(enableStreaming(cli)["success"], true);
  const json recording = ask(cli, "m1", "startRecording");
  ASSERT_EQ(recording["data"], (json{{"streamingMode", true}, {"deviceId", aggregate}}));
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
    expectFields(
        data, {{"format", "pcm16"}, {"sampleRate", 48000.0}, {"channels", data["actualChannels"]}});
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
  EXPECT_TRUE(succeeds(cli, "m2", "stopRecording"));

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  ASSERT_TRUE(succeeds(cli, "r1", "startRecording"));
  const auto startAnswered = Clock::now();
  std::this_thread::sleep_for(700ms);
  const auto pauseSent = Clock::now();
  ASSERT_EQ(ask(cli, "r2", "pauseRecording")["data"],
            (json{{"isPaused", true}, {"isRecording", true}}));
  const auto pauseAnswered = Clock::now();
  std::this_thread::sleep_for(1000ms);
  const auto resumeSent = Clock::now();
  ASSERT_EQ(ask(cli, "r3", "resumeRecording")["data"],
            (json{{"isPaused", false}, {"isRecording", true}}));
  const auto resumeAnswered = Clock::now();
  std::this_thread::sleep_for(700ms);
  const auto stopSent = Clock::now();
  const json stopped = ask(cli, "r4", "stopRecording");
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

  expectFields(ask(cli, "q1", "getRecordingStatus")["data"],
               {{"isRecording", false},
                {"isPaused", false},
                {"duration", 0.0},
                {"filePath", "/tmp/streaming_mode_placeholder"}});

  // Stopping while paused leaves out the pause in progress.
  ASSERT_TRUE(succeeds(cli, "r5", "startRecording"));
  const auto secondStart = Clock::now();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(succeeds(cli, "r6", "pauseRecording"));
  const auto secondPause = Clock::now();
  std::this_thread::sleep_for(1000ms);
  const json stoppedPaused = ask(cli, "r7", "stopRecording");
  EXPECT_LE(stoppedPaused["data"]["duration"].get<double>(),
            seconds(secondPause - secondStart) + 0.25);
  expectFields(ask(cli, "q2", "getRecordingStatus")["data"],
               {{"isPaused", false}, {"duration", 0.0}});
  EXPECT_EQ(ask(cli, "r8", "resumeRecording")["error"], "No recording to resume");
}

constexpr double kMicrophoneTone = 440;

// Answers are told apart by id: each request gets its own.
json enable(CliProcess& cli, const json& extra) {
  static int request = 0;
  json params{{"format", "pcm16"}, {"sampleRate", 16000}, {"channels", 1}};
  params.update(extra);
  return ask(cli, "s" + std::to_string(++request), "enableAudioStreaming", params);
}

// Streams in the format the host asks for, on a machine whose one aggregate
// device records the built-in microphone (one channel at 48 kHz, a 440 Hz
// tone): shapes are checked before anything changes, and hosts that ask for
// neither conversion nor chunks see nothing new; then 16 kHz mono in chunks
// of 100 ms, each numbered and timed; then the mono microphone duplicated
// into stereo, without a timeline.
TEST(ConvertedStreamingEndToEndTest, ShapesAreCheckedThenConvertedChunkedAndDuplicated) {
  ScenarioFile file(
      testing::machineWith({testing::scenarioAggregate("org.example.meeting", "Meeting")}));
  CliProcess cli(file.options());
  const std::string chunkError =
      "Invalid chunkMs: must be a whole number of milliseconds from 10 to 5000";
  const std::string rateError = "Invalid sampleRate for convert: must be from 1000 to 768000 Hz";
  struct Case {
    json params;
    std::string error;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {{{"chunkMs", 9}}, chunkError},
      {{{"chunkMs", 5001}}, chunkError},
      {{{"chunkMs", 20.5}}, chunkError},
      {{{"chunkMs", "100"}}, chunkError},
      {{{"chunkMs", 10}}, ""},
      {{{"chunkMs", 5000}}, ""},
      {{{"convert", true}, {"sampleRate", 0}}, rateError},
      {{{"convert", true}, {"sampleRate", -16000}}, rateError},
      {{{"convert", true}, {"sampleRate", 100000000}}, rateError},
      {{{"convert", "yes"}}, "Invalid convert: must be true or false"},
      {{{"convert", true}, {"channels", 0}}, "Invalid channels for convert: must be from 1 to 32"},
      {{{"convert", true}, {"sampleRate", 48000}, {"channels", 2}, {"chunkMs", 5000}},
       "Invalid chunkMs: 5000 ms at 48000 Hz and 2 channels make events over 1048576 bytes"},
      {{{"convert", true}, {"chunkMs", 5000}}, ""},
  };
  for (const auto& entry : cases) {
    const json answer = enable(cli, entry.params);
    if (entry.error.empty()) {
      EXPECT_EQ(answer["success"], true) << entry.params.dump() << answer.dump();
      for (const auto& [key, value] : entry.params.items()) {
        EXPECT_EQ(answer["data"][key], value) << entry.params.dump();
      }
    } else {
      EXPECT_EQ(answer["success"], false) << entry.params.dump();
      EXPECT_EQ(answer["error"], entry.error) << entry.params.dump();
      EXPECT_FALSE(answer.contains("data")) << answer.dump();
    }
  }
  // A refused shape leaves the settings as they were.
  expectFields(ask(cli, "st", "getAudioStreamingStatus")["data"],
               {{"convert", true}, {"chunkMs", 5000}});

  // Hosts that ask for neither see exactly what they saw before.
  const json plain = enable(cli, json::object());
  EXPECT_EQ(plain["data"], (json{{"format", "pcm16"}, {"sampleRate", 16000}, {"channels", 1}}));
  const json status2 = ask(cli, "st2", "getAudioStreamingStatus")["data"];
  std::set<std::string> keys;
  for (const auto& [key, value] : status2.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"channels", "droppedBuffers", "enabled", "format",
                                         "sampleRate"}));

  const json enabled = enable(cli, {{"convert", true}, {"chunkMs", 100}, {"timeline", true}});
  ASSERT_EQ(enabled["success"], true) << enabled.dump();
  expectFields(enabled["data"], {{"convert", true}, {"chunkMs", 100}});
  ASSERT_TRUE(succeeds(cli, "r1", "startRecording"));
  ASSERT_TRUE(waitForAudio(cli, 0, 10));

  // 100 ms × 16000 frames/s × 2 bytes, numbered without holes, each chunk
  // timed by the input buffer its first frame came from: ten buffers later
  // each time (IO cycles run on the machine's clock, so give or take a
  // late cycle).
  const auto chunks = audioFrames(cli, 0);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    expectFields(chunks[i], {{"bufferSize", 3200},
                             {"frames", 1600},
                             {"sampleRate", 16000.0},
                             {"actualChannels", 1},
                             {"channels", 1},
                             {"sequence", i}});
    if (i > 0) {
      EXPECT_GT(chunks[i]["hostTime"], chunks[i - 1]["hostTime"]);
    }
  }
  const double span = chunks.back()["hostTime"].get<double>() - chunks[0]["hostTime"].get<double>();
  EXPECT_NEAR(span / static_cast<double>(chunks.size() - 1), 0.1, 0.02) << span;
  // The tone is heard at 440 Hz at the new rate, not where unconverted
  // 48 kHz samples read at 16 kHz would put it.
  const auto converted = channelOf(chunks);
  EXPECT_TRUE(testing::hasTone(converted, kMicrophoneTone, 16000));
  EXPECT_FALSE(testing::hasTone(converted, kMicrophoneTone / 3, 16000));

  // Stopping delivers what was still being joined, and then nothing more.
  ASSERT_TRUE(succeeds(cli, "r2", "stopRecording"));
  auto all = audioFrames(cli, 0);
  // Until 300 ms pass without a chunk (at most 5 s).
  for (int quiet = 0, round = 0; quiet < 3 && round < 50; ++round) {
    std::this_thread::sleep_for(100ms);
    const std::size_t before = all.size();
    all = audioFrames(cli, 0);
    quiet = all.size() == before ? quiet + 1 : 0;
  }
  for (std::size_t i = 0; i + 1 < all.size(); ++i) EXPECT_EQ(all[i]["frames"], 1600) << i;
  EXPECT_GE(all.back()["frames"], 1);
  EXPECT_LE(all.back()["frames"], 1600);
  EXPECT_EQ(all.back()["sequence"], all.size() - 1);
  expectFields(ask(cli, "st3", "getAudioStreamingStatus")["data"],
               {{"convert", true}, {"chunkMs", 100}, {"droppedBuffers", 0}});
  EXPECT_EQ(audioFrames(cli, 0).size(), all.size());

  ASSERT_EQ(enable(cli, {{"sampleRate", 24000}, {"channels", 2}, {"convert", true}})["success"],
            true);
  const std::size_t from = audioFrames(cli, 0).size();
  ASSERT_TRUE(succeeds(cli, "r3", "startRecording"));
  ASSERT_TRUE(waitForAudio(cli, 0, from + 50));
  const auto frames = audioFrames(cli, 0);
  for (std::size_t i = from; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i]["actualChannels"], 2) << frames[i].dump();
    expectFields(frames[i], {{"channels", 2}, {"sampleRate", 24000.0}});
  }
  const auto left = channelOf(frames, 0, from);
  EXPECT_EQ(left, channelOf(frames, 1, from));
  EXPECT_TRUE(testing::hasTone(left, kMicrophoneTone, 24000));
  // No timeline asked for: none given.
  EXPECT_FALSE(frames[from].contains("sequence"));
}

}  // namespace
}  // namespace velmar
