// The conversion worker when its ring overflows: the IO side neither waits
// nor allocates, and every buffer it could not hand over is announced as a
// gap in the delivered numbering, counted once.
#include "recording/ConversionWorker.h"

#include <cmath>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "support/AllocationCounter.h"
#include "support/CapturedOutput.h"
#include "support/UnitHelpers.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CapturedOutput;
using testing::Frame;
using namespace std::chrono_literals;

constexpr std::uint32_t kBuffers = 300;
constexpr std::uint32_t kFrames = 480;  // 10 ms at 48 kHz

struct Delivered {
  std::uint64_t frames = 0;  // delivered and announced as lost
  std::uint64_t gaps = 0;
};

Delivered tally(const std::vector<Frame>& frames) {
  Delivered seen;
  for (const auto& frame : frames) {
    if (frame.isEvent("audioData"))
      seen.frames += frame.body["data"]["frames"].get<std::uint64_t>();
    if (frame.isEvent("audioGap")) {
      seen.frames += frame.body["data"]["frames"].get<std::uint64_t>();
      seen.gaps += frame.body["data"]["count"].get<std::uint64_t>();
    }
  }
  return seen;
}

TEST(ConversionWorkerTest, BuffersTheRingRefusesAreAnnouncedAsGapsInTheDeliveredNumbering) {
  CapturedOutput captured;
  AudioFrameQueue queue(1024 * 1024);
  ConversionWorker worker(queue, 16 * 1024);  // about fifteen buffers
  worker.setSettings({.format = "pcm16", .timeline = true});

  std::vector<std::int16_t> pcm(kFrames);
  ConversionRing::Record record{.generation = 1,
                                .frames = kFrames,
                                .channels = 1,
                                .sampleRate = 48000,
                                .convert = true,
                                .outRate = 16000,
                                .outChannels = 1,
                                .chunkMs = 100};
  const std::size_t allocations = testing::allocationsOnThisThread();
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < kBuffers; ++i) {
    for (std::uint32_t f = 0; f < kFrames; ++f) {
      const double t = static_cast<double>(i * kFrames + f) / 48000;
      pcm[f] = static_cast<std::int16_t>(16000 * std::sin(2 * std::numbers::pi * 440 * t));
    }
    record.sequence = i;
    record.framesBefore = std::uint64_t{i} * kFrames;
    record.hostTime = i * 0.01;
    kept += worker.ring().push(record,
                               {reinterpret_cast<const std::uint8_t*>(pcm.data()), kFrames * 2});
    // Bursts of fifty, faster than the worker looks: most of each is refused.
    if (i % 50 == 49) std::this_thread::sleep_for(30ms);
  }
  EXPECT_EQ(testing::allocationsOnThisThread(), allocations);
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, kBuffers);
  worker.requestFlush();

  // Every 10 ms buffer is 160 frames at 16 kHz, delivered or announced.
  testing::waitUntil([&] { return tally(captured.frames().frames()).frames >= kBuffers * 160; },
                     10s);
  const auto frames = captured.frames().frames();
  const Delivered seen = tally(frames);
  EXPECT_EQ(seen.frames, kBuffers * 160);
  EXPECT_GT(worker.lostCount(), 0u);
  EXPECT_EQ(seen.gaps, worker.lostCount() + queue.droppedCount());

  // Holes in the numbering are exactly the gaps; chunks are 100 ms but for
  // the last before each hole.
  std::uint64_t next = 0;
  std::uint64_t pending = 0;
  for (const auto& frame : frames) {
    const json& data = frame.body["data"];
    if (frame.isEvent("audioGap")) {
      EXPECT_EQ(data["fromSequence"], next) << data.dump();
      EXPECT_EQ(pending, 0u);
      pending = data["count"];
    } else if (frame.isEvent("audioData")) {
      EXPECT_EQ(data["sequence"], next + pending) << data.dump();
      EXPECT_EQ(data["sampleRate"], 16000.0);
      EXPECT_LE(data["frames"], 1600);
      next = data["sequence"].get<std::uint64_t>() + 1;
      pending = 0;
    }
  }
}

}  // namespace
}  // namespace velmar
