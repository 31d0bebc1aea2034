#include "sim/SimulatedAudioHardware.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace velmar::sim {

using namespace coreaudio;

bool SimulatedAudioHardware::deviceRunningLocked(const Device& device) const {
  if (device.hardwareStarted) return true;
  for (const auto& [procID, proc] : ioProcs_) {
    if (proc->device == device.id && proc->started) return true;
  }
  return false;
}

bool SimulatedAudioHardware::deviceRunningSomewhereLocked(const Device& device) const {
  if (device.config.inUseElsewhere || deviceRunningLocked(device)) return true;
  for (const auto& [id, other] : devices_) {
    if (!other.aggregate || !deviceRunningLocked(other)) continue;
    const auto& subs = other.aggregate->subDevices;
    if (std::find(subs.begin(), subs.end(), device.config.uid) != subs.end()) return true;
  }
  return false;
}

void SimulatedAudioHardware::waitForDispatchLocked(std::unique_lock<std::mutex>& lock) {
  if (std::this_thread::get_id() == ioThreadID_) return;
  changed_.wait(lock, [this] { return !ioDispatching_; });
}

void SimulatedAudioHardware::removeIOProcsOfDeviceLocked(AudioObjectID device) {
  for (auto it = ioProcs_.begin(); it != ioProcs_.end();) {
    it = it->second->device == device ? ioProcs_.erase(it) : std::next(it);
  }
}

OSStatus SimulatedAudioHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                                void* clientData, AudioDeviceIOProcID& outProcID) {
  std::lock_guard lock(mutex_);
  if (auto failure = injectedFailureLocked(HalOperation::kCreateIOProcID, device, std::nullopt)) {
    return *failure;
  }
  if (deviceLocked(device) == nullptr) return kAudioHardwareBadDeviceError;
  if (proc == nullptr) return kAudioHardwareIllegalOperationError;
  auto record = std::make_unique<IOProc>(IOProc{device, proc, clientData, false});
  // The record's address is the handle; it stays unique while registered.
  auto id = reinterpret_cast<AudioDeviceIOProcID>(record.get());
  ioProcs_[id] = std::move(record);
  outProcID = id;
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
    if (auto failure =
            injectedFailureLocked(HalOperation::kDestroyIOProcID, device, std::nullopt)) {
      return *failure;
    }
    auto it = ioProcs_.find(procID);
    if (it == ioProcs_.end() || it->second->device != device) {
      return kAudioHardwareIllegalOperationError;
    }
    ioProcs_.erase(it);
    return kAudioHardwareNoError;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return status;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  return mutate([&]() -> OSStatus {
    if (auto failure = injectedFailureLocked(HalOperation::kDeviceStart, device, std::nullopt)) {
      return *failure;
    }
    Device* target = deviceLocked(device);
    if (target == nullptr) return kAudioHardwareBadDeviceError;
    if (!target->config.alive) return kAudioHardwareNotRunningError;
    if (procID == nullptr) {
      target->hardwareStarted = true;
    } else {
      // A procedure belongs to the device it was created on.
      auto it = ioProcs_.find(procID);
      if (it == ioProcs_.end() || it->second->device != device) {
        return kAudioHardwareIllegalOperationError;
      }
      it->second->started = true;
    }
    ensureIOThreadLocked();
    return kAudioHardwareNoError;
  });
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
    if (auto failure = injectedFailureLocked(HalOperation::kDeviceStop, device, std::nullopt)) {
      return *failure;
    }
    Device* target = deviceLocked(device);
    if (target == nullptr) return kAudioHardwareBadDeviceError;
    if (procID == nullptr) {
      target->hardwareStarted = false;
      return kAudioHardwareNoError;
    }
    auto it = ioProcs_.find(procID);
    if (it == ioProcs_.end() || it->second->device != device) {
      return kAudioHardwareIllegalOperationError;
    }
    it->second->started = false;
    return kAudioHardwareNoError;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return status;
}

// --- IO thread ---

void SimulatedAudioHardware::ensureIOThreadLocked() {
  if (ioThread_.joinable()) return;
  ioThread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "sim-io");
    ioThreadMain();
  });
  ioThreadID_ = ioThread_.get_id();
}

void SimulatedAudioHardware::ioThreadMain() {
  using Clock = std::chrono::steady_clock;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kIOCycleSeconds));
  struct StreamCycle {
    UInt32 channels = 0;
    std::vector<Tone> tones;
  };
  struct Cycle {
    AudioObjectID device = 0;
    Float64 rate = 0;
    UInt32 frames = 0;
    AudioTimeStamp time;
    std::size_t streamCount = 0;  // streams in use this cycle
    std::vector<StreamCycle> streams;
    std::vector<std::pair<AudioDeviceIOProc, void*>> procs;
  };
  // Everything a cycle needs is kept between cycles and only grows, so once
  // the machine's shape settles the IO thread allocates nothing (as a
  // platform's IO thread would not).
  std::vector<Cycle> cycles;
  std::size_t used = 0;
  std::vector<std::vector<float>> samples;
  AudioBufferList input;
  AudioBufferList output;

  std::unique_lock lock(mutex_);
  auto anyRunning = [this] {
    for (const auto& [id, device] : devices_) {
      if (deviceRunningLocked(device)) return true;
    }
    return false;
  };
  auto next = Clock::now();
  while (!stopping_) {
    if (!anyRunning()) {
      changed_.wait(lock, [&] { return stopping_ || anyRunning(); });
      next = Clock::now();
      continue;
    }
    next += period;
    changed_.wait_until(lock, next, [this] { return stopping_; });
    if (stopping_) break;
    // After a stall, deliver at the normal pace again instead of catching up.
    if (Clock::now() - next > 10 * period) next = Clock::now();

    used = 0;
    for (AudioObjectID id : deviceOrder_) {
      Device& device = devices_.at(id);
      if (!deviceRunningLocked(device)) continue;
      if (used == cycles.size()) cycles.emplace_back();
      Cycle& cycle = cycles[used];
      cycle.device = id;
      cycle.rate = device.config.nominalSampleRate;
      cycle.frames = static_cast<UInt32>(std::lround(cycle.rate * kIOCycleSeconds));
      cycle.time.mSampleTime = device.sampleTime;
      cycle.time.mHostTime = static_cast<UInt64>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count());
      device.sampleTime += cycle.frames;
      cycle.streamCount = 0;
      for (AudioObjectID streamID : device.inputStreams) {
        const Stream& stream = streams_.at(streamID);
        if (cycle.streamCount == cycle.streams.size()) cycle.streams.emplace_back();
        StreamCycle& slot = cycle.streams[cycle.streamCount++];
        slot.channels = stream.channels;
        streamTonesLocked(stream, slot.tones);
      }
      cycle.procs.clear();
      for (const auto& [procID, proc] : ioProcs_) {
        if (proc->device == id && proc->started)
          cycle.procs.emplace_back(proc->proc, proc->clientData);
      }
      if (!cycle.procs.empty()) ++used;
    }
    if (used == 0) continue;
    ioDispatching_ = true;
    lock.unlock();

    for (std::size_t c = 0; c < used; ++c) {
      const Cycle& cycle = cycles[c];
      if (samples.size() < cycle.streamCount) samples.resize(cycle.streamCount);
      input.mBuffers.clear();
      for (size_t s = 0; s < cycle.streamCount; ++s) {
        const StreamCycle& stream = cycle.streams[s];
        auto& buffer = samples[s];
        buffer.resize(static_cast<size_t>(cycle.frames) * stream.channels);
        synthesize(stream.tones, cycle.rate, cycle.time.mSampleTime, cycle.frames, stream.channels,
                   buffer.data());
        input.mBuffers.push_back(
            {stream.channels, static_cast<UInt32>(buffer.size() * sizeof(float)), buffer.data()});
      }
      for (const auto& [proc, clientData] : cycle.procs) {
        proc(cycle.device, &cycle.time, &input, &cycle.time, &output, &cycle.time, clientData);
      }
    }

    lock.lock();
    ioDispatching_ = false;
    changed_.notify_all();
  }
}

}  // namespace velmar::sim
