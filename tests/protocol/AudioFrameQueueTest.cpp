#include "protocol/AudioFrameQueue.h"

#include <algorithm>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "protocol/FrameBuilder.h"
#include "support/CapturedOutput.h"
#include "support/ReplacedAllocation.h"

namespace velmar {
namespace {

using testing::CapturedOutput;
using testing::Frame;
using namespace std::chrono_literals;

// An audio-like frame carrying its sequence number.
void buildFrame(FrameBuilder& f, int sequence, std::size_t payload = 1000) {
  f.beginEvent("audioData", 1);
  f.key("sequence");
  f.value(sequence);
  f.key("buffer");
  f.plainStringValue(std::string(payload, 'A'));
  f.finishEvent();
}

// Returns once the writer has come to wait at its write (it writes nothing
// more for a while). A frame pushed while the writer is copying a batch out
// gives way instead of the oldest, so a test that needs its frame kept pushes
// it only then.
void waitForTheWriterToBlock(const AudioFrameQueue& queue) {
  for (std::uint64_t seen = ~0ull; seen != queue.writtenCount();) {
    seen = queue.writtenCount();
    std::this_thread::sleep_for(300ms);
  }
}

std::vector<int> sequencesOf(const std::vector<Frame>& frames) {
  std::vector<int> out;
  for (const auto& f : frames) {
    if (f.isEvent("audioData")) out.push_back(f.body["data"]["sequence"].get<int>());
  }
  return out;
}

TEST(AudioFrameQueueTest, FramesArriveWholeAndInOrderWithTheirLogLine) {
  CapturedOutput captured;
  AudioFrameQueue queue(64 * 1024);
  auto& f = FrameBuilder::forThisThread();
  for (int i = 0; i < 10; ++i) {
    buildFrame(f, i);
    EXPECT_TRUE(queue.push(f));
  }
  ASSERT_TRUE(queue.flush(10s));
  auto frames = captured.frames().waitForFrames(
      [](const Frame& frame) { return frame.isEvent("audioData"); }, 10);
  EXPECT_EQ(sequencesOf(frames), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(frames[0].body["data"]["buffer"], std::string(1000, 'A'));
  EXPECT_EQ(queue.writtenCount(), 10u);
  EXPECT_EQ(queue.droppedCount(), 0u);
  EXPECT_TRUE(captured.err().waitFor(
      [](const auto& lines) {
        return std::count(lines.begin(), lines.end(),
                          "Emitted event: audioData with 2 data fields") == 10;
      },
      5s));
}

TEST(AudioFrameQueueTest, AHostThatFallsBehindLosesTheOldestFramesNeverTheProducersTime) {
  CapturedOutput captured;
  captured.out().pause();  // the host stops reading standard output
  AudioFrameQueue queue(32 * 1024);
  constexpr int kFrames = 3000;
  // The first frames fill the pipe; once the writer waits at its write, the
  // newest frames must all survive.
  constexpr int kFillFrames = 400;
  auto producer = std::async(std::launch::async, [&] {
    auto& f = FrameBuilder::forThisThread();
    for (int i = 0; i < kFrames; ++i) {
      if (i == kFillFrames) waitForTheWriterToBlock(queue);
      buildFrame(f, i);
      queue.push(f);
    }
  });
  // The producer never waits for the host.
  ASSERT_EQ(producer.wait_for(30s), std::future_status::ready);
  EXPECT_GT(queue.droppedCount(), 0u);

  captured.out().resume();
  ASSERT_TRUE(queue.flush(10s));
  auto frames = captured.frames().waitForFrames(
      [](const Frame& frame) { return frame.isEvent("audioData"); },
      static_cast<std::size_t>(kFrames) - queue.droppedCount(), 10s);
  const auto sequences = sequencesOf(frames);
  ASSERT_FALSE(sequences.empty());
  for (std::size_t i = 1; i < sequences.size(); ++i) EXPECT_LT(sequences[i - 1], sequences[i]);
  // The newest frames survive; every frame is either written or counted.
  EXPECT_EQ(sequences.back(), kFrames - 1);
  EXPECT_EQ(sequences.size() + queue.droppedCount(), static_cast<std::size_t>(kFrames));
  EXPECT_EQ(queue.writtenCount(), sequences.size());
  // A run of drops is announced when it starts (while the host still is not
  // reading) and counted once frames flow again. A host that reads in bursts
  // makes several runs, so only the first pair is checked.
  EXPECT_TRUE(captured.waitForLog("dropping the oldest audio frames"));
  EXPECT_TRUE(captured.waitForLog("audio frames dropped"));
  const auto lines = captured.err().lines();
  auto first = [&](const std::string& text) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_LT(first("dropping the oldest audio frames"), first("audio frames dropped"));
}

TEST(AudioFrameQueueTest, AFrameLargerThanTheRingIsRefusedAndCounted) {
  CapturedOutput captured;
  AudioFrameQueue queue(1024);
  auto& f = FrameBuilder::forThisThread();
  buildFrame(f, 1, 1000);
  EXPECT_FALSE(queue.push(f));
  EXPECT_EQ(queue.droppedCount(), 1u);
  buildFrame(f, 2, 100);
  EXPECT_TRUE(queue.push(f));
  ASSERT_TRUE(queue.flush(10s));
  auto frame = captured.frames().waitForEvent("audioData");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->body["data"]["sequence"], 2);
}

TEST(AudioFrameQueueTest, APushAllocatesNothing) {
  CapturedOutput captured;
  AudioFrameQueue queue(8 * 1024);
  auto& f = FrameBuilder::forThisThread();
  buildFrame(f, 0);  // warm-up: the builder's buffer takes its size
  queue.push(f);
  const std::string frame(f.frame());
  const std::size_t before = testing::allocationsOnThisThread();
  for (int i = 0; i < 100; ++i) queue.push(frame, "audioData", 2);  // full queue included
  EXPECT_EQ(testing::allocationsOnThisThread(), before);
  EXPECT_TRUE(queue.flush(10s));
}

TEST(AudioFrameQueueTest, ALargeFrameTakesTheRoomOfAsManyOldFramesAsItNeeds) {
  CapturedOutput captured;
  captured.out().pause();
  AudioFrameQueue queue(64 * 1024);
  auto& f = FrameBuilder::forThisThread();
  int sequence = 0;
  // Far more than the pipe, the writer's batch and the ring hold, so the ring
  // is full when the large frame comes.
  for (; sequence < 2000; ++sequence) {
    buildFrame(f, sequence);
    queue.push(f);
  }
  EXPECT_GT(queue.droppedCount(), 0u);
  waitForTheWriterToBlock(queue);
  buildFrame(f, sequence, 40 * 1024);  // the room of about 36 small ones
  EXPECT_TRUE(queue.push(f));

  captured.out().resume();
  ASSERT_TRUE(queue.flush(10s));
  const std::size_t expected = static_cast<std::size_t>(sequence + 1) - queue.droppedCount();
  auto frames = captured.frames().waitForFrames(
      [](const Frame& frame) { return frame.isEvent("audioData"); }, expected, 10s);
  const auto sequences = sequencesOf(frames);
  ASSERT_EQ(sequences.size(), expected);
  for (std::size_t i = 1; i < sequences.size(); ++i) EXPECT_LT(sequences[i - 1], sequences[i]);
  // Had it taken too little room it would have overwritten frames still
  // waiting, and a torn frame fails the test when read.
  EXPECT_EQ(sequences.back(), sequence);
  EXPECT_EQ(frames.back().body["data"]["buffer"], std::string(40 * 1024, 'A'));
}

}  // namespace
}  // namespace velmar
