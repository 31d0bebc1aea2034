// Runs the per-buffer audio path N times over one 512-frame stereo float
// buffer, for an instruction counter (bench/hot_path_instructions.sh runs it
// twice and divides the difference by the extra buffers).
//
//   velmar-tool-HotPathInstructions fast|naive|io|io-silent N
//
// fast: PcmConverter + table Base64 + AudioDataFrame (the conversion alone).
// naive: lround per sample, Base64 one character at a time, nlohmann frame.
// io: what the IO thread of the recorded device runs, on the simulated
//   machine: AudioRecorder::ioproc for cycles of two streams (microphone and
//   tap of an aggregate device) → AudioDataBridge (signal watch, PCM) →
//   RecorderManager::streamAudioBuffer (numbering, "timeline" frame) → push
//   into AudioFrameQueue::shared(). N buffers are N / 2 cycles, called from
//   this thread. Between batches the tool waits for the queue's writer
//   (standard output: send it to /dev/null), so no push takes the drop path;
//   count only inside ioproc (callgrind --toggle-collect), not the writers.
// io-silent: the same with a tap of exact zeros (the signal watch scans the
//   whole buffer).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchAggregate.h"
#include "aggregate/AggregateDeviceManager.h"
#include "platform/Platform.h"
#include "protocol/AudioFrameQueue.h"
#include "protocol/EventEmitter.h"
#include "protocol/ProcessStreams.h"
#include "protocol/Timestamps.h"
#include "recording/AudioDataFrame.h"
#include "recording/PcmConverter.h"
#include "recording/RecorderManager.h"
#include "sim/SimulatedMachine.h"

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

// The IO thread's path, driven by hand so the simulator's own IO thread and
// synthesis stay out of the count.
int ioPath(long buffers, bool silentTap) {
  using namespace velmar::audiohal;
  auto& machine = velmar::sim::SimulatedMachine::install();
  const AudioObjectID aggregate = velmar::bench::makeBenchAggregate(machine);

  auto& hal = velmar::platform::Platform::shared().hal();
  auto devices =
      velmar::AggregateDeviceManager::create(hal, "/tmp/velmar-hot-path-aggregates.json");
  auto& queue = velmar::AudioFrameQueue::shared();
  auto manager = velmar::RecorderManager::create(devices, hal, &queue);
  manager->enableAudioStreaming(
      {{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", 2}, {"timeline", true}}, "bench");
  velmar::AudioRecorder& recorder = manager->recorder();
  recorder.setDeviceID(aggregate);  // catalogs the streams and sizes the buffers
  if (recorder.inputStreamList()->size() != 2) {
    std::fprintf(stderr, "expected two input streams\n");
    return 1;
  }

  constexpr UInt32 kFrames = kSamples / 2;
  std::vector<float> mic(kSamples), system(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) {
    mic[i] = 0.8f * std::sin(0.0575f * static_cast<float>(i / 2));
    system[i] = silentTap ? 0.0f : 0.25f * std::sin(0.031f * static_cast<float>(i / 2));
  }
  AudioBufferList input;
  input.mBuffers.push_back({2, kFrames * 2 * sizeof(float), mic.data()});
  input.mBuffers.push_back({2, kFrames * 2 * sizeof(float), system.data()});
  AudioTimeStamp stamp;
  stamp.mHostTime = 1'000'000'000;
  // About 1 MB of frames per batch: half the queue, so it never fills.
  constexpr long kBatchCycles = 160;
  const long cycles = buffers / 2;
  for (long n = 0; n < cycles; ++n) {
    mic[n % kSamples] += 1e-4f;  // a buffer is never quite the same twice
    stamp.mSampleTime += kFrames;
    stamp.mHostTime += 10'666'667;
    velmar::AudioRecorder::ioproc(aggregate, &stamp, &input, &stamp, nullptr, &stamp, &recorder);
    if ((n + 1) % kBatchCycles == 0) queue.flush(std::chrono::seconds(30));
  }
  queue.flush(std::chrono::seconds(30));
  velmar::ProcessStreams::flushLines(std::chrono::seconds(5));
  const auto dropped = queue.droppedCount();
  std::fprintf(stderr, "%ld buffers, %llu frames written, %llu dropped\n", cycles * 2,
               static_cast<unsigned long long>(queue.writtenCount()),
               static_cast<unsigned long long>(dropped));
  // The count is of the path without drops.
  std::_Exit(dropped == 0 ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "fast" && mode != "naive" && mode != "io" && mode != "io-silent") {
    std::fprintf(stderr, "usage: %s fast|naive|io|io-silent BUFFERS\n", argv[0]);
    return 2;
  }
  const long buffers = std::strtol(argv[2], nullptr, 10);
  if (mode == "io" || mode == "io-silent") return ioPath(buffers, mode == "io-silent");
  const bool fast = mode == "fast";

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
