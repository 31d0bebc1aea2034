// Cost of building and writing one audio-sized EVENT frame (about 2.8 KB),
// generic (nlohmann tree) against hand-assembled, and frames per second into
// a pipe drained by another process.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

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
  PipeToReader() {
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
    devNull_ = open("/dev/null", O_WRONLY);
    velmar::ProcessStreams::redirect(writeEnd_, devNull_);
  }
  ~PipeToReader() {
    if (!ok_) return;
    velmar::ProcessStreams::restoreDefaults();
    close(writeEnd_);
    close(devNull_);
    waitpid(reader_, nullptr, 0);
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  pid_t reader_ = -1;
  int writeEnd_ = -1, devNull_ = -1;
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

}  // namespace

BENCHMARK_MAIN();
