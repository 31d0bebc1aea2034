// Runs the per-buffer audio path N times over one 512-frame stereo float
// buffer, for an instruction counter (bench/hot_path_instructions.sh runs it
// under cachegrind twice and divides the difference by the extra buffers).
//
//   velmar-tool-HotPathInstructions fast|naive N
//
// fast: PcmConverter + table Base64 + AudioDataFrame (the service's path).
// naive: lround per sample, Base64 one character at a time, nlohmann frame.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/EventEmitter.h"
#include "protocol/Timestamps.h"
#include "recording/AudioDataFrame.h"
#include "recording/PcmConverter.h"

namespace {

constexpr std::size_t kSamples = 1024;

std::string naiveBase64(const std::uint8_t* in, std::size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> shift) & 63]);
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

std::size_t naiveBuffer(const std::vector<float>& samples) {
  std::vector<std::int16_t> pcm(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    long r = std::lround(samples[i] * 32768.0f);
    pcm[i] = static_cast<std::int16_t>(r > 32767 ? 32767 : r < -32768 ? -32768 : r);
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(pcm.data());
  nlohmann::json data = {{"buffer", naiveBase64(bytes, pcm.size() * 2)},
                         {"format", "pcm16"},
                         {"sampleRate", 48000.0},
                         {"channels", 2},
                         {"timestamp", velmar::nowSeconds()},
                         {"streamIndex", 0},
                         {"bufferSize", pcm.size() * 2},
                         {"actualChannels", 2}};
  nlohmann::json body = {
      {"event", "audioData"}, {"timestamp", velmar::nowMillis()}, {"data", data}};
  return ("EVENT:>" + velmar::toCompactJson(body) + "<:EVENT\n").size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "fast") != 0 && std::strcmp(argv[1], "naive") != 0)) {
    std::fprintf(stderr, "usage: %s fast|naive BUFFERS\n", argv[0]);
    return 2;
  }
  const bool fast = std::strcmp(argv[1], "fast") == 0;
  const long buffers = std::strtol(argv[2], nullptr, 10);

  std::vector<float> samples(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) {
    samples[i] = 0.8f * std::sin(0.0575f * static_cast<float>(i / 2));
  }
  velmar::PcmConverter converter;
  velmar::AudioDataFrame frame;
  std::size_t total = 0;
  for (long n = 0; n < buffers; ++n) {
    samples[n % kSamples] += 1e-4f;  // a buffer is never quite the same twice
    if (fast) {
      const auto pcm = converter.convert(samples.data(), samples.size() * sizeof(float));
      total += frame.build({pcm, "pcm16", 48000.0, 2, 0u, 2}).frame().size();
    } else {
      total += naiveBuffer(samples);
    }
  }
  std::printf("%ld buffers, %zu frame bytes\n", buffers, total);
  return 0;
}
