// Cost of the microphone monitor's main-loop pass when nothing is due and when
// the once-a-second device walk runs, and of one level-meter input cycle.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

#include <benchmark/benchmark.h>

#include "microphone/AudioLevelMonitor.h"
#include "microphone/MicrophoneDetector.h"
#include "microphone/MicrophoneMonitor.h"
#include "protocol/ProcessStreams.h"
#include "sim/SimulatedMachine.h"

namespace {

using namespace velmar;

// Output goes nowhere: the writes are not what is measured here.
void silenceOutput() {
  static const int null = ::open("/dev/null", O_WRONLY);
  ProcessStreams::redirect(null, null);
}

void BM_MonitorPassNothingDue(benchmark::State& state) {
  sim::SimulatedMachine::install();
  silenceOutput();
  // A clock that stands still after the first pass, so nothing falls due.
  MonitorClock frozen{[] { return std::chrono::system_clock::time_point(std::chrono::hours(1)); },
                      [] { return std::chrono::steady_clock::now(); }};
  MicrophoneMonitor monitor(frozen);
  monitor.checkAndUpdateStatus();
  for (auto _ : state) monitor.checkAndUpdateStatus();
  ProcessStreams::restoreDefaults();
}
BENCHMARK(BM_MonitorPassNothingDue);

void BM_MicrophoneCheck(benchmark::State& state) {
  auto& machine = sim::SimulatedMachine::install();
  machine.hardware().setDeviceInUseElsewhere("BuiltInMicrophoneDevice", true);
  silenceOutput();
  MicrophoneDetector detector;
  for (auto _ : state) benchmark::DoNotOptimize(detector.checkMicrophones());
  ProcessStreams::restoreDefaults();
}
BENCHMARK(BM_MicrophoneCheck);

// One 10 ms cycle at 48 kHz (480 frames, two channels): the simulated render
// plus the RMS and peak. The unit is set up but not started, so the
// benchmark is the only caller of the input callback.
void BM_LevelMeterCycle(benchmark::State& state) {
  auto& machine = sim::SimulatedMachine::install();
  silenceOutput();
  machine.audioUnits().injectFailure(sim::AudioUnitOperation::kOutputUnitStart, -1);
  AudioLevelMonitor monitor(machine.audioUnits());
  monitor.startMonitoring(machine.hardware().deviceID("BuiltInMicrophoneDevice"));
  machine.audioUnits().clearFailures();
  platform::AudioUnitRenderActionFlags flags = 0;
  audiohal::AudioTimeStamp time;
  for (auto _ : state) {
    benchmark::DoNotOptimize(monitor.inputCallback(&flags, &time, 1, 480, nullptr));
    time.mSampleTime += 480;
  }
  state.counters["rms"] = monitor.getCurrentLevels().rms;
  monitor.stopMonitoring();
  ProcessStreams::restoreDefaults();
}
BENCHMARK(BM_LevelMeterCycle);

}  // namespace

BENCHMARK_MAIN();
