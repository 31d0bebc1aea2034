// Drives the service's IO path (engine → bridge → recorder manager → audio
// frame queue → standard output) on the simulated machine, for the scripts
// beside it. Standard output carries the frames (pipe it into a reader
// process); the figures go to the file given last.
//
//   velmar-tool-AudioStreamPath throughput SECONDS RESULTS
//       IO cycles back to back: "audioData" frames written per second.
//   velmar-tool-AudioStreamPath paced SECONDS RESULTS
//       one cycle every 10.7 ms (512 frames at 48 kHz): time per IO callback.
//   velmar-tool-AudioStreamPath paced-off SECONDS RESULTS
//       the same with streaming disabled (the engine and the bridge only).
//
// Each cycle carries two 512-frame stereo float buffers (microphone, tap).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchAggregate.h"
#include "aggregate/AggregateDeviceManager.h"
#include "platform/Platform.h"
#include "protocol/AudioFrameQueue.h"
#include "protocol/ProcessStreams.h"
#include "recording/RecorderManager.h"
#include "sim/SimulatedMachine.h"

using namespace velmar;
using namespace velmar::audiohal;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s throughput|paced|paced-off SECONDS RESULTS\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const double seconds = std::atof(argv[2]);
  FILE* results = std::fopen(argv[3], "w");
  if (results == nullptr) return 2;

  auto& machine = sim::SimulatedMachine::install();
  const AudioObjectID aggregate = velmar::bench::makeBenchAggregate(machine);

  auto devices = AggregateDeviceManager::create(platform::Platform::shared().hal(),
                                                "/tmp/velmar-bench-aggregates.json");
  auto& queue = AudioFrameQueue::shared();
  auto manager = RecorderManager::create(devices, platform::Platform::shared().hal(), &queue);
  manager->enableAudioStreaming({{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", 2}},
                                "bench");
  if (mode == "paced-off") {
    manager->disableAudioStreaming(nlohmann::json::object(), "bench");
  }
  AudioRecorder& recorder = manager->recorder();
  recorder.setDeviceID(aggregate);  // cataloged; the cycles below stand in for IO
  if (recorder.inputStreamList()->size() != 2) {
    std::fprintf(stderr, "expected two input streams\n");
    return 1;
  }

  constexpr UInt32 kFrames = 512;
  std::vector<float> mic(kFrames * 2), system(kFrames * 2);
  for (UInt32 i = 0; i < kFrames * 2; ++i) {
    mic[i] = 0.25f * std::sin(0.05f * static_cast<float>(i));
    system[i] = 0.25f * std::sin(0.031f * static_cast<float>(i));
  }
  AudioBufferList input;
  input.mBuffers.push_back({2, kFrames * 2 * 4, mic.data()});
  input.mBuffers.push_back({2, kFrames * 2 * 4, system.data()});
  AudioTimeStamp now;
  auto cycle = [&] {
    AudioRecorder::ioproc(aggregate, &now, &input, &now, nullptr, &now, &recorder);
  };

  const auto written0 = queue.writtenCount();
  const auto dropped0 = queue.droppedCount();
  const auto start = Clock::now();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<double> micros;
  std::uint64_t cycles = 0;
  if (mode == "throughput") {
    while (Clock::now() < end) {
      for (int i = 0; i < 64; ++i) cycle();
      cycles += 64;
    }
  } else {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(kFrames / 48000.0));
    auto next = start;
    while (next < end) {
      next += period;
      std::this_thread::sleep_until(next);
      const auto before = Clock::now();
      cycle();
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      ++cycles;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  queue.flush(std::chrono::seconds(10));
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  const auto written = queue.writtenCount() - written0;
  const auto dropped = queue.droppedCount() - dropped0;

  std::fprintf(results, "mode %s: %llu cycles, %llu frames pushed in %.2f s\n", mode.c_str(),
               static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(cycles * 2),
               elapsed);
  std::fprintf(results, "frames written %llu, dropped %llu; written per second %.0f\n",
               static_cast<unsigned long long>(written), static_cast<unsigned long long>(dropped),
               static_cast<double>(written) / total);
  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
      return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
    };
    std::fprintf(results, "IO callback: p50 %.1f us, p99 %.1f us, max %.1f us\n", at(0.50),
                 at(0.99), micros.back());
  }
  std::fclose(results);
  ProcessStreams::flushLines(std::chrono::seconds(2));
  std::_Exit(0);
}
