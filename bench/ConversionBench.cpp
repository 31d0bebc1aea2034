// What `convert` costs the conversion worker: one second of a stereo 48 kHz
// stream, in 10 ms buffers, brought to 16 kHz mono (mixed, then resampled
// by libsoxr), against the mix alone.
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "recording/ConversionRing.h"
#include "recording/StreamConverter.h"

namespace {

constexpr std::size_t kRate = 48000;
constexpr std::size_t kBufferFrames = kRate / 100;

std::vector<std::int16_t> stereoSecond() {
  std::vector<std::int16_t> pcm(2 * kRate);
  for (std::size_t f = 0; f < kRate; ++f) {
    const double t = static_cast<double>(f) / kRate;
    pcm[2 * f] = static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * 440 * t));
    pcm[2 * f + 1] = static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * 660 * t));
  }
  return pcm;
}

// One iteration is one second of audio: the time per iteration is the
// worker's cost per second of that stream.
void BM_ConvertStereo48kToMono16kPerSecond(benchmark::State& state) {
  const auto pcm = stereoSecond();
  velmar::StreamConverter converter;
  converter.configure(kRate, 2, 16000, 1);
  std::size_t out = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < kRate; at += kBufferFrames) {
      out += converter.convert(pcm.data() + 2 * at, kBufferFrames).size();
    }
    benchmark::DoNotOptimize(out);
  }
  state.counters["outFramesPerSecondOfAudio"] =
      static_cast<double>(out) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ConvertStereo48kToMono16kPerSecond)->Unit(benchmark::kMicrosecond);

void BM_MixStereoToMonoPerSecond(benchmark::State& state) {
  const auto pcm = stereoSecond();
  std::vector<std::int16_t> mono(kRate);
  for (auto _ : state) {
    velmar::mixChannels(pcm.data(), kRate, 2, mono.data(), 1);
    benchmark::DoNotOptimize(mono.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MixStereoToMonoPerSecond)->Unit(benchmark::kMicrosecond);

// What the IO thread does per buffer with `convert` on, instead of Base64
// and the frame: copy a 10 ms stereo buffer into the ring (the pop, the
// worker's side, keeps the ring from filling).
void BM_RingPushAndPop(benchmark::State& state) {
  const auto pcm = stereoSecond();
  const std::span<const std::uint8_t> buffer(reinterpret_cast<const std::uint8_t*>(pcm.data()),
                                             2 * kBufferFrames * sizeof(std::int16_t));
  velmar::ConversionRing ring;
  velmar::ConversionRing::Record record{.frames = kBufferFrames, .channels = 2};
  velmar::ConversionRing::Record taken;
  std::vector<std::int16_t> out;
  for (auto _ : state) {
    ring.push(record, buffer);
    ++record.sequence;
    ring.pop(taken, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_RingPushAndPop);

}  // namespace

BENCHMARK_MAIN();
