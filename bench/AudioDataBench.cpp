// The per-buffer audio path for one 512-frame stereo float buffer (1024
// samples, 2048 PCM bytes): float to int16 conversion, Base64, and the
// "audioData" frame, each against the straightforward way of doing it.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "protocol/Base64.h"
#include "protocol/EventEmitter.h"
#include "protocol/Timestamps.h"
#include "recording/AudioDataFrame.h"
#include "recording/PcmConverter.h"

namespace {

using nlohmann::json;

constexpr std::size_t kSamples = 1024;

std::vector<float> stereoBuffer() {
  std::vector<float> samples(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) {
    samples[i] = 0.8f * std::sin(0.0575f * static_cast<float>(i / 2)) + (i % 2 ? 0.01f : 0.0f);
  }
  return samples;
}

std::vector<std::uint8_t> pcmBuffer() {
  std::vector<std::int16_t> pcm(kSamples);
  const auto samples = stereoBuffer();
  velmar::convertToPcm16Reference(samples.data(), kSamples, pcm.data());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(pcm.data());
  return {bytes, bytes + 2 * kSamples};
}

// What one writes first: lround, then clamp.
void naiveConvert(const float* in, std::size_t count, std::int16_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    long r = std::lround(in[i] * 32768.0f);
    if (r > 32767) r = 32767;
    if (r < -32768) r = -32768;
    out[i] = static_cast<std::int16_t>(r);
  }
}

// Six bits per lookup, one character appended at a time.
std::string naiveBase64(const std::uint8_t* in, std::size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (size - i == 1) {
    out.push_back(kAlphabet[in[i] >> 2]);
    out.push_back(kAlphabet[(in[i] & 3) << 4]);
    out.append("==");
  } else if (size - i == 2) {
    const std::uint32_t v = (in[i] << 8) | in[i + 1];
    out.push_back(kAlphabet[v >> 10]);
    out.push_back(kAlphabet[(v >> 4) & 63]);
    out.push_back(kAlphabet[(v & 15) << 2]);
    out.push_back('=');
  }
  return out;
}

void convertBench(benchmark::State& state,
                  void (*convert)(const float*, std::size_t, std::int16_t*)) {
  const auto samples = stereoBuffer();
  std::vector<std::int16_t> out(kSamples);
  for (auto _ : state) {
    convert(samples.data(), kSamples, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK_CAPTURE(convertBench, NaiveLround, naiveConvert);
BENCHMARK_CAPTURE(convertBench, Reference, velmar::convertToPcm16Reference);
BENCHMARK_CAPTURE(convertBench, Portable, velmar::convertToPcm16Portable);
BENCHMARK_CAPTURE(convertBench, Fast, velmar::convertToPcm16);

void BM_Base64Naive(benchmark::State& state) {
  const auto pcm = pcmBuffer();
  for (auto _ : state) {
    std::string text = naiveBase64(pcm.data(), pcm.size());
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * pcm.size());
}
BENCHMARK(BM_Base64Naive);

void BM_Base64Table(benchmark::State& state) {
  const auto pcm = pcmBuffer();
  std::string text(velmar::base64::encodedSize(pcm.size()), '\0');
  for (auto _ : state) {
    velmar::base64::encode(pcm.data(), pcm.size(), text.data());
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * pcm.size());
}
BENCHMARK(BM_Base64Table);

// Both frame benches include the Base64 of the PCM.
void BM_AudioDataFrameGeneric(benchmark::State& state) {
  const auto pcm = pcmBuffer();
  for (auto _ : state) {
    const double now = velmar::nowSeconds();
    json data = {{"buffer", naiveBase64(pcm.data(), pcm.size())},
                 {"format", "pcm16"},
                 {"sampleRate", 48000.0},
                 {"channels", 2},
                 {"timestamp", now},
                 {"streamIndex", 0},
                 {"bufferSize", pcm.size()},
                 {"actualChannels", 2}};
    json body = {{"event", "audioData"}, {"timestamp", velmar::nowMillis()}, {"data", data}};
    std::string frame = "EVENT:>" + velmar::toCompactJson(body) + "<:EVENT\n";
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_AudioDataFrameGeneric);

void BM_AudioDataFrame(benchmark::State& state) {
  const auto pcm = pcmBuffer();
  velmar::AudioDataFrame frame;
  for (auto _ : state) {
    const auto& built = frame.build({pcm, "pcm16", 48000.0, 2, 0u, 2});
    benchmark::DoNotOptimize(built.frame().data());
  }
}
BENCHMARK(BM_AudioDataFrame);

// Everything the IO thread does per buffer before handing the frame on.
void BM_ConvertBase64Frame(benchmark::State& state) {
  const auto samples = stereoBuffer();
  velmar::PcmConverter converter;
  velmar::AudioDataFrame frame;
  for (auto _ : state) {
    const auto pcm = converter.convert(samples.data(), samples.size() * sizeof(float));
    const auto& built = frame.build({pcm, "pcm16", 48000.0, 2, 0u, 2});
    benchmark::DoNotOptimize(built.frame().data());
  }
}
BENCHMARK(BM_ConvertBase64Frame);

}  // namespace

BENCHMARK_MAIN();
