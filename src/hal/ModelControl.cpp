#include "sim/SimulatedAudioHardware.h"

#include <algorithm>

namespace velmar::sim {

using namespace coreaudio;

void SimulatedAudioHardware::createDeviceStreamsLocked(Device& device) {
  for (UInt32 channels : device.config.inputStreams) {
    Stream stream{nextIDLocked(), device.id, true, channels, {}, {}};
    stream.source = {StreamSource::Kind::kDevice, device.config.uid};
    device.inputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
  for (UInt32 channels : device.config.outputStreams) {
    Stream stream{nextIDLocked(), device.id, false, channels, {}, {}};
    stream.source = {StreamSource::Kind::kDevice, device.config.uid};
    device.outputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
}

AudioObjectID SimulatedAudioHardware::addDevice(const SimulatedDeviceConfig& config) {
  return mutate([&]() -> AudioObjectID {
    if (config.uid.empty() || deviceByUIDLocked(config.uid) != nullptr) return 0;
    Device device;
    device.id = nextIDLocked();
    device.config = config;
    createDeviceStreamsLocked(device);
    AudioObjectID id = device.id;
    devices_[id] = std::move(device);
    deviceOrder_.push_back(id);
    return id;
  });
}

bool SimulatedAudioHardware::removeDevice(const std::string& uid) {
  bool removed = mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    AudioObjectID id = device->id;
    eraseDeviceLocked(id);
    auto fallback = [this](bool input) -> AudioObjectID {
      for (AudioObjectID other : deviceOrder_) {
        const Device& candidate = devices_.at(other);
        if (candidate.aggregate) continue;
        if (!(input ? candidate.inputStreams : candidate.outputStreams).empty()) return other;
      }
      return 0;
    };
    if (defaultInput_ == id) defaultInput_ = fallback(true);
    if (defaultOutput_ == id) defaultOutput_ = fallback(false);
    return true;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return removed;
}

bool SimulatedAudioHardware::killDevice(const std::string& uid) {
  return mutate([&] {
    Device* device = const_cast<Device*>(deviceByUIDLocked(uid));
    if (device == nullptr) return false;
    device->config.alive = false;
    device->hardwareStarted = false;
    for (auto& [procID, proc] : ioProcs_) {
      if (proc->device == device->id) proc->started = false;
    }
    return true;
  });
}

bool SimulatedAudioHardware::setDeviceInUseElsewhere(const std::string& uid, bool inUse) {
  return mutate([&] {
    Device* device = const_cast<Device*>(deviceByUIDLocked(uid));
    if (device == nullptr) return false;
    device->config.inUseElsewhere = inUse;
    return true;
  });
}

bool SimulatedAudioHardware::setDefaultInputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultInput_ = device->id;
    return true;
  });
}

bool SimulatedAudioHardware::setDefaultOutputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultOutput_ = device->id;
    return true;
  });
}

AudioObjectID SimulatedAudioHardware::addProcess(const SimulatedProcessConfig& config) {
  return mutate([&]() -> AudioObjectID {
    for (const auto& [id, process] : processes_) {
      if (process.config.pid == config.pid) return 0;
    }
    Process process{nextIDLocked(), config};
    processes_[process.id] = process;
    processOrder_.push_back(process.id);
    return process.id;
  });
}

bool SimulatedAudioHardware::removeProcess(std::int32_t pid) {
  return mutate([&] {
    for (auto it = processes_.begin(); it != processes_.end(); ++it) {
      if (it->second.config.pid != pid) continue;
      AudioObjectID id = it->first;
      processes_.erase(it);
      processOrder_.erase(std::remove(processOrder_.begin(), processOrder_.end(), id),
                          processOrder_.end());
      return true;
    }
    return false;
  });
}

bool SimulatedAudioHardware::setProcessRunning(std::int32_t pid, bool running) {
  return mutate([&] {
    for (auto& [id, process] : processes_) {
      if (process.config.pid != pid) continue;
      process.config.running = running;
      return true;
    }
    return false;
  });
}

void SimulatedAudioHardware::injectFailure(const FailureRule& rule) {
  std::lock_guard lock(mutex_);
  failures_.push_back(rule);
}

void SimulatedAudioHardware::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

AudioObjectID SimulatedAudioHardware::deviceID(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  return device ? device->id : kAudioObjectUnknown;
}

AudioObjectID SimulatedAudioHardware::processObjectID(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return id;
  }
  return kAudioObjectUnknown;
}

std::optional<SimulatedProcessConfig> SimulatedAudioHardware::processWithPID(
    std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return process.config;
  }
  return std::nullopt;
}

std::vector<SimulatedProcessConfig> SimulatedAudioHardware::processes() const {
  std::lock_guard lock(mutex_);
  std::vector<SimulatedProcessConfig> result;
  for (AudioObjectID id : processOrder_) result.push_back(processes_.at(id).config);
  return result;
}

}  // namespace velmar::sim
