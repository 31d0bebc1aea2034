#include "sim/SimulatedAudioHardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "runtime/ThreadName.h"

namespace velmar::sim {

using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::Float64;
using audiohal::kAudioHardwareBadDeviceError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioObjectUnknown;
using audiohal::OSStatus;
using audiohal::UInt32;
using audiohal::UInt64;

namespace {

// Frames of the longest cycle: 10 ms at the highest rate a device offers.
constexpr UInt32 kMaxCycleFrames = 1920;  // 192 kHz
constexpr UInt32 kMaxChannels = 16;

}  // namespace

SimulatedAudioHardware::SimulatedAudioHardware() {
  prepareIO(kMaxCycleFrames, kMaxChannels);
  ioThread_ = std::thread([this] {
    runtime::nameThisThread("sim-io");
    ioThreadMain();
  });
}

SimulatedAudioHardware::~SimulatedAudioHardware() {
  {
    std::lock_guard lock(pacingMutex_);
    stopping_ = true;
  }
  pacing_.notify_all();
  ioThread_.join();
}

void SimulatedAudioHardware::routingChanged() {
  { std::lock_guard lock(pacingMutex_); }
  pacing_.notify_all();
}

AudioObjectID SimulatedAudioHardware::addDevice(const SimulatedDeviceConfig& config) {
  // The tone is known before the device appears, so its first cycle has it.
  std::optional<Tone> previous;
  {
    std::lock_guard lock(tonesMutex_);
    ToneTable table = tones_.latest();
    if (auto it = table.devices.find(config.uid); it != table.devices.end()) previous = it->second;
    table.devices[config.uid] = {toneOfDevice(config), config.toneAmplitude, config.waveform};
    tones_.publish(std::move(table));
  }
  AudioObjectID id = ModelAudioHardware::addDevice(config);
  if (id == 0) {
    std::lock_guard lock(tonesMutex_);
    ToneTable table = tones_.latest();
    if (previous) {
      table.devices[config.uid] = *previous;
    } else {
      table.devices.erase(config.uid);
    }
    tones_.publish(std::move(table));
  }
  return id;
}

AudioObjectID SimulatedAudioHardware::addProcess(const SimulatedProcessConfig& config) {
  if (processObjectID(config.pid) != kAudioObjectUnknown) return 0;
  {
    std::lock_guard lock(tonesMutex_);
    processExtras_[config.pid] = {config.commandName, config.toneFrequency, config.amplitude};
    ToneTable table = tones_.latest();
    table.processes[config.pid] = {toneOfProcess(config), config.amplitude};
    tones_.publish(std::move(table));
  }
  return ModelAudioHardware::addProcess(config.model());
}

SimulatedProcessConfig SimulatedAudioHardware::withExtrasLocked(
    const hal::ProcessConfig& process) const {
  SimulatedProcessConfig config;
  config.pid = process.pid;
  config.bundleID = process.bundleID;
  config.name = process.name;
  config.running = process.running;
  config.outputDeviceUID = process.outputDeviceUID;
  if (auto it = processExtras_.find(process.pid); it != processExtras_.end()) {
    config.commandName = it->second.commandName;
    config.toneFrequency = it->second.toneFrequency;
    config.amplitude = it->second.amplitude;
  }
  return config;
}

std::optional<SimulatedProcessConfig> SimulatedAudioHardware::processWithPID(
    std::int32_t pid) const {
  auto process = ModelAudioHardware::processWithPID(pid);
  if (!process) return std::nullopt;
  std::lock_guard lock(tonesMutex_);
  return withExtrasLocked(*process);
}

std::vector<SimulatedProcessConfig> SimulatedAudioHardware::processes() const {
  auto listed = ModelAudioHardware::processes();
  std::lock_guard lock(tonesMutex_);
  std::vector<SimulatedProcessConfig> result;
  for (const auto& process : listed) result.push_back(withExtrasLocked(process));
  return result;
}

void SimulatedAudioHardware::setTapCaptureAuthorized(bool authorized) {
  std::lock_guard lock(tonesMutex_);
  if (tones_.latest().tapsAuthorized == authorized) return;
  ToneTable table = tones_.latest();
  table.tapsAuthorized = authorized;
  tones_.publish(std::move(table));
}

// --- IO thread ---

void SimulatedAudioHardware::ioThreadMain() {
  using Clock = std::chrono::steady_clock;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kIOCycleSeconds));
  // Sized once: the IO thread allocates nothing (as a platform's would not).
  std::vector<std::pair<AudioObjectID, Float64>> started;
  started.reserve(64);
  std::vector<std::pair<AudioObjectID, Float64>> sampleTimes;  // each device's clock
  sampleTimes.reserve(256);

  std::unique_lock lock(pacingMutex_);
  auto next = Clock::now();
  while (!stopping_) {
    if (!hasStartedIO()) {
      pacing_.wait(lock, [&] { return stopping_ || hasStartedIO(); });
      next = Clock::now();
      continue;
    }
    next += period;
    pacing_.wait_until(lock, next, [this] { return stopping_; });
    if (stopping_) break;
    // After a stall, deliver at the normal pace again instead of catching up.
    if (Clock::now() - next > 10 * period) next = Clock::now();
    lock.unlock();

    startedDevices(started);
    {
      auto tones = tones_.read();
      filler_.table = &*tones;
      for (const auto& [device, rate] : started) {
        // A copy: clang before 16 cannot capture a structured binding.
        const auto id = device;
        auto clock = std::find_if(sampleTimes.begin(), sampleTimes.end(),
                                  [id](const auto& entry) { return entry.first == id; });
        if (clock == sampleTimes.end()) {
          if (sampleTimes.size() == sampleTimes.capacity()) sampleTimes.clear();
          sampleTimes.emplace_back(device, 0.0);
          clock = sampleTimes.end() - 1;
        }
        AudioTimeStamp time;
        time.mSampleTime = clock->second;
        time.mHostTime = static_cast<UInt64>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count());
        const auto frames = static_cast<UInt32>(std::lround(rate * kIOCycleSeconds));
        runIOCycle(device, frames, time, filler_);
        clock->second += frames;
      }
      filler_.table = nullptr;
    }
    lock.lock();
  }
}

void SimulatedAudioHardware::Filler::fill(const hal::StreamRoute& route, Float64 sampleRate,
                                          Float64 sampleTime, UInt32 frames, UInt32 channels,
                                          float* out) {
  streamTones(route, *table, tones_);
  synthesize(tones_, sampleRate, sampleTime, frames, channels, out);
}

OSStatus SimulatedAudioHardware::renderDeviceInput(AudioObjectID device, Float64 sampleTime,
                                                   UInt32 frames, UInt32 channels,
                                                   float* out) const {
  const Float64 rate = deviceSampleRate(device);
  if (rate == 0) return kAudioHardwareBadDeviceError;
  auto route = inputStreamRoute(device, 0);
  if (!route) return kAudioHardwareIllegalOperationError;
  std::vector<Tone> tones;
  {
    std::lock_guard lock(tonesMutex_);
    streamTones(*route, tones_.latest(), tones);
  }
  synthesize(tones, rate, sampleTime, frames, channels, out);
  return kAudioHardwareNoError;
}

}  // namespace velmar::sim
