// The recorder manager's commands and the streaming path, in-process against
// the simulated machine: responses, events, device choice and protection,
// the bridge's conversion and log rhythm, and an IO path that never
// allocates once warm.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/Base64.h"
#include "recording/PcmConverter.h"
#include "recording/RecorderManager.h"
#include "recording/RecordingTestMachine.h"
#include "support/RecordingConversation.h"
#include "support/ReplacedAllocation.h"

namespace velmar::testing {
namespace {

using audiohal::AudioBufferList;
using audiohal::AudioDeviceIOProcID;
using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::Float64;
using audiohal::kAudioHardwareUnspecifiedError;
using audiohal::OSStatus;
using audiohal::UInt32;
using nlohmann::json;
using sim::FailureRule;
using sim::HalOperation;

class RecorderManagerTest : public RecordingTestMachine {
 protected:
  void SetUp() override {
    RecordingTestMachine::SetUp();
    queue_ = std::make_unique<AudioFrameQueue>();
  }
  void TearDown() override {
    bridge_.reset();
    manager_.reset();
    aggregates_.reset();
    queue_.reset();
    RecordingTestMachine::TearDown();
  }

  RecorderManager& manager() {
    if (!manager_) {
      aggregates_ = makeManager();
      manager_ = RecorderManager::create(aggregates_, hal(), queue_.get());
    }
    return *manager_;
  }

  json command(const std::string& action, json params = json::object()) {
    const std::string id = "c" + std::to_string(++commands_);
    runRecorderAction(manager(), action, params, id);
    auto response = output_.frames().waitForResponse(id);
    EXPECT_TRUE(response) << action;
    return response ? response->body : json();
  }

  std::vector<json> eventsNamed(const std::string& name) {
    std::vector<json> found;
    for (const auto& frame : eventsSoFar(output_, name)) found.push_back(frame.body["data"]);
    return found;
  }

  // Delivers one buffer to the bridge as the engine would.
  void deliver(std::vector<float>& samples, UInt32 streamIndex, Float64 rate, UInt32 channels,
               UInt32 byteSize) {
    AudioBufferList list;
    list.mBuffers.push_back({channels, byteSize, samples.data()});
    bridge().didReceiveAudioData(list, streamIndex, rate);
  }
  // A bridge like the engine's own, delivering to the same manager.
  AudioDataBridge& bridge() {
    manager();
    if (!bridge_) bridge_ = std::make_unique<AudioDataBridge>(manager_);
    return *bridge_;
  }
  std::vector<json> audioFrames() {
    EXPECT_TRUE(queue_->flush(5s));
    // Written is not yet read back: wait for every frame the queue wrote.
    output_.frames().waitForFrames([](const testing::Frame& f) { return f.isEvent("audioData"); },
                                   queue_->writtenCount(), 5s);
    return eventsNamed("audioData");
  }

  std::unique_ptr<AudioFrameQueue> queue_;
  std::shared_ptr<AggregateDeviceManager> aggregates_;
  std::shared_ptr<RecorderManager> manager_;
  std::unique_ptr<AudioDataBridge> bridge_;
  int commands_ = 0;
};

// The status before any recording, the start without an aggregate device
// and the pause and resume answers are checked through the executable.
TEST_F(RecorderManagerTest, RecordsTheFirstAggregateDeviceAndKeepsItCurrentAfterStop) {
  const auto second = makeRecordingAggregate(true, "b-aggregate", "B Aggregate");
  const auto first = makeRecordingAggregate(true, "a-aggregate", "A Aggregate");
  const json refused = command("pauseRecording");
  EXPECT_EQ(refused["success"], false);
  EXPECT_EQ(refused["error"], "No recording to pause");
  EXPECT_FALSE(refused.contains("code"));
  aggregates_->setCurrentDevice(second);

  const json started = command("startRecording");
  ASSERT_EQ(started["success"], true) << started.dump();
  EXPECT_EQ(started["data"], (json{{"streamingMode", true}, {"deviceId", first}}));
  EXPECT_EQ(aggregates_->protectedDeviceID(), first);
  const auto events = eventsNamed("recordingStarted");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["deviceName"], "A Aggregate");
  EXPECT_EQ(events[0]["deviceInfo"], (json{{"deviceId", first},
                                           {"deviceName", "A Aggregate"},
                                           {"isAggregateDevice", true},
                                           {"subDeviceCount", 1},
                                           {"tapCount", 1},
                                           {"subDevices", {kMicrophoneUID}},
                                           {"taps", events[0]["deviceInfo"]["taps"]}}));
  EXPECT_THAT(events[0]["deviceInfo"]["taps"][0].get<std::string>(),
              ::testing::StartsWith("TEST-SYSTEM-TAP"));

  ASSERT_EQ(command("pauseRecording")["success"], true);
  EXPECT_EQ(command("pauseRecording")["error"], "Recording is already paused");
  EXPECT_EQ(command("getRecordingStatus")["data"]["isPaused"], true);
  ASSERT_EQ(command("resumeRecording")["success"], true);
  EXPECT_EQ(command("resumeRecording")["error"], "Recording is not paused");

  const json stopped = command("stopRecording");
  ASSERT_EQ(stopped["success"], true);
  EXPECT_GT(stopped["data"]["duration"].get<double>(), 0.0);
  EXPECT_EQ(aggregates_->protectedDeviceID(), 0u);
  EXPECT_EQ(aggregates_->currentAggregateDeviceID(), first);
  EXPECT_EQ(command("getRecordingStatus")["data"]["deviceId"], first);
  EXPECT_EQ(eventsNamed("recordingPaused").size(), 1u);
  EXPECT_EQ(eventsNamed("recordingResumed").size(), 1u);
  EXPECT_EQ(eventsNamed("recordingStopped").size(), 1u);
}

TEST_F(RecorderManagerTest, AFailedStartDoesNotLeaveTheDeviceProtected) {
  const auto aggregate = makeRecordingAggregate(false);
  machine().injectFailure(FailureRule::when(HalOperation::kDeviceStart, std::nullopt, aggregate,
                                            kAudioHardwareUnspecifiedError));
  const json response = command("startRecording");
  const std::string why =
      "Failed to start recording: Error starting device " + std::to_string(aggregate) +
      " with the IO procedure: " + std::to_string(kAudioHardwareUnspecifiedError) + " ('what')";
  EXPECT_EQ(response["error"], why);
  EXPECT_THAT(eventsNamed("recordingError"), ::testing::ElementsAre(json{{"error", why}}));
  EXPECT_EQ(aggregates_->protectedDeviceID(), 0u);
  EXPECT_TRUE(
      logged("Recording failed to start, recordingEnabled: false, recordingURL: "
             "Optional(file:///tmp/streaming_mode_placeholder)"));
}

// The streaming commands' answers and events; then the bridge's way with
// buffers: dropped while streaming is off (every hundredth logged),
// converted and tagged with their stream once it is on, and dropped by a
// bridge whose manager is gone. A rate that is no rate is passed on without
// a warning; the first real mismatch warns, and only it, also after new
// settings.
TEST_F(RecorderManagerTest, StreamingCommandsAnswerAndTheBridgeDropsConvertsAndTagsBuffers) {
  EXPECT_EQ(
      command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", "16000"}})["error"],
      "Missing parameters: format and sampleRate required");
  EXPECT_EQ(command("enableAudioStreaming", {{"sampleRate", 16000}})["error"],
            "Missing parameters: format and sampleRate required");
  EXPECT_EQ(command("getAudioStreamingStatus")["data"], (json{{"enabled", false},
                                                              {"format", "pcm16"},
                                                              {"sampleRate", 16000},
                                                              {"channels", 1},
                                                              {"droppedBuffers", 0}}));
  const json enabled =
      command("enableAudioStreaming", {{"format", "opus"}, {"sampleRate", 44100.0}});
  EXPECT_EQ(enabled["data"], (json{{"format", "opus"}, {"sampleRate", 44100}, {"channels", 1}}));
  EXPECT_THAT(eventsNamed("audioStreamingEnabled"), ::testing::ElementsAre(enabled["data"]));
  EXPECT_EQ(command("getAudioStreamingStatus")["data"]["enabled"], true);
  EXPECT_EQ(command("disableAudioStreaming")["success"], true);
  EXPECT_THAT(eventsNamed("audioStreamingDisabled"), ::testing::ElementsAre(json::object()));
  EXPECT_EQ(command("getAudioStreamingStatus")["data"]["format"], "opus");

  std::vector<float> samples(480, 0.25f);
  for (int i = 0; i < 101; ++i) deliver(samples, 0, 48000, 1, 1920);
  EXPECT_EQ(countLogged("⚠️ AudioDataBridge: Audio streaming not enabled"), 2u);
  EXPECT_EQ(bridge().bufferCount(), 101);
  EXPECT_TRUE(audioFrames().empty());

  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 16000}, {"channels", 1}});
  // Edge values are the converter's to check; these only show the bridge
  // converts.
  std::vector<float> edges = {0.5f, -0.5f, 1.5f};
  for (double rate : {std::numeric_limits<double>::quiet_NaN(), -48000.0, 0.0}) {
    deliver(edges, 0, rate, 1, static_cast<UInt32>(edges.size() * sizeof(float)));
  }
  EXPECT_EQ(countLogged("Sample rate mismatch"), 0u);
  // Ten bytes: two whole samples and two stray bytes.
  std::vector<float> stereo = {0.5f, -1.0f, 0.0f};
  deliver(stereo, 2, 48000, 2, 10);
  std::vector<float> empty;
  deliver(empty, 1, 48000, 1, 0);  // nothing to send

  const auto frames = audioFrames();
  ASSERT_EQ(frames.size(), 4u);
  const std::int16_t expected0[] = {16384, -16384, 32767};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i]["streamIndex"], 0);
    EXPECT_EQ(frames[i]["bufferSize"], 6);
    EXPECT_EQ(frames[i]["buffer"],
              base64::encode({reinterpret_cast<const char*>(expected0), sizeof expected0}));
  }
  expectFields(frames[3], {{"bufferSize", 4},
                           {"streamIndex", 2},
                           {"channels", 2},
                           {"actualChannels", 2},
                           {"sampleRate", 48000.0}});
  EXPECT_TRUE(frames[3]["timestamp"].is_number_float());
  const std::int16_t expected3[] = {16384, -32768};
  EXPECT_EQ(frames[3]["buffer"],
            base64::encode({reinterpret_cast<const char*>(expected3), sizeof expected3}));

  // Any index but 0 is named the right channel in the log.
  EXPECT_EQ(countLogged("🎵 Processing Stream 1 (Right Channel) - will send to host"), 2u);
  EXPECT_EQ(countLogged("🎵 Processing Stream 0 (Left Channel) - will send to host"), 3u);
  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 8000}});
  deliver(edges, 0, 44100, 1, 8);
  EXPECT_EQ(countLogged("⚠️ Sample rate mismatch: configured=16000, actual=48000"), 1u);
  EXPECT_EQ(countLogged("⚠️ Sample rate mismatch"), 1u);

  AudioDataBridge orphan{std::weak_ptr<RecorderManager>()};
  AudioBufferList list;
  list.mBuffers.push_back({1, 16, samples.data()});
  orphan.didReceiveAudioData(list, 0, 48000);
  EXPECT_EQ(countLogged("❌ AudioDataBridge: No recorder manager!"), 1u);
}

TEST_F(RecorderManagerTest, TheIOPathAllocatesNothingOnceWarm) {
  const auto aggregate = makeRecordingAggregate(true);
  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  AudioRecorder& recorder = manager().recorder();
  recorder.setDeviceID(aggregate);  // bound and cataloged; IO driven by hand
  ASSERT_EQ(recorder.inputStreamList()->size(), 2u);

  std::vector<float> mic(480, 0.2f), tap(960, -0.3f);
  AudioBufferList input;
  input.mBuffers.push_back({1, 1920, mic.data()});
  input.mBuffers.push_back({2, 3840, tap.data()});
  auto cycle = [&] { runCycle(recorder, input); };
  for (int i = 0; i < 5; ++i) cycle();  // warm-up
  const auto before = allocationsOnThisThread();
  for (int i = 0; i < 300; ++i) cycle();  // includes every sampled log line
  EXPECT_EQ(allocationsOnThisThread() - before, 0u);
  // A burst this fast may overrun the small test queue: every frame is
  // either written or counted as dropped.
  EXPECT_EQ(audioFrames().size() + queue_->droppedCount(), 610u);

  // Handing the buffers to the conversion worker instead allocates nothing
  // either.
  command("enableAudioStreaming",
          {{"format", "pcm16"}, {"sampleRate", 16000}, {"convert", true}, {"chunkMs", 100}});
  for (int i = 0; i < 5; ++i) cycle();
  const auto converting = allocationsOnThisThread();
  for (int i = 0; i < 300; ++i) cycle();
  EXPECT_EQ(allocationsOnThisThread() - converting, 0u);
}

TEST_F(RecorderManagerTest, TheLargestCycleOf16ChannelsPassesWholeWithoutAllocating) {
  machine().addDevice(simulatedDevice("WideInterface", "Wide Interface",
                                      audiohal::kAudioDeviceTransportTypeUnknown, {16}));
  sim::SimulatedAggregateConfig config;
  config.uid = "wide-aggregate";
  config.name = "Wide Aggregate";
  config.subDevices = {"WideInterface", kMicrophoneUID};
  const auto aggregate = machine().addAggregateDevice(config);
  // A backend that runs cycles as long as PipeWire's longest quantum.
  machine().prepareIO(AudioRecorder::kLargestCycleFrames, 16);
  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  AudioRecorder& recorder = manager().recorder();
  recorder.setDeviceID(aggregate);  // bound and cataloged; IO driven by hand
  ASSERT_EQ(recorder.inputStreamList()->size(), 2u);
  // Sized from the cycle the device announces ('fsiz').
  EXPECT_EQ(recorder.cycleFrames(), AudioRecorder::kLargestCycleFrames);

  constexpr std::size_t kFrames = 8192, kChannels = 16;
  std::vector<float> samples(kFrames * kChannels);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 97) / 97.0f;
  AudioBufferList input;
  input.mBuffers.push_back({kChannels, 0, samples.data()});
  input.mBuffers.push_back({1, 0, nullptr});  // the microphone had nothing: silence
  auto cycle = [&](std::size_t frames) {
    input.mBuffers[0].mDataByteSize = static_cast<UInt32>(frames * kChannels * sizeof(float));
    runCycle(recorder, input);
  };
  for (int i = 0; i < 3; ++i) cycle(480);  // ordinary cycles first, as a server starts
  const auto before = allocationsOnThisThread();
  cycle(kFrames);
  EXPECT_EQ(allocationsOnThisThread() - before, 0u);

  const auto frames = audioFrames();
  EXPECT_EQ(queue_->droppedCount(), 0u);
  ASSERT_EQ(frames.size(), 8u);
  const json& whole = frames[6];
  const json& silence = frames[7];
  std::vector<std::int16_t> pcm(samples.size());
  convertToPcm16Reference(samples.data(), samples.size(), pcm.data());
  expectFields(whole,
               {{"streamIndex", 0}, {"channels", 16}, {"bufferSize", kFrames * kChannels * 2}});
  EXPECT_EQ(whole["buffer"],
            base64::encode(std::string(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2)));
  expectFields(silence, {{"streamIndex", 1}, {"bufferSize", kFrames * 2}});
  EXPECT_EQ(silence["buffer"], base64::encode(std::string(kFrames * 2, '\0')));
}

TEST_F(RecorderManagerTest, ABufferBeyondThePreparedSizeGoesOutInWholeFramesWithoutAllocating) {
  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  std::vector<float> samples(2 * 20000, 0.25f);  // 20,000 stereo frames
  AudioBufferList list;
  list.mBuffers.push_back({2, 64, samples.data()});
  bridge().didReceiveAudioData(list, 0, 48000);  // warm-up
  list.mBuffers[0].mDataByteSize = static_cast<UInt32>(samples.size() * sizeof(float));
  const auto before = allocationsOnThisThread();
  bridge().didReceiveAudioData(list, 0, 48000);
  EXPECT_EQ(allocationsOnThisThread() - before, 0u);

  const auto frames = audioFrames();
  EXPECT_EQ(queue_->droppedCount(), 0u);
  ASSERT_GT(frames.size(), 2u);
  std::size_t bytes = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i]["bufferSize"].get<std::size_t>() % 4, 0u);  // whole stereo frames
    bytes += frames[i]["bufferSize"].get<std::size_t>();
  }
  EXPECT_EQ(bytes, samples.size() * 2);
}

// The platform's own IO thread while a recording streams: a second IO
// procedure on the same device reads that thread's allocation count.
std::atomic<int> probeCalls{0};
std::atomic<std::size_t> probeAllocations{0};
OSStatus allocationProbe(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
  probeAllocations.store(allocationsOnThisThread());
  probeCalls.fetch_add(1);
  return 0;
}

// A tap joins the recorded microphone: the recording goes on, tells the host
// its new layout, and the tap's audio arrives as stream 1; so does a new
// rate. Then the IO thread, streaming both, allocates nothing.
TEST_F(RecorderManagerTest,
       ATapOrARateJoiningTheRecordingIsCatalogedAnewAndTheIOThreadNeverAllocates) {
  probeCalls = 0;  // a repeated run starts counting afresh
  const auto aggregate = makeRecordingAggregate(false);
  command("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  ASSERT_EQ(command("startRecording")["success"], true);
  ASSERT_TRUE(aggregates_->addTapToAggregate(aggregate, makeSystemTap()));

  const auto announced = output_.frames().waitForFrames(
      [](const auto& frame) { return frame.isEvent("recordingStarted"); }, 2, 10s);
  ASSERT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced[1].body["data"]["deviceId"], aggregate);
  EXPECT_TRUE(output_.waitForLog("Recording device " + std::to_string(aggregate) +
                                 " changed its input streams: recording continues with 2 input "
                                 "streams, indexed in the new order"));
  EXPECT_TRUE(output_.frames().waitForFrame(
      [](const auto& frame) {
        return frame.isEvent("audioData") && frame.body["data"]["streamIndex"] == 1;
      },
      10s));
  EXPECT_EQ(command("getRecordingStatus")["data"]["isRecording"], true);

  // The device's clock changes rate: the same streams are announced again at
  // the new rate, and the audio after it is labelled with it.
  machine().setEveryDeviceRate(44100);
  EXPECT_TRUE(output_.frames().waitForFrame(
      [](const auto& frame) {
        if (!frame.isEvent("recordingStarted")) return false;
        const json& streams = frame.body["data"]["streams"];
        return streams.size() == 2 && streams[1].value("sampleRate", 0.0) == 44100;
      },
      10s));
  EXPECT_TRUE(output_.frames().waitForFrame(
      [](const auto& frame) {
        return frame.isEvent("audioData") && frame.body["data"]["sampleRate"] == 44100;
      },
      10s));

  AudioDeviceIOProcID probe = nullptr;
  ASSERT_EQ(hal().createIOProcID(aggregate, &allocationProbe, nullptr, probe), 0);
  ASSERT_EQ(hal().deviceStart(aggregate, probe), 0);
  const auto streamed = queue_->writtenCount() + queue_->droppedCount();
  auto waitForCalls = [](int count) {
    return waitUntil([&] { return probeCalls.load() >= count; }, 20s);
  };
  ASSERT_TRUE(waitForCalls(50));  // warm-up
  const std::size_t warm = probeAllocations.load();
  ASSERT_TRUE(waitForCalls(250));  // more than every sampled log line's period
  EXPECT_EQ(probeAllocations.load(), warm);
  // It did stream.
  EXPECT_GT(queue_->writtenCount() + queue_->droppedCount() - streamed, 400u);

  hal().deviceStop(aggregate, probe);
  hal().destroyIOProcID(aggregate, probe);
  command("stopRecording");
}

}  // namespace
}  // namespace velmar::testing
