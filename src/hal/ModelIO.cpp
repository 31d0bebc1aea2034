#include "hal/ModelAudioHardware.h"

#include <algorithm>

namespace velmar::hal {

using audiohal::AudioDeviceIOProc;
using audiohal::AudioDeviceIOProcID;
using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::Float64;
using audiohal::kAudioHardwareBadDeviceError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwareNotRunningError;
using audiohal::kAudioObjectUnknown;
using audiohal::OSStatus;
using audiohal::UInt32;

bool ModelAudioHardware::deviceRunningLocked(const Device& device) const {
  if (device.hardwareStarted) return true;
  for (const auto& [procID, proc] : ioProcs_) {
    if (proc->device == device.id && proc->started) return true;
  }
  return false;
}

bool ModelAudioHardware::deviceRunningSomewhereLocked(const Device& device) const {
  if (device.config.inUseElsewhere || deviceRunningLocked(device)) return true;
  for (const auto& [id, other] : devices_) {
    if (!other.aggregate || !deviceRunningLocked(other)) continue;
    const auto& subs = other.aggregate->subDevices;
    if (std::find(subs.begin(), subs.end(), device.config.uid) != subs.end()) return true;
  }
  return false;
}

void ModelAudioHardware::removeIOProcsOfDeviceLocked(AudioObjectID device) {
  for (auto it = ioProcs_.begin(); it != ioProcs_.end();) {
    it = it->second->device == device ? ioProcs_.erase(it) : std::next(it);
  }
}

OSStatus ModelAudioHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                            void* clientData, AudioDeviceIOProcID& outProcID) {
  std::lock_guard lock(mutex_);
  if (deviceLocked(device) == nullptr) return kAudioHardwareBadDeviceError;
  if (proc == nullptr) return kAudioHardwareIllegalOperationError;
  auto record = std::make_unique<IOProc>(IOProc{device, proc, clientData, false});
  // The record's address is the handle; it stays unique while registered.
  auto id = reinterpret_cast<AudioDeviceIOProcID>(record.get());
  ioProcs_[id] = std::move(record);
  outProcID = id;
  return kAudioHardwareNoError;
}

OSStatus ModelAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
    auto it = ioProcs_.find(procID);
    if (it == ioProcs_.end() || it->second->device != device) {
      return kAudioHardwareIllegalOperationError;
    }
    ioProcs_.erase(it);
    return kAudioHardwareNoError;
  });
  waitForIOCycle();
  return status;
}

OSStatus ModelAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  return mutate([&]() -> OSStatus {
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
    return kAudioHardwareNoError;
  });
}

OSStatus ModelAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
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
  waitForIOCycle();
  return status;
}

// --- IO cycles ---

namespace {

// The model whose cycle this thread is running, so that a procedure that
// stops its own device does not wait for itself.
thread_local const ModelAudioHardware* tl_cyclingModel = nullptr;

}  // namespace

StreamRoute ModelAudioHardware::streamRouteLocked(const Stream& stream) const {
  StreamRoute route;
  route.source = stream.source;
  route.uid = stream.sourceUID;
  route.channels = stream.channels;
  if (stream.source == StreamRoute::Source::kDevice) {
    const Device* device = deviceByUIDLocked(stream.sourceUID);
    route.sourceAlive = device != nullptr && device->config.alive;
    return route;
  }
  const Tap* tap = tapByUIDLocked(stream.sourceUID);
  route.sourceAlive = tap != nullptr;
  if (tap == nullptr) return route;
  const auto& description = tap->description;
  route.tapProcesses = description.processes;
  route.tapExclusive = description.isExclusive;
  route.tapMixdown = description.isMixdown;
  route.tapMono = description.isMono;
  for (AudioObjectID processID : processOrder_) {
    const Process& process = processes_.at(processID);
    const auto& listed = description.processes;
    const bool inList = std::find(listed.begin(), listed.end(), processID) != listed.end();
    if (description.isExclusive == inList) continue;
    route.captured.push_back({processID, process.config.pid, process.config.running});
  }
  return route;
}

// The snapshot the IO thread reads: every device with started procedures,
// its input streams and procedures, and buffers for its cycles (kept from
// the previous snapshot while the layout stays, since only the IO thread
// writes them and it reads one snapshot at a time).
void ModelAudioHardware::publishRoutingLocked() {
  const IORouting& previous = routing_.latest();
  IORouting routing;
  for (AudioObjectID id : deviceOrder_) {
    const Device& device = devices_.at(id);
    DeviceRoute route;
    for (const auto& [procID, proc] : ioProcs_) {
      if (proc->device == id && proc->started)
        route.procs.emplace_back(proc->proc, proc->clientData);
    }
    if (route.procs.empty()) continue;
    route.device = id;
    route.sampleRate = device.config.nominalSampleRate;
    std::vector<UInt32> channels;
    for (AudioObjectID streamID : device.inputStreams) {
      route.streams.push_back(streamRouteLocked(streams_.at(streamID)));
      channels.push_back(route.streams.back().channels);
    }
    for (const DeviceRoute& old : previous.devices) {
      if (old.device == id && old.scratch && old.scratch->channels == channels &&
          old.scratch->framesCapacity == maxFramesPerCycle_) {
        route.scratch = old.scratch;
      }
    }
    if (!route.scratch) {
      auto scratch = std::make_shared<IOScratch>();
      scratch->framesCapacity = maxFramesPerCycle_;
      scratch->channels = channels;
      std::size_t total = 0;
      for (UInt32 width : channels) {
        scratch->offsets.push_back(total);
        total += static_cast<std::size_t>(maxFramesPerCycle_) * width;
      }
      scratch->samples.assign(total, 0.0f);
      for (std::size_t s = 0; s < channels.size(); ++s) {
        scratch->input.mBuffers.push_back(
            {channels[s], 0, scratch->samples.data() + scratch->offsets[s]});
      }
      route.scratch = std::move(scratch);
    }
    routing.devices.push_back(std::move(route));
  }
  startedDeviceCount_.store(routing.devices.size());
  routing_.publish(std::move(routing));
}

void ModelAudioHardware::waitForIOCycle() {
  if (tl_cyclingModel == this) return;
  ++ioWaiters_;
  for (;;) {
    const std::uint64_t seen = ioReleases_.load();
    {
      std::lock_guard lock(mutex_);
      if (routing_.readerOnLatest()) break;
    }
    ioReleases_.wait(seen);
  }
  --ioWaiters_;
}

void ModelAudioHardware::prepareIO(UInt32 maxFramesPerCycle, [[maybe_unused]] UInt32 maxChannels) {
  std::lock_guard lock(mutex_);
  maxFramesPerCycle_ = std::max<UInt32>(maxFramesPerCycle, 1);
  publishRoutingLocked();
}

void ModelAudioHardware::startedDevices(std::vector<std::pair<AudioObjectID, Float64>>& out) {
  out.clear();
  {
    auto routing = routing_.read();
    for (const DeviceRoute& route : routing->devices) {
      if (out.size() == out.capacity()) break;  // never grows on the IO thread
      out.emplace_back(route.device, route.sampleRate);
    }
  }
  ioReleases_.fetch_add(1);
  if (ioWaiters_.load() > 0) ioReleases_.notify_all();
}

std::vector<AudioObjectID> ModelAudioHardware::devicesWithStartedIO() const {
  std::lock_guard lock(mutex_);
  std::vector<AudioObjectID> devices;
  for (const DeviceRoute& route : routing_.latest().devices) devices.push_back(route.device);
  return devices;
}

UInt32 ModelAudioHardware::runIOCycle(AudioObjectID device, UInt32 frames,
                                      const AudioTimeStamp& time, StreamFiller& filler) {
  UInt32 cycled = 0;
  tl_cyclingModel = this;
  {
    auto routing = routing_.read();
    for (const DeviceRoute& route : routing->devices) {
      if (device != kAudioObjectUnknown && route.device != device) continue;
      IOScratch& scratch = *route.scratch;
      AudioTimeStamp chunkTime = time;
      // A cycle longer than the buffers goes out in pieces.
      for (UInt32 done = 0; done < frames;) {
        const UInt32 chunk = std::min(frames - done, scratch.framesCapacity);
        chunkTime.mSampleTime = time.mSampleTime + done;
        for (std::size_t s = 0; s < route.streams.size(); ++s) {
          const StreamRoute& stream = route.streams[s];
          float* out = scratch.samples.data() + scratch.offsets[s];
          filler.fill(stream, route.sampleRate, chunkTime.mSampleTime, chunk, stream.channels, out);
          scratch.input.mBuffers[s].mDataByteSize =
              static_cast<UInt32>(sizeof(float)) * chunk * stream.channels;
        }
        for (const auto& [proc, clientData] : route.procs) {
          proc(route.device, &chunkTime, &scratch.input, &chunkTime, &scratch.output, &chunkTime,
               clientData);
        }
        done += chunk;
      }
      ++cycled;
    }
  }
  tl_cyclingModel = nullptr;
  ioReleases_.fetch_add(1);
  if (ioWaiters_.load() > 0) ioReleases_.notify_all();
  return cycled;
}

}  // namespace velmar::hal
