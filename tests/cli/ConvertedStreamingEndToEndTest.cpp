// Streams in the format the host asks for, through the executable: `convert`
// delivers the configured rate and channels (the microphone's tone still
// where it was), `chunkMs` joins buffers into chunks of that length, both
// are checked before anything changes, and hosts that ask for neither see
// nothing new.
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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
using testing::ScenarioFile;
using testing::waitForAudio;
using namespace std::chrono_literals;

constexpr double kMicrophoneTone = 440;

// A machine whose one aggregate device records the built-in microphone (one
// channel at 48 kHz, a 440 Hz tone).
json microphoneMachine() {
  return {{"base", "default"},
          {"aggregateDevices", {testing::scenarioAggregate("org.example.meeting", "Meeting")}}};
}

// Answers are told apart by id: each request gets its own.
json enable(CliProcess& cli, const json& extra) {
  static int request = 0;
  json params{{"format", "pcm16"}, {"sampleRate", 16000}, {"channels", 1}};
  params.update(extra);
  return answerTo(cli, command("s" + std::to_string(++request), "enableAudioStreaming", params));
}

std::vector<float> channelOf(const std::vector<json>& frames, std::size_t channel) {
  std::vector<float> signal;
  for (const auto& data : frames) {
    const auto samples = testing::pcmChannel(data, channel);
    signal.insert(signal.end(), samples.begin(), samples.end());
  }
  return signal;
}

TEST(ConvertedStreamingEndToEndTest, SixteenKilohertzMonoInChunksOfAHundredMilliseconds) {
  ScenarioFile file(microphoneMachine());
  CliProcess cli(file.options());
  const json enabled = enable(cli, {{"convert", true}, {"chunkMs", 100}, {"timeline", true}});
  ASSERT_EQ(enabled["success"], true) << enabled.dump();
  EXPECT_EQ(enabled["data"]["convert"], true);
  EXPECT_EQ(enabled["data"]["chunkMs"], 100);
  ASSERT_EQ(answerTo(cli, command("r1", "startRecording"))["success"], true);
  ASSERT_TRUE(waitForAudio(cli, 0, 10));

  // 100 ms × 16000 frames/s × 2 bytes, numbered without holes, each chunk
  // timed by the input buffer its first frame came from: ten buffers later
  // each time (IO cycles run on the machine's clock, so give or take a
  // late cycle).
  const auto chunks = audioFrames(cli, 0);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const json& chunk = chunks[i];
    EXPECT_EQ(chunk["bufferSize"], 3200) << chunk.dump();
    EXPECT_EQ(chunk["frames"], 1600);
    EXPECT_EQ(chunk["sampleRate"], 16000.0);
    EXPECT_EQ(chunk["actualChannels"], 1);
    EXPECT_EQ(chunk["channels"], 1);
    EXPECT_EQ(chunk["sequence"], i);
    if (i > 0) {
      EXPECT_GT(chunk["hostTime"], chunks[i - 1]["hostTime"]);
    }
  }
  const double span = chunks.back()["hostTime"].get<double>() - chunks[0]["hostTime"].get<double>();
  EXPECT_NEAR(span / static_cast<double>(chunks.size() - 1), 0.1, 0.02) << span;
  // The tone is heard at 440 Hz at the new rate, not where unconverted
  // 48 kHz samples read at 16 kHz would put it.
  const auto signal = channelOf(chunks, 0);
  EXPECT_TRUE(testing::hasTone(signal, kMicrophoneTone, 16000));
  EXPECT_FALSE(testing::hasTone(signal, kMicrophoneTone / 3, 16000));

  // Stopping delivers what was still being joined, and then nothing more.
  ASSERT_EQ(answerTo(cli, command("r2", "stopRecording"))["success"], true);
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
  const json status = answerTo(cli, command("st", "getAudioStreamingStatus"));
  EXPECT_EQ(status["data"]["convert"], true);
  EXPECT_EQ(status["data"]["chunkMs"], 100);
  EXPECT_EQ(status["data"]["droppedBuffers"], 0);
  EXPECT_EQ(audioFrames(cli, 0).size(), all.size());
}

TEST(ConvertedStreamingEndToEndTest, AMonoMicrophoneIsDuplicatedIntoStereo) {
  ScenarioFile file(microphoneMachine());
  CliProcess cli(file.options());
  ASSERT_EQ(enable(cli, {{"sampleRate", 24000}, {"channels", 2}, {"convert", true}})["success"],
            true);
  ASSERT_EQ(answerTo(cli, command("r1", "startRecording"))["success"], true);
  ASSERT_TRUE(waitForAudio(cli, 0, 50));
  const auto frames = audioFrames(cli, 0);
  for (const auto& data : frames) {
    ASSERT_EQ(data["actualChannels"], 2) << data.dump();
    EXPECT_EQ(data["channels"], 2);
    EXPECT_EQ(data["sampleRate"], 24000.0);
  }
  const auto left = channelOf(frames, 0);
  EXPECT_EQ(left, channelOf(frames, 1));
  EXPECT_TRUE(testing::hasTone(left, kMicrophoneTone, 24000));
  // No timeline asked for: none given.
  EXPECT_FALSE(frames.front().contains("sequence"));
}

TEST(ConvertedStreamingEndToEndTest, ShapesAreCheckedBeforeAnythingChanges) {
  CliProcess cli;
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
  const json status = answerTo(cli, command("st", "getAudioStreamingStatus"))["data"];
  EXPECT_EQ(status["convert"], true);
  EXPECT_EQ(status["chunkMs"], 5000);

  // Hosts that ask for neither see exactly what they saw before.
  const json plain = enable(cli, json::object());
  EXPECT_EQ(plain["data"], (json{{"format", "pcm16"}, {"sampleRate", 16000}, {"channels", 1}}));
  const json status2 = answerTo(cli, command("st2", "getAudioStreamingStatus"))["data"];
  std::set<std::string> keys;
  for (const auto& [key, value] : status2.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"channels", "droppedBuffers", "enabled", "format",
                                         "sampleRate"}));
}

}  // namespace
}  // namespace velmar
