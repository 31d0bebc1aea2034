// The service under a long mixed run of commands through the executable,
// while it records and streams two streams: every command is answered exactly
// once (acknowledged exactly where the action table says), no frame is torn,
// the audio keeps real time, the service still answers at once afterwards, and
// its memory stays bounded. Release builds only (too slow under sanitizers).
#include <gtest/gtest.h>

#include "support/CommandLoad.h"

namespace velmar {
namespace {

using namespace std::chrono_literals;

constexpr long kResidentLimitKiB = 16 * 1024;

TEST(CommandSoakTest, AHundredThousandMixedCommandsWhileTwoStreamsRecord) {
  testing::LoadHost host(VELMAR_CLI_PATH);
  ASSERT_TRUE(host.startTwoStreamRecording());
  ASSERT_TRUE(host.waitForAudio(0, 50, 20s));
  ASSERT_TRUE(host.waitForAudio(1, 50, 20s));

  const auto report = host.runMixedLoad(100000, 20261208, 90s);
  ASSERT_TRUE(report.allAnswered) << "not every command was answered in time";
  EXPECT_EQ(report.wronglyAnswered, 0u) << ::testing::PrintToString(report.examples);
  EXPECT_EQ(report.tornLines, 0u);

  // Both streams kept real time for the whole run: the audio received covers
  // the time it took (allowing a little for the last buffers in transit) and
  // never stalled for long.
  ASSERT_EQ(report.streams.size(), 2u);
  for (const auto& [stream, pace] : report.streams) {
    EXPECT_GE(pace.audioSeconds, 0.9 * pace.wallSeconds - 0.1) << "stream " << stream;
    EXPECT_GE(pace.wallSeconds, 0.9 * report.seconds - 0.5) << "stream " << stream;
    EXPECT_LT(pace.longestGapSeconds, 1.0) << "stream " << stream;
  }

  // Nothing left queued: a lone command is answered at once (generously, on
  // a shared machine).
  EXPECT_GE(report.pingAfterMs, 0);
  EXPECT_LT(report.pingAfterMs, 100);

  EXPECT_LE(report.rssAfterKiB, kResidentLimitKiB);
  EXPECT_LE(report.peakRssKiB, kResidentLimitKiB);
  std::printf(
      "%zu commands in %.1f s (%.0f/s); answer p50 %.1f ms, p99 %.1f ms; ping after %.2f ms; "
      "RSS %ld KiB before, %ld KiB after, peak %ld KiB\n",
      report.commands, report.seconds, report.commandsPerSecond, report.p50AnswerMs,
      report.p99AnswerMs, report.pingAfterMs, report.rssBeforeKiB, report.rssAfterKiB,
      report.peakRssKiB);
}

}  // namespace
}  // namespace velmar
