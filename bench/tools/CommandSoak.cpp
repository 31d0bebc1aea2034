// The service under a mixed command load while it records two streams, as
// the soak test drives it, reporting the figures: commands per second, the
// p50 and p99 time from a command's write to its answer, the time of one
// "ping" afterwards, and resident memory before, after and at its peak.
//
//   velmar-tool-CommandSoak [COMMANDS] [RUNS] [SEED] [EXECUTABLE]
//   (default 100000 3 1 and the executable of this build; another one, an
//   older build for instance, is measured the same way)
#include <cstdio>
#include <cstdlib>

#include "support/CommandLoad.h"

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  const std::size_t commands = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1;
  const char* executable = argc > 4 ? argv[4] : VELMAR_CLI_PATH;
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    velmar::testing::LoadHost host(executable);
    if (!host.startTwoStreamRecording() || !host.waitForAudio(0, 50, 20s) ||
        !host.waitForAudio(1, 50, 20s)) {
      std::fprintf(stderr, "run %d: the recording did not start\n", run + 1);
      return 1;
    }
    const auto r = host.runMixedLoad(commands, seed + static_cast<unsigned>(run), 300s);
    const bool ok = r.allAnswered && r.wronglyAnswered == 0 && r.tornLines == 0;
    failures += ok ? 0 : 1;
    std::printf(
        "run %d: %zu commands in %.2f s = %.0f commands/s; answer p50 %.1f ms, p99 %.1f ms; "
        "ping after %.2f ms; RSS before %ld KiB, after %ld KiB, peak %ld KiB%s\n",
        run + 1, r.commands, r.seconds, r.commandsPerSecond, r.p50AnswerMs, r.p99AnswerMs,
        r.pingAfterMs, r.rssBeforeKiB, r.rssAfterKiB, r.peakRssKiB,
        ok ? "" : " (NOT every command answered exactly once)");
    for (const auto& [stream, pace] : r.streams) {
      std::printf("  stream %u: %zu frames, %.2f s of audio in %.2f s, longest gap %.0f ms\n",
                  stream, pace.frames, pace.audioSeconds, pace.wallSeconds,
                  pace.longestGapSeconds * 1000);
    }
  }
  return failures == 0 ? 0 : 1;
}
