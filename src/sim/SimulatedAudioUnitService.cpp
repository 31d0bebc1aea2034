#include "sim/SimulatedAudioUnitService.h"

#include <chrono>
#include <cmath>

namespace velmar::sim {

using namespace platform;
using coreaudio::AudioBufferList;
using coreaudio::AudioTimeStamp;

namespace {

// The one component this machine offers: the hardware input/output unit.
struct OpaqueComponentRecord {};
OpaqueComponentRecord halOutputComponent;

AudioComponent halComponent() { return reinterpret_cast<AudioComponent>(&halOutputComponent); }

}  // namespace

SimulatedAudioUnitService::SimulatedAudioUnitService(SimulatedAudioHardware& hardware)
    : hardware_(hardware) {}

SimulatedAudioUnitService::~SimulatedAudioUnitService() {
  std::unique_lock lock(mutex_);
  for (auto& [handle, unit] : units_) stopLocked(lock, *unit);
}

SimulatedAudioUnitService::Unit* SimulatedAudioUnitService::unitLocked(AudioUnit unit) {
  auto it = units_.find(unit);
  return it == units_.end() ? nullptr : it->second.get();
}

AudioObjectID SimulatedAudioUnitService::resolvedDeviceLocked(const Unit& unit) const {
  if (unit.device != 0) return unit.device;
  AudioObjectID device = 0;
  hardware_.getProperty(
      coreaudio::kAudioObjectSystemObject,
      coreaudio::globalAddress(coreaudio::kAudioHardwarePropertyDefaultInputDevice), device);
  return device;
}

AudioComponent SimulatedAudioUnitService::findNextComponent(
    AudioComponent after, const AudioComponentDescription& description) {
  if (after != nullptr) return nullptr;
  bool matches = description.componentType == kAudioUnitType_Output &&
                 description.componentSubType == kAudioUnitSubType_HALOutput &&
                 description.componentManufacturer == kAudioUnitManufacturer_Apple;
  return matches ? halComponent() : nullptr;
}

OSStatus SimulatedAudioUnitService::instanceNew(AudioComponent component, AudioUnit& outUnit) {
  if (component != halComponent()) return coreaudio::kAudioHardwareIllegalOperationError;
  auto unit = std::make_unique<Unit>();
  auto handle = reinterpret_cast<AudioUnit>(unit.get());
  std::lock_guard lock(mutex_);
  units_[handle] = std::move(unit);
  outUnit = handle;
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::instanceDispose(AudioUnit handle) {
  std::unique_lock lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  stopLocked(lock, *unit);
  units_.erase(handle);
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::setProperty(AudioUnit handle, AudioUnitPropertyID property,
                                                AudioUnitScope scope, AudioUnitElement element,
                                                const AudioUnitPropertyValue& value) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  switch (property) {
    case kAudioOutputUnitProperty_EnableIO: {
      const auto* flag = std::get_if<UInt32>(&value);
      if (flag == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      if (scope == kAudioUnitScope_Input && element == 1) unit->inputEnabled = *flag != 0;
      return coreaudio::kAudioHardwareNoError;
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
      const auto* device = std::get_if<UInt32>(&value);
      if (device == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      // Only a device with input can feed the unit.
      coreaudio::AudioObjectPropertyAddress address{
          coreaudio::kAudioDevicePropertyStreamConfiguration,
          coreaudio::kAudioObjectPropertyScopeInput, 0};
      coreaudio::AudioBufferList layout;
      if (hardware_.getProperty(*device, address, layout) != coreaudio::kAudioHardwareNoError ||
          layout.mBuffers.empty()) {
        return kAudioUnitErr_InvalidPropertyValue;
      }
      unit->device = *device;
      return coreaudio::kAudioHardwareNoError;
    }
    case kAudioUnitProperty_StreamFormat:
      return std::holds_alternative<AudioStreamBasicDescription>(value)
                 ? coreaudio::kAudioHardwareNoError
                 : kAudioUnitErr_InvalidPropertyValue;
    case kAudioUnitProperty_SetRenderCallback: {
      const auto* callback = std::get_if<AURenderCallbackStruct>(&value);
      if (callback == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      unit->callback = *callback;
      return coreaudio::kAudioHardwareNoError;
    }
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus SimulatedAudioUnitService::getProperty(AudioUnit handle, AudioUnitPropertyID property,
                                                AudioUnitScope scope, AudioUnitElement element,
                                                AudioUnitPropertyValue& outValue) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  if (property == kAudioOutputUnitProperty_CurrentDevice) {
    outValue = resolvedDeviceLocked(*unit);
    return coreaudio::kAudioHardwareNoError;
  }
  if (property != kAudioUnitProperty_StreamFormat) return kAudioUnitErr_InvalidProperty;
  if (element != 1 || scope == kAudioUnitScope_Global) return kAudioUnitErr_InvalidElement;
  AudioObjectID device = resolvedDeviceLocked(*unit);
  coreaudio::AudioObjectPropertyAddress address{coreaudio::kAudioDevicePropertyStreamConfiguration,
                                                coreaudio::kAudioObjectPropertyScopeInput, 0};
  coreaudio::AudioBufferList layout;
  if (hardware_.getProperty(device, address, layout) != coreaudio::kAudioHardwareNoError ||
      layout.mBuffers.empty()) {
    return kAudioUnitErr_NoConnection;
  }
  outValue = coreaudio::makeFloatFormat(hardware_.deviceSampleRate(device),
                                        layout.mBuffers.front().mNumberChannels);
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::initialize(AudioUnit handle) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  unit->initialized = true;
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::uninitialize(AudioUnit handle) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  unit->initialized = false;
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::outputUnitStart(AudioUnit handle) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  if (!unit->initialized) return kAudioUnitErr_Uninitialized;
  if (resolvedDeviceLocked(*unit) == 0) return kAudioUnitErr_NoConnection;
  if (unit->running) return coreaudio::kAudioHardwareNoError;
  unit->running = true;
  unit->thread = std::thread([this, handle] { run(handle); });
  return coreaudio::kAudioHardwareNoError;
}

OSStatus SimulatedAudioUnitService::outputUnitStop(AudioUnit handle) {
  std::unique_lock lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  stopLocked(lock, *unit);
  return coreaudio::kAudioHardwareNoError;
}

void SimulatedAudioUnitService::stopLocked(std::unique_lock<std::mutex>& lock, Unit& unit) {
  unit.running = false;
  changed_.notify_all();
  if (!unit.thread.joinable()) return;
  if (unit.thread.get_id() == std::this_thread::get_id()) {
    // Stopped from its own callback: the thread ends after the callback.
    unit.thread.detach();
    return;
  }
  std::thread thread = std::move(unit.thread);
  lock.unlock();
  thread.join();
  lock.lock();
}

OSStatus SimulatedAudioUnitService::render(AudioUnit handle, AudioUnitRenderActionFlags*,
                                           const AudioTimeStamp* timeStamp, UInt32 busNumber,
                                           UInt32 frames, AudioBufferList* ioData) {
  AudioObjectID device = 0;
  {
    std::lock_guard lock(mutex_);
    Unit* unit = unitLocked(handle);
    if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
    if (!unit->initialized) return kAudioUnitErr_Uninitialized;
    if (busNumber != 1 || !unit->inputEnabled) return kAudioUnitErr_NoConnection;
    device = resolvedDeviceLocked(*unit);
  }
  if (ioData == nullptr) return kAudioUnitErr_InvalidPropertyValue;
  for (auto& buffer : ioData->mBuffers) {
    if (buffer.mData == nullptr || buffer.mNumberChannels == 0 ||
        buffer.mDataByteSize < frames * buffer.mNumberChannels * sizeof(float)) {
      return kAudioUnitErr_InvalidPropertyValue;
    }
    OSStatus status =
        hardware_.renderDeviceInput(device, timeStamp ? timeStamp->mSampleTime : 0, frames,
                                    buffer.mNumberChannels, static_cast<float*>(buffer.mData));
    if (status != coreaudio::kAudioHardwareNoError) return status;
  }
  return coreaudio::kAudioHardwareNoError;
}

void SimulatedAudioUnitService::run(AudioUnit handle) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(SimulatedAudioHardware::kIOCycleSeconds));
  auto next = Clock::now();
  std::unique_lock lock(mutex_);
  while (true) {
    next += period;
    Unit* unit = unitLocked(handle);
    if (unit == nullptr) return;
    changed_.wait_until(lock, next, [unit] { return !unit->running; });
    if (!unit->running) return;
    AudioObjectID device = resolvedDeviceLocked(*unit);
    Float64 rate = hardware_.deviceSampleRate(device);
    UInt32 frames =
        static_cast<UInt32>(std::lround(rate * SimulatedAudioHardware::kIOCycleSeconds));
    AudioTimeStamp time;
    time.mSampleTime = unit->sampleTime;
    unit->sampleTime += frames;
    AURenderCallbackStruct callback = unit->callback;
    if (callback.inputProc == nullptr || frames == 0) continue;
    // The callback runs without the lock: it calls render(), and stopping
    // waits for this thread instead.
    lock.unlock();
    AudioUnitRenderActionFlags flags = 0;
    callback.inputProc(callback.inputProcRefCon, &flags, &time, 1, frames, nullptr);
    lock.lock();
  }
}

}  // namespace velmar::sim
