#include "hal/ModelAudioHardware.h"

#include <algorithm>

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::Float64;
using audiohal::kAudioObjectUnknown;
using audiohal::UInt32;

void ModelAudioHardware::createDeviceStreamsLocked(Device& device) {
  for (UInt32 channels : device.config.inputStreams) {
    Stream stream{nextIDLocked(), device.id, true, channels, {}, {}, {}};
    stream.sourceUID = device.config.uid;
    device.inputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
  for (UInt32 channels : device.config.outputStreams) {
    Stream stream{nextIDLocked(), device.id, false, channels, {}, {}, {}};
    stream.sourceUID = device.config.uid;
    device.outputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
}

AudioObjectID ModelAudioHardware::addDevice(const DeviceConfig& config) {
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

bool ModelAudioHardware::removeDevice(const std::string& uid) {
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
  waitForIOCycle();
  return removed;
}

bool ModelAudioHardware::killDevice(const std::string& uid) {
  return mutate([&] {
    Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    device->config.alive = false;
    device->hardwareStarted = false;
    for (auto& [procID, proc] : ioProcs_) {
      if (proc->device == device->id) proc->started = false;
    }
    return true;
  });
}

bool ModelAudioHardware::reviveDevice(const std::string& uid) {
  return mutate([&] {
    Device* device = deviceByUIDLocked(uid);
    if (device == nullptr || device->config.alive) return false;
    device->config.alive = true;
    return true;
  });
}

bool ModelAudioHardware::setDeviceInUseElsewhere(const std::string& uid, bool inUse) {
  return mutate([&] {
    Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    device->config.inUseElsewhere = inUse;
    return true;
  });
}

void ModelAudioHardware::setEveryDeviceRate(Float64 rate) {
  mutate([&] {
    for (auto& [id, device] : devices_) {
      device.config.nominalSampleRate = rate;
      if (!supportsRate(device.config.sampleRateRanges, rate)) {
        device.config.sampleRateRanges.push_back({rate, rate});
      }
    }
    return true;
  });
}

bool ModelAudioHardware::setDefaultInputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultInput_ = device->id;
    return true;
  });
}

bool ModelAudioHardware::setDefaultOutputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultOutput_ = device->id;
    return true;
  });
}

AudioObjectID ModelAudioHardware::addProcess(const ProcessConfig& config) {
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

bool ModelAudioHardware::removeProcess(std::int32_t pid) {
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

bool ModelAudioHardware::setProcessRunning(std::int32_t pid, bool running) {
  return mutate([&] {
    for (auto& [id, process] : processes_) {
      if (process.config.pid != pid) continue;
      process.config.running = running;
      return true;
    }
    return false;
  });
}

bool ModelAudioHardware::updateDeviceFormat(const std::string& uid, Float64 nominalSampleRate,
                                            const std::vector<UInt32>& inputStreams,
                                            const std::vector<UInt32>& outputStreams) {
  return mutate([&] {
    Device* device = deviceByUIDLocked(uid);
    if (device == nullptr || device->aggregate) return false;
    device->config.nominalSampleRate = nominalSampleRate;
    if (!supportsRate(device->config.sampleRateRanges, nominalSampleRate)) {
      device->config.sampleRateRanges.push_back({nominalSampleRate, nominalSampleRate});
    }
    // Streams keep their IDs while their width stays; a changed one is new.
    auto update = [&](std::vector<AudioObjectID>& ids, const std::vector<UInt32>& widths,
                      bool input) {
      std::vector<AudioObjectID> kept;
      for (std::size_t i = 0; i < widths.size(); ++i) {
        if (i < ids.size() && streams_.at(ids[i]).channels == widths[i]) {
          kept.push_back(ids[i]);
          continue;
        }
        Stream stream{nextIDLocked(), device->id, input, widths[i], {}, {}, {}};
        stream.sourceUID = uid;
        streams_[stream.id] = stream;
        kept.push_back(stream.id);
      }
      for (AudioObjectID id : ids) {
        if (std::find(kept.begin(), kept.end(), id) == kept.end()) streams_.erase(id);
      }
      ids = std::move(kept);
    };
    update(device->inputStreams, inputStreams, true);
    update(device->outputStreams, outputStreams, false);
    device->config.inputStreams = inputStreams;
    device->config.outputStreams = outputStreams;
    return true;
  });
}

bool ModelAudioHardware::updateProcessIdentity(std::int32_t pid,
                                               const std::optional<std::string>& name,
                                               const std::string& bundleID) {
  return mutate([&] {
    Process* process = processByPIDLocked(pid);
    if (process == nullptr) return false;
    process->config.name = name;
    process->config.bundleID = bundleID;
    return true;
  });
}

AudioObjectID ModelAudioHardware::deviceID(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  return device ? device->id : kAudioObjectUnknown;
}

AudioObjectID ModelAudioHardware::processObjectID(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return id;
  }
  return kAudioObjectUnknown;
}

std::optional<ProcessConfig> ModelAudioHardware::processWithPID(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return process.config;
  }
  return std::nullopt;
}

std::vector<ProcessConfig> ModelAudioHardware::processes() const {
  std::lock_guard lock(mutex_);
  std::vector<ProcessConfig> result;
  for (AudioObjectID id : processOrder_) result.push_back(processes_.at(id).config);
  return result;
}

}  // namespace velmar::hal

namespace velmar::hal {

std::optional<DeviceConfig> ModelAudioHardware::deviceWithUID(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  if (device == nullptr) return std::nullopt;
  return device->config;
}

Float64 ModelAudioHardware::deviceSampleRate(AudioObjectID device) const {
  std::lock_guard lock(mutex_);
  const Device* found = deviceLocked(device);
  return found ? found->config.nominalSampleRate : 0;
}

std::optional<StreamRoute> ModelAudioHardware::inputStreamRoute(AudioObjectID device,
                                                                std::size_t index) const {
  std::lock_guard lock(mutex_);
  const Device* found = deviceLocked(device);
  if (found == nullptr || index >= found->inputStreams.size()) return std::nullopt;
  return streamRouteLocked(streams_.at(found->inputStreams[index]));
}

}  // namespace velmar::hal
