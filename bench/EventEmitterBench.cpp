// Cost of building and writing one audio-sized EVENT frame (about 2.8 KB),
// generic (nlohmann tree) against hand-assembled, frames per second into a
// pipe drained by another process (written directly, and handed over through
// the audio frame queue), and the cost of a diagnostic line to its caller.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <benchmark/benchmark.h>

#include "protocol/AudioFrameQueue.h"
#include "protocol/EventEmitter.h"
#include "protocol/FrameBuilder.h"
#include "protocol/ProcessStreams.h"
#include "protocol/Timestamps.h"

namespace {

using nlohmann::json;

// 2048 bytes of PCM in Base64 plus the usual fields: a 2.8 KB frame.
const std::string kPayload(2732, 'Q');

json genericData() {
  return json{{"streamIndex", 0},  {"sampleRate", 48000.0},       {"channels", 1},
              {"frameCount", 480}, {"timestamp", 1796543210.123}, {"audioData", kPayload}};
}

void buildAudioFrame(velmar::FrameBuilder& f) {
  f.beginEvent("audioData", velmar::nowMillis());
  f.key("streamIndex");
  f.value(0);
  f.key("sampleRate");
  f.value(48000.0);
  f.key("channels");
  f.value(1);
  f.key("frameCount");
  f.value(480);
  f.key("timestamp");
  f.value(1796543210.123);
  f.key("audioData");
  f.plainStringValue(kPayload);
  f.finishEvent();
}

void BM_GenericFrameBuild(benchmark::State& state) {
  for (auto _ : state) {
    json body = {
        {"event", "audioData"}, {"timestamp", velmar::nowMillis()}, {"data", genericData()}};
    std::string frame = "EVENT:>" + velmar::toCompactJson(body) + "<:EVENT\n";
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_GenericFrameBuild);

void BM_BuiltFrameBuild(benchmark::State& state) {
  auto& f = velmar::FrameBuilder::forThisThread();
  for (auto _ : state) {
    buildAudioFrame(f);
    benchmark::DoNotOptimize(f.frame().data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.frame().size()));
}
BENCHMARK(BM_BuiltFrameBuild);

// Points the emitter's streams at a pipe that another process drains, and
// standard error at /dev/null, for the lifetime of the object.
class PipeToReader {
 public:
  // Standard error goes to /dev/null, or to a pipe nobody reads.
  explicit PipeToReader(bool unreadStderr = false) {
    int fds[2];
    ok_ = pipe(fds) == 0;
    if (!ok_) return;
    reader_ = fork();
    if (reader_ == 0) {
      close(fds[1]);
      char buffer[1 << 16];
      while (read(fds[0], buffer, sizeof buffer) > 0) {
      }
      _exit(0);
    }
    close(fds[0]);
    writeEnd_ = fds[1];
    if (unreadStderr) {
      int err[2];
      ok_ = pipe(err) == 0;
      if (!ok_) return;
      fcntl(err[1], F_SETFL, O_NONBLOCK);
      unreadRead_ = err[0];
      devNull_ = err[1];
    } else {
      devNull_ = open("/dev/null", O_WRONLY);
    }
    velmar::ProcessStreams::redirect(writeEnd_, devNull_);
  }
  ~PipeToReader() {
    if (!ok_) return;
    // Take in what the unread stream holds, so the lines still queued can go.
    std::thread drain;
    if (unreadRead_ >= 0) {
      drain = std::thread([fd = unreadRead_] {
        char buffer[1 << 16];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
      });
    }
    velmar::ProcessStreams::restoreDefaults();
    close(writeEnd_);
    close(devNull_);
    if (drain.joinable()) drain.join();
    if (unreadRead_ >= 0) close(unreadRead_);
    waitpid(reader_, nullptr, 0);
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  pid_t reader_ = -1;
  int writeEnd_ = -1, devNull_ = -1, unreadRead_ = -1;
};

void BM_BuiltFrameToPipe(benchmark::State& state) {
  PipeToReader pipe;
  if (!pipe.ok()) return state.SkipWithError("pipe");
  velmar::EventEmitter emitter;
  auto& f = velmar::FrameBuilder::forThisThread();
  for (auto _ : state) {
    buildAudioFrame(f);
    emitter.emitBuiltEvent(f);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.frame().size()));
}
BENCHMARK(BM_BuiltFrameToPipe)->UseRealTime();

void BM_GenericEventToPipe(benchmark::State& state) {
  PipeToReader pipe;
  if (!pipe.ok()) return state.SkipWithError("pipe");
  velmar::EventEmitter emitter;
  const json data = genericData();
  for (auto _ : state) emitter.emitEvent("audioData", data);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GenericEventToPipe)->UseRealTime();

// Frames handed over as a real-time thread would, written by the queue's own
// thread. The producer pauses every 256 frames until the queue has caught up,
// so the figure is the writer's rate, not that of frames dropped.
void BM_AudioQueueToPipe(benchmark::State& state) {
  PipeToReader pipe;
  if (!pipe.ok()) return state.SkipWithError("pipe");
  velmar::AudioFrameQueue queue;
  auto& f = velmar::FrameBuilder::forThisThread();
  buildAudioFrame(f);
  std::int64_t pushed = 0;
  for (auto _ : state) {
    queue.push(f);
    if (++pushed % 256 == 0) queue.flush(std::chrono::seconds(5));
  }
  queue.flush(std::chrono::seconds(5));
  state.SetItemsProcessed(static_cast<std::int64_t>(queue.writtenCount()));
  state.counters["dropped"] = static_cast<double>(queue.droppedCount());
}
BENCHMARK(BM_AudioQueueToPipe)->UseRealTime();

// What a diagnostic line costs the thread that logs it: a copy into the ring,
// no system call (standard error is drained to /dev/null meanwhile).
void BM_DiagnosticLine(benchmark::State& state) {
  PipeToReader pipe;
  if (!pipe.ok()) return state.SkipWithError("pipe");
  velmar::EventEmitter emitter;
  const std::string line = "Response sent for ID 42, data size: 57 chars";
  const auto droppedBefore = velmar::ProcessStreams::droppedLineCount();
  for (auto _ : state) emitter.logToStderr(line);
  velmar::ProcessStreams::flushLines(std::chrono::seconds(5));
  state.counters["dropped"] =
      static_cast<double>(velmar::ProcessStreams::droppedLineCount() - droppedBefore);
}
BENCHMARK(BM_DiagnosticLine);

// The same when nobody reads standard error: the ring is full and the line
// is dropped and counted.
void BM_DiagnosticLineUnread(benchmark::State& state) {
  PipeToReader pipe(true);
  if (!pipe.ok()) return state.SkipWithError("pipe");
  velmar::EventEmitter emitter;
  const std::string line = "Response sent for ID 42, data size: 57 chars";
  const auto droppedBefore = velmar::ProcessStreams::droppedLineCount();
  for (auto _ : state) emitter.logToStderr(line);
  state.counters["dropped"] =
      static_cast<double>(velmar::ProcessStreams::droppedLineCount() - droppedBefore);
}
BENCHMARK(BM_DiagnosticLineUnread);

}  // namespace

BENCHMARK_MAIN();
