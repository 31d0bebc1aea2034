// IO cycles of the PipeWire backend at real-time pace, seen from an IO
// procedure of this program: an aggregate of the session's microphone and a
// tap over one player, as the service records them. The procedure only
// stores two clock readings per cycle in a buffer allocated before the start;
// the figures are worked out after the stop.
//
//   velmar-tool-pipewire-io-cycles PLAYER_PID SECONDS
//
// Run it with the environment of a PipeWire session
// (bench/pipewire_io_cycles.sh starts a private one).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pipewire/PipeWireAudioHardware.h"
#include "pipewire/PipeWireBackend.h"

using namespace velmar;
using namespace velmar::audiohal;

namespace {

struct Cycle {
  std::int64_t entered = 0;     // monotonic ns when the procedure was called
  std::int64_t graphStart = 0;  // the graph's cycle start it was given
  std::uint32_t frames = 0;     // frames of the first buffer
  std::uint32_t buffers = 0;
};

struct Recorder {
  std::vector<Cycle> cycles;
  std::atomic<std::size_t> count{0};

  static OSStatus ioProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                         const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*,
                         void* clientData) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto* self = static_cast<Recorder*>(clientData);
    const std::size_t i = self->count.load(std::memory_order_relaxed);
    if (i >= self->cycles.size()) return 0;
    Cycle& cycle = self->cycles[i];
    cycle.entered = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
    cycle.graphStart = static_cast<std::int64_t>(inputTime->mHostTime);
    cycle.buffers = input->numberBuffers();
    cycle.frames = cycle.buffers > 0
                       ? input->mBuffers[0].mDataByteSize /
                             (4 * std::max<UInt32>(1, input->mBuffers[0].mNumberChannels))
                       : 0;
    self->count.store(i + 1, std::memory_order_release);
    return 0;
  }
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

AudioObjectID processObject(AudioHardware& hal, std::int32_t pid) {
  std::vector<AudioObjectID> ids;
  hal.getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyProcessObjectList),
                  ids);
  for (AudioObjectID id : ids) {
    SInt32 found = 0;
    if (hal.getProperty(id, globalAddress(kAudioProcessPropertyPID), found) == 0 && found == pid)
      return id;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PLAYER_PID SECONDS\n", argv[0]);
    return 2;
  }
  const std::int32_t pid = std::atoi(argv[1]);
  const double seconds = std::atof(argv[2]);
  std::string error;
  auto* backend = pipewire::PipeWireBackend::install(error);
  if (backend == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  AudioHardware& hal = backend->hardware();
  backend->hardware().settle();
  const AudioObjectID player = processObject(hal, pid);
  if (player == 0) {
    std::fprintf(stderr, "no audio process with pid %d\n", pid);
    return 1;
  }
  CATapDescription description;
  description.uuid = "BENCH-TAP";
  description.processes = {player};
  description.isMixdown = true;
  AudioObjectID tap = 0, aggregate = 0;
  if (hal.createProcessTap(description, tap) != 0 ||
      hal.createAggregateDevice({{"name", "Bench"},
                                 {"uid", "bench"},
                                 {"subdevices", {"ci-mic"}},
                                 {"taps", {"BENCH-TAP"}}},
                                aggregate) != 0) {
    std::fprintf(stderr, "could not make the tap and the aggregate\n");
    return 1;
  }

  Recorder recorder;
  // Room for the smallest quantum PipeWire runs (32 frames at 48 kHz).
  recorder.cycles.resize(static_cast<std::size_t>(seconds * 48000 / 32) + 1024);
  AudioDeviceIOProcID proc = nullptr;
  hal.createIOProcID(aggregate, &Recorder::ioProc, &recorder, proc);
  if (hal.deviceStart(aggregate, proc) != 0) {
    std::fprintf(stderr, "the aggregate did not start\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  hal.deviceStop(aggregate, proc);
  backend->hardware().settle();

  const std::size_t n = recorder.count.load(std::memory_order_acquire);
  // The first second is warm-up (links being made, the quantum settling).
  std::vector<double> spacingMs, lateUs;
  std::size_t skip = 0;
  while (skip < n && recorder.cycles[skip].entered - recorder.cycles[0].entered < 1'000'000'000)
    ++skip;
  std::uint32_t frames = 0, buffers = 0;
  for (std::size_t i = skip + 1; i < n; ++i) {
    const Cycle& c = recorder.cycles[i];
    spacingMs.push_back((c.entered - recorder.cycles[i - 1].entered) / 1e6);
    lateUs.push_back((c.entered - c.graphStart) / 1e3);
    frames = c.frames;
    buffers = c.buffers;
  }
  const double period = frames / 48.0;
  std::size_t overruns = 0;
  for (double s : spacingMs) overruns += s > 1.5 * period;
  std::printf("cycles measured: %zu (after 1 s of warm-up), %u frames each, %u buffers\n",
              spacingMs.size(), frames, buffers);
  std::printf("cycle spacing: p50 %.3f ms, p99 %.3f ms, max %.3f ms (period %.3f ms)\n",
              percentile(spacingMs, 0.5), percentile(spacingMs, 0.99),
              spacingMs.empty() ? 0 : *std::max_element(spacingMs.begin(), spacingMs.end()),
              period);
  std::printf("graph cycle start to IO procedure: p50 %.1f us, p99 %.1f us, max %.1f us\n",
              percentile(lateUs, 0.5), percentile(lateUs, 0.99),
              lateUs.empty() ? 0 : *std::max_element(lateUs.begin(), lateUs.end()));
  std::printf("late cycles (spacing over 1.5 periods): %zu\n", overruns);
  hal.destroyIOProcID(aggregate, proc);
  hal.destroyAggregateDevice(aggregate);
  hal.destroyProcessTap(tap);
  return 0;
}
