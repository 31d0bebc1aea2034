// Streaming while recording and streaming commands arrive from several
// threads at once, as a host's burst would: every command is answered once,
// audio keeps flowing, and the sanitizer builds see no race between the
// command side and the IO thread.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>

#include "recording/RecorderManager.h"
#include "recording/RecordingTestMachine.h"

namespace velmar::testing {
namespace {

using nlohmann::json;

class RecordingConcurrencyTest : public RecordingTestMachine {};

TEST_F(RecordingConcurrencyTest, CommandsRacingTheIOThreadAreEachAnsweredOnce) {
  makeRecordingAggregate(true);
  AudioFrameQueue queue(1024 * 1024);
  auto manager = RecorderManager::create(makeManager(), hal(), &queue);

  // As the command processor does: every handler on the manager's queue.
  std::atomic<int> sent{0};
  auto post = [&](std::string action, json params) {
    const std::string id = "r" + std::to_string(sent.fetch_add(1));
    asio::post(manager->commandQueue(),
               [manager, action, params, id] { runRecorderAction(*manager, action, params, id); });
  };
  post("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  post("startRecording", json::object());

  // Each host thread walks the same six commands from its own offset.
  const char* burst[] = {"enableAudioStreaming", "getAudioStreamingStatus", "pauseRecording",
                         "resumeRecording",      "getRecordingStatus",      "startRecording"};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 3; ++t) {
    hosts.emplace_back([&, t] {
      for (int i = 0; i < 30; ++i) {
        const std::string action = burst[(i + t) % 6];
        post(action, action == "enableAudioStreaming" ? json{{"format", "f" + std::to_string(i)},
                                                             {"sampleRate", 16000 + i},
                                                             {"channels", 2}}
                                                      : json::object());
        std::this_thread::sleep_for(3ms);
      }
    });
  }
  for (auto& host : hosts) host.join();
  post("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}});
  const int total = sent.load();

  auto responses = [&] {
    std::map<std::string, int> seen;
    for (const auto& frame : output_.frames().frames()) {
      if (frame.kind == "RESPONSE") ++seen[frame.body.value("id", "")];
    }
    return seen;
  };
  ASSERT_TRUE(output_.frames().waitForResponse("r" + std::to_string(total - 1), 20s));
  const auto seen = responses();
  EXPECT_EQ(static_cast<int>(seen.size()), total);
  for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << id;

  // Audio still flows after the burst, with the last settings.
  const auto written = queue.writtenCount();
  EXPECT_TRUE(waitUntil([&] { return queue.writtenCount() > written; }, 10s));
  auto frame = output_.frames().waitForFrame(
      [](const Frame& f) { return f.isEvent("audioData") && f.body["data"]["format"] == "pcm16"; },
      10s);
  EXPECT_TRUE(frame);

  std::promise<void> stopped;
  asio::post(manager->commandQueue(), [&] {
    manager->stopRecording(json::object(), "last");
    stopped.set_value();
  });
  stopped.get_future().wait();
  EXPECT_TRUE(output_.frames().waitForResponse("last"));
  queue.flush(5s);
}

}  // namespace
}  // namespace velmar::testing
