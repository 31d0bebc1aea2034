// The service on a real PipeWire daemon, driven as a host drives it: real
// players are listed with their pids, a tap hears the player it names and no
// other, the microphone its own tone, a system tap every player, and the
// players keep playing to the speakers while they are tapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>

#include "PipeWireSession.h"
#include "sim/ToneAnalysis.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::ask;
using testing::CliProcess;
using testing::Frame;
using testing::PipeWireSession;
using namespace std::chrono_literals;

// What the session script plays into the virtual microphone.
constexpr double kMicrophoneTone = 300;
constexpr const char* kMicrophoneUID = "ci-mic";
constexpr const char* kSpeakersUID = "ci-sink";
constexpr double kRate = 48000;

CliProcess::Options onPipeWire(const PipeWireSession& session) {
  return {{"--platform", "pipewire"}, session.environment()};
}

// The process list once it holds every pid in `pids` as running; retries
// while the players are still starting.
json runningProcesses(CliProcess& cli, const std::vector<pid_t>& pids) {
  json list;
  for (int attempt = 0; attempt < 40; ++attempt) {
    list = ask(cli, "l" + std::to_string(attempt), "listAudioProcesses");
    std::size_t found = 0;
    for (const auto& process : list["data"]["processes"]) {
      for (pid_t pid : pids) found += process["pid"] == pid && process["isRunning"] == true;
    }
    if (found == pids.size()) return list;
    std::this_thread::sleep_for(250ms);
  }
  ADD_FAILURE() << "players not listed as running: " << list.dump();
  return list;
}

json processOf(const json& list, pid_t pid) {
  return testing::entryWith(list["data"]["processes"], "pid", pid);
}

// The answer's data; the test fails when the command does not succeed.
json dataOf(CliProcess& cli, const std::string& id, const std::string& action,
            json params = json::object()) {
  const json answer = ask(cli, id, action, std::move(params));
  EXPECT_EQ(answer["success"], true) << answer.dump();
  return answer["data"];
}

// A new aggregate of those devices and taps; its id.
std::uint32_t aggregateOf(CliProcess& cli, const std::vector<std::string>& devices,
                          const std::vector<std::string>& taps) {
  const std::uint32_t aggregate = dataOf(cli, "a", "createAggregateDevice")["deviceID"];
  for (const auto& uid : devices)
    dataOf(cli, "d-" + uid, "addDeviceToAggregate",
           {{"aggregateID", aggregate}, {"deviceUID", uid}});
  for (const auto& uid : taps)
    dataOf(cli, "t-" + uid, "addTapToAggregate", {{"aggregateID", aggregate}, {"tapUID", uid}});
  return aggregate;
}

void streamPcm16(CliProcess& cli, int channels) {
  dataOf(cli, "e", "enableAudioStreaming",
         {{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", channels}});
}

// Records `seconds` of audio from an aggregate of the given device and taps
// and returns, per stream, its first channel and the frames it delivered.
struct Recorded {
  std::map<std::uint32_t, std::vector<float>> firstChannel;
  std::map<std::uint32_t, double> frames;
  std::map<std::uint32_t, std::pair<double, double>> span;  // first and last timestamp
};

Recorded record(CliProcess& cli, std::uint32_t aggregate, std::size_t streams, double seconds) {
  streamPcm16(cli, 2);
  EXPECT_EQ(dataOf(cli, "r", "startRecording")["deviceId"], aggregate);
  // Every stream delivers about a second of audio per second: ask for
  // `seconds` of it, with a generous time-out.
  const double wanted = seconds * kRate;
  auto least = [&] {
    std::map<std::uint32_t, double> frames;
    for (const auto& data : testing::audioFrames(cli))
      frames[data["streamIndex"]] +=
          data["bufferSize"].get<double>() / 2 / data["actualChannels"].get<double>();
    double fewest = frames.size() < streams ? 0 : wanted;
    for (const auto& [stream, count] : frames) fewest = std::min(fewest, count);
    return fewest;
  };
  testing::waitUntil([&] { return least() >= wanted; },
                     std::chrono::milliseconds(static_cast<int>(seconds * 1000)) + 20s, 100ms);
  dataOf(cli, "x", "stopRecording");

  Recorded recorded;
  for (const auto& data : testing::audioFrames(cli)) {
    const std::uint32_t stream = data["streamIndex"];
    EXPECT_LT(stream, streams) << data.dump();
    EXPECT_EQ(data["sampleRate"], kRate);
    const auto samples = testing::pcmChannel(data);
    auto& signal = recorded.firstChannel[stream];
    signal.insert(signal.end(), samples.begin(), samples.end());
    recorded.frames[stream] += static_cast<double>(samples.size());
    auto [it, first] = recorded.span.try_emplace(stream, data["timestamp"], data["timestamp"]);
    if (!first) it->second.second = data["timestamp"];
  }
  return recorded;
}

// A second of the middle of a stream (away from the start's ramp).
std::vector<float> middleSecond(const std::vector<float>& signal) {
  if (signal.size() < 2 * kRate) return signal;
  const auto from = signal.begin() + static_cast<std::ptrdiff_t>(signal.size() / 2 - kRate / 2);
  return {from, from + static_cast<std::ptrdiff_t>(kRate)};
}

TEST(PipeWireEndToEndTest, TapsHearTheirPlayersBesideTheMicrophoneAndTheListFollowsPlayers) {
  PipeWireSession session;
  ASSERT_TRUE(session.valid());
  const pid_t a = session.startPlayer("PlayerA", 440);
  const pid_t b = session.startPlayer("PlayerB", 660);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);

  CliProcess cli(onPipeWire(session));
  const json list = runningProcesses(cli, {a, b});
  EXPECT_EQ(processOf(list, a)["name"], "PlayerA");
  EXPECT_EQ(processOf(list, b)["name"], "PlayerB");
  const std::string tap = dataOf(
      cli, "t", "createAudioTap",
      {{"config", {{"name", "PlayerA only"}, {"processes", {processOf(list, a)["id"]}}}}})["uid"];
  const std::string everything = dataOf(cli, "s", "createSystemLevelTap")["uid"];
  const std::uint32_t aggregate = aggregateOf(cli, {kMicrophoneUID}, {tap, everything});

  const Recorded recorded = record(cli, aggregate, 3, 3.0);
  const auto microphone = middleSecond(recorded.firstChannel.at(0));
  const auto tapped = middleSecond(recorded.firstChannel.at(1));
  const auto heard = middleSecond(recorded.firstChannel.at(2));
  EXPECT_TRUE(testing::hasTone(microphone, kMicrophoneTone, kRate));
  EXPECT_FALSE(testing::hasTone(microphone, 440, kRate));
  EXPECT_TRUE(testing::hasTone(tapped, 440, kRate));
  EXPECT_FALSE(testing::hasTone(tapped, 660, kRate));
  EXPECT_FALSE(testing::hasTone(tapped, kMicrophoneTone, kRate));
  EXPECT_TRUE(testing::hasTone(heard, 440, kRate));
  EXPECT_TRUE(testing::hasTone(heard, 660, kRate));
  for (const auto& [stream, frames] : recorded.frames) {
    // About a second of audio per second (generous: a loaded CI machine).
    const auto [first, last] = recorded.span.at(stream);
    const double seconds = last - first;  // "audioData" stamps are in seconds
    ASSERT_GT(seconds, 1.0) << stream;
    EXPECT_GT(frames / seconds, 0.5 * kRate) << stream;
    EXPECT_LT(frames / seconds, 2.0 * kRate) << stream;
  }
  // Tapping added links; it moved nothing.
  EXPECT_TRUE(session.isLinkedTo(a, kSpeakersUID));
  EXPECT_TRUE(session.isLinkedTo(b, kSpeakersUID));

  // A player that starts later is announced with its pid, and its exit too.
  const pid_t late = session.startPlayer("LatePlayer", 880);
  ASSERT_GT(late, 0);
  auto added = cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioProcessAdded") && f.body["data"]["pid"] == late;
      },
      15s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body["data"]["name"], "LatePlayer");
  const std::uint32_t lateObject = added->body["data"]["id"];
  session.stopPlayer(late);
  EXPECT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) {
        return f.isEvent("audioProcessRemoved") && f.body["data"]["id"] == lateObject;
      },
      15s));

  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(10s), 0);
}

TEST(PipeWireEndToEndTest, ADeviceThatDisappearsWhileRecordingEndsTheRecordingWithAnError) {
  PipeWireSession session;
  ASSERT_TRUE(session.valid());
  // A device of its own process, so the session's microphone stays.
  const pid_t source = session.startSource("usb-mic", 1);
  ASSERT_GT(source, 0);
  CliProcess cli(onPipeWire(session));
  aggregateOf(cli, {"usb-mic"}, {});
  streamPcm16(cli, 1);
  dataOf(cli, "r", "startRecording");
  ASSERT_TRUE(
      cli.frames().waitForFrame([](const Frame& f) { return f.isEvent("audioData"); }, 15s));

  session.stopPlayer(source);
  // The aggregate stays, but its only source is gone: the recording ends.
  const json lost = {{"error", "Recording device has no input streams left"}};
  EXPECT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) { return f.isEvent("recordingError") && f.body["data"] == lost; }, 15s));
  EXPECT_EQ(ask(cli, "s", "getRecordingStatus")["data"]["isRecording"], false);
  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(10s), 0);
}

// A daemon that dies (a crash, the user's audio restarted) takes every device
// and process with it: the recording ends with an error instead of waiting
// for audio that never comes, the lists empty, nothing that needs the daemon
// is made, and every command is still answered. When a daemon runs again the
// service connects to it by itself, and the same aggregate device records.
TEST(PipeWireEndToEndTest, ADaemonThatDiesEndsTheRecordingAndOneThatComesBackRecordsAgain) {
  const char* shared = std::getenv("VELMAR_PIPEWIRE_SESSION");
  ASSERT_NE(shared, nullptr);
  PipeWireSession session(std::string(shared) + "-own");  // this test kills its daemon
  ASSERT_TRUE(session.valid());
  const pid_t player = session.startPlayer("doomed-player", 440);
  ASSERT_GT(player, 0);
  CliProcess cli(onPipeWire(session));
  runningProcesses(cli, {player});
  const json tap = dataOf(cli, "t", "createAudioTapWithAllProcesses");
  const std::uint32_t aggregate = aggregateOf(cli, {kMicrophoneUID}, {tap["uid"]});
  streamPcm16(cli, 1);
  dataOf(cli, "r", "startRecording");
  ASSERT_TRUE(
      cli.frames().waitForFrame([](const Frame& f) { return f.isEvent("audioData"); }, 15s));

  ASSERT_TRUE(session.killDaemon());
  const json lost = {{"error", "Recording device is no longer available"}};
  EXPECT_TRUE(cli.frames().waitForFrame(
      [&](const Frame& f) { return f.isEvent("recordingError") && f.body["data"] == lost; }, 15s));
  EXPECT_EQ(ask(cli, "s", "getRecordingStatus")["data"]["isRecording"], false);
  EXPECT_EQ(ask(cli, "p", "listAudioProcesses")["data"]["count"], 0);
  EXPECT_EQ(ask(cli, "d", "getAudioDevices")["data"]["count"], 0);
  EXPECT_EQ(ask(cli, "c1", "createAudioTap", {{"config", json::object()}})["success"], false);
  EXPECT_EQ(ask(cli, "c2", "createAggregateDevice")["success"], false);
  EXPECT_EQ(ask(cli, "r2", "startRecording")["success"], false);

  ASSERT_TRUE(session.restartDaemon());
  int attempt = 0;
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        const json devices = ask(cli, "d" + std::to_string(++attempt), "getAudioDevices");
        return !testing::entryWith(devices["data"]["devices"], "uid", kMicrophoneUID).is_null();
      },
      20s, 250ms));
  EXPECT_EQ(dataOf(cli, "r3", "startRecording", {{"deviceID", aggregate}})["deviceId"], aggregate);
  // The microphone's tone again, from the new daemon.
  EXPECT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        if (!f.isEvent("audioData") || f.body["data"]["streamIndex"] != 0) return false;
        const auto samples = testing::pcmChannel(f.body["data"]);
        return std::any_of(samples.begin(), samples.end(), [](float v) { return v > 0.1f; });
      },
      20s));
  dataOf(cli, "x", "stopRecording");
  EXPECT_EQ(ask(cli, "c3", "createAudioTap", {{"config", json::object()}})["success"], true);
  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(10s), 0);
}

// A graph made to run at another rate (pw-metadata's clock.force-rate, an
// application asking for its own) delivers every source at that rate: the
// recording says so with its new layout, and the audio that follows is
// labelled with the rate it was taken at, so the microphone's tone keeps its
// pitch.
TEST(PipeWireEndToEndTest, AGraphForcedToAnotherRateIsRecordedAtThatRate) {
  const char* shared = std::getenv("VELMAR_PIPEWIRE_SESSION");
  ASSERT_NE(shared, nullptr);
  PipeWireSession session(std::string(shared) + "-rate");  // a forced rate outlives the force
  ASSERT_TRUE(session.valid());
  CliProcess cli(onPipeWire(session));
  aggregateOf(cli, {kMicrophoneUID}, {});
  streamPcm16(cli, 1);
  dataOf(cli, "r", "startRecording");
  ASSERT_TRUE(cli.frames().waitForFrame(
      [](const Frame& f) {
        return f.isEvent("audioData") && f.body["data"]["sampleRate"] == kRate;
      },
      15s));

  session.forceRate(44100);
  auto relaid = cli.frames().waitForFrame(
      [](const Frame& f) {
        return f.isEvent("recordingStarted") && f.body["data"]["streams"][0]["sampleRate"] == 44100;
      },
      15s);
  ASSERT_TRUE(relaid);
  std::vector<float> after;
  testing::waitUntil(
      [&] {
        after.clear();
        bool past = false;
        for (const Frame& f : cli.frames().frames()) {
          past = past || (f.isEvent("recordingStarted") && f.body == relaid->body);
          if (!past || !f.isEvent("audioData") || f.body["data"]["streamIndex"] != 0) continue;
          EXPECT_EQ(f.body["data"]["sampleRate"], 44100);
          const auto samples = testing::pcmChannel(f.body["data"]);
          after.insert(after.end(), samples.begin(), samples.end());
        }
        return after.size() >= 44100;
      },
      20s, 100ms);
  ASSERT_GE(after.size(), 44100u);
  after.resize(44100);
  EXPECT_TRUE(testing::hasTone(after, kMicrophoneTone, 44100));
  dataOf(cli, "x", "stopRecording");
  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(10s), 0);
}

}  // namespace
}  // namespace velmar
