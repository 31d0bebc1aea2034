#include "sim/SimulatedAudioUnitService.h"

#include <chrono>
#include <cmath>

namespace velmar::sim {

using namespace platform;
using audiohal::AudioTimeStamp;

namespace {

// What the unit's device picks up at the cycle's sample time.
class DeviceInput final : public hal::InputCycle {
 public:
  DeviceInput(const SimulatedAudioHardware& hardware, AudioObjectID device, Float64 sampleTime)
      : hardware_(hardware), device_(device), sampleTime_(sampleTime) {}
  OSStatus read(UInt32 frames, UInt32 channels, float* out) override {
    return hardware_.renderDeviceInput(device_, sampleTime_, frames, channels, out);
  }

 private:
  const SimulatedAudioHardware& hardware_;
  AudioObjectID device_;
  Float64 sampleTime_;
};

}  // namespace

SimulatedAudioUnitService::SimulatedAudioUnitService(SimulatedAudioHardware& hardware)
    : InputUnitService(hardware), hardware_(hardware) {}

SimulatedAudioUnitService::~SimulatedAudioUnitService() { stopAll(); }

OSStatus SimulatedAudioUnitService::startInput(const InputSpec& spec) {
  auto pacer = std::make_shared<Pacer>();
  std::lock_guard lock(mutex_);
  pacer->thread = std::thread([this, spec, pacer] { run(spec, pacer); });
  pacers_[spec.unit] = std::move(pacer);
  return audiohal::kAudioHardwareNoError;
}

void SimulatedAudioUnitService::stopInput(AudioUnit unit, bool fromOwnCycle) {
  std::shared_ptr<Pacer> pacer;
  {
    std::lock_guard lock(mutex_);
    auto it = pacers_.find(unit);
    if (it == pacers_.end()) return;
    pacer = std::move(it->second);
    pacers_.erase(it);
  }
  {
    std::lock_guard lock(pacer->mutex);
    pacer->stopping = true;
  }
  pacer->stop.notify_all();
  // Stopped from its own callback: the thread ends after the callback.
  if (fromOwnCycle) {
    pacer->thread.detach();
  } else {
    pacer->thread.join();
  }
}

void SimulatedAudioUnitService::run(InputSpec spec, std::shared_ptr<Pacer> pacer) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(SimulatedAudioHardware::kIOCycleSeconds));
  const auto frames =
      static_cast<UInt32>(std::lround(spec.sampleRate * SimulatedAudioHardware::kIOCycleSeconds));
  Float64 sampleTime = 0;
  auto next = Clock::now();
  std::unique_lock lock(pacer->mutex);
  while (true) {
    next += period;
    if (pacer->stop.wait_until(lock, next, [&] { return pacer->stopping; })) return;
    AudioTimeStamp time;
    time.mSampleTime = sampleTime;
    sampleTime += frames;
    DeviceInput input(hardware_, spec.device, time.mSampleTime);
    // The cycle runs without the pacing lock: stopping waits for this
    // thread instead.
    lock.unlock();
    cycle(spec.unit, frames, time, input);
    lock.lock();
  }
}

std::optional<OSStatus> SimulatedAudioUnitService::forcedFailure(
    AudioUnitOperation operation, std::optional<AudioUnitPropertyID> property) {
  std::lock_guard lock(mutex_);
  for (const Failure& failure : failures_) {
    if (failure.operation != operation) continue;
    if (failure.property && property != failure.property) continue;
    return failure.status;
  }
  return std::nullopt;
}

void SimulatedAudioUnitService::injectFailure(AudioUnitOperation operation, OSStatus status,
                                              std::optional<AudioUnitPropertyID> property) {
  std::lock_guard lock(mutex_);
  failures_.push_back({operation, status, property});
}

void SimulatedAudioUnitService::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

}  // namespace velmar::sim
