#include "hal/InputUnitService.h"

namespace velmar::hal {

using namespace platform;
using audiohal::AudioBufferList;
using audiohal::AudioTimeStamp;

namespace {

// The one component offered: the hardware input/output unit.
struct OpaqueComponentRecord {};
OpaqueComponentRecord halOutputComponent;

AudioComponent halComponent() { return reinterpret_cast<AudioComponent>(&halOutputComponent); }

// The unit whose callback this thread is running, so render() from within
// it reads the cycle's input without looking the unit up under the lock.
struct CurrentCycle {
  AudioUnit handle = nullptr;
  InputCycle* input = nullptr;
  UInt32 frames = 0;
  UInt32 channels = 0;
};
thread_local CurrentCycle currentCycle;

}  // namespace

InputUnitService::InputUnitService(ModelAudioHardware& hardware) : hardware_(hardware) {}

InputUnitService::~InputUnitService() = default;

InputUnitService::Unit* InputUnitService::unitLocked(AudioUnit unit) {
  auto it = units_.find(unit);
  return it == units_.end() ? nullptr : it->second.get();
}

AudioObjectID InputUnitService::resolvedDeviceLocked(const Unit& unit) const {
  if (unit.device != 0) return unit.device;
  AudioObjectID device = 0;
  hardware_.getProperty(audiohal::kAudioObjectSystemObject,
                        audiohal::globalAddress(audiohal::kAudioHardwarePropertyDefaultInputDevice),
                        device);
  return device;
}

// The channels of the device's first input stream; 0 without input.
UInt32 InputUnitService::inputChannels(AudioObjectID device) const {
  audiohal::AudioObjectPropertyAddress address{audiohal::kAudioDevicePropertyStreamConfiguration,
                                               audiohal::kAudioObjectPropertyScopeInput, 0};
  AudioBufferList layout;
  if (hardware_.getProperty(device, address, layout) != audiohal::kAudioHardwareNoError ||
      layout.mBuffers.empty()) {
    return 0;
  }
  return layout.mBuffers.front().mNumberChannels;
}

AudioComponent InputUnitService::findNextComponent(AudioComponent after,
                                                   const AudioComponentDescription& description) {
  if (after != nullptr) return nullptr;
  if (forcedFailure(AudioUnitOperation::kFindComponent, std::nullopt)) return nullptr;
  bool matches = description.componentType == kAudioUnitType_Output &&
                 description.componentSubType == kAudioUnitSubType_HALOutput &&
                 description.componentManufacturer == kAudioUnitManufacturer_Apple;
  return matches ? halComponent() : nullptr;
}

OSStatus InputUnitService::instanceNew(AudioComponent component, AudioUnit& outUnit) {
  if (component != halComponent()) return audiohal::kAudioHardwareIllegalOperationError;
  if (auto failure = forcedFailure(AudioUnitOperation::kInstanceNew, std::nullopt)) return *failure;
  auto unit = std::make_unique<Unit>();
  auto handle = reinterpret_cast<AudioUnit>(unit.get());
  std::lock_guard lock(mutex_);
  unit->maximumFrames = maximumFramesPerSlice_;
  units_[handle] = std::move(unit);
  outUnit = handle;
  return audiohal::kAudioHardwareNoError;
}

OSStatus InputUnitService::instanceDispose(AudioUnit handle) {
  std::unique_lock lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  stop(lock, handle, *unit);
  units_.erase(handle);
  return audiohal::kAudioHardwareNoError;
}

OSStatus InputUnitService::setProperty(AudioUnit handle, AudioUnitPropertyID property,
                                       AudioUnitScope scope, AudioUnitElement element,
                                       const AudioUnitPropertyValue& value) {
  if (auto failure = forcedFailure(AudioUnitOperation::kSetProperty, property)) return *failure;
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  switch (property) {
    case kAudioOutputUnitProperty_EnableIO: {
      const auto* flag = std::get_if<UInt32>(&value);
      if (flag == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      if (scope == kAudioUnitScope_Input && element == 1) unit->inputEnabled = *flag != 0;
      return audiohal::kAudioHardwareNoError;
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
      const auto* device = std::get_if<UInt32>(&value);
      if (device == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      // Only a device with input can feed the unit.
      if (inputChannels(*device) == 0) return kAudioUnitErr_InvalidPropertyValue;
      unit->device = *device;
      return audiohal::kAudioHardwareNoError;
    }
    case kAudioUnitProperty_StreamFormat: {
      const auto* format = std::get_if<AudioStreamBasicDescription>(&value);
      if (format == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      // The unit converts sample formats, not channel layouts: the input's
      // client side keeps the device's channel count.
      const UInt32 channels = inputChannels(resolvedDeviceLocked(*unit));
      if (scope == kAudioUnitScope_Output && element == 1 && channels != 0 &&
          format->mChannelsPerFrame != channels) {
        return kAudioUnitErr_FormatNotSupported;
      }
      return audiohal::kAudioHardwareNoError;
    }
    case kAudioOutputUnitProperty_SetInputCallback:
    case kAudioUnitProperty_SetRenderCallback: {
      // Taken into a running unit's cycles at its next start. An input-only
      // unit keeps a render callback but never calls it.
      const auto* callback = std::get_if<AURenderCallbackStruct>(&value);
      if (callback == nullptr) return kAudioUnitErr_InvalidPropertyValue;
      (property == kAudioOutputUnitProperty_SetInputCallback ? unit->inputCallback
                                                             : unit->renderCallback) = *callback;
      return audiohal::kAudioHardwareNoError;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
      const auto* frames = std::get_if<UInt32>(&value);
      if (frames == nullptr || *frames == 0) return kAudioUnitErr_InvalidPropertyValue;
      unit->maximumFrames = *frames;
      return audiohal::kAudioHardwareNoError;
    }
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus InputUnitService::getProperty(AudioUnit handle, AudioUnitPropertyID property,
                                       AudioUnitScope scope, AudioUnitElement element,
                                       AudioUnitPropertyValue& outValue) {
  if (auto failure = forcedFailure(AudioUnitOperation::kGetProperty, property)) return *failure;
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  if (property == kAudioUnitProperty_MaximumFramesPerSlice) {
    outValue = unit->maximumFrames;
    return audiohal::kAudioHardwareNoError;
  }
  if (property == kAudioOutputUnitProperty_CurrentDevice) {
    outValue = resolvedDeviceLocked(*unit);
    return audiohal::kAudioHardwareNoError;
  }
  if (property != kAudioUnitProperty_StreamFormat) return kAudioUnitErr_InvalidProperty;
  if (element != 1 || scope == kAudioUnitScope_Global) return kAudioUnitErr_InvalidElement;
  AudioObjectID device = resolvedDeviceLocked(*unit);
  UInt32 channels = inputChannels(device);
  if (channels == 0) return kAudioUnitErr_NoConnection;
  outValue = audiohal::makeFloatFormat(hardware_.deviceSampleRate(device), channels);
  return audiohal::kAudioHardwareNoError;
}

OSStatus InputUnitService::initialize(AudioUnit handle) {
  if (auto failure = forcedFailure(AudioUnitOperation::kInitialize, std::nullopt)) return *failure;
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  unit->initialized = true;
  return audiohal::kAudioHardwareNoError;
}

OSStatus InputUnitService::uninitialize(AudioUnit handle) {
  std::lock_guard lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  unit->initialized = false;
  return audiohal::kAudioHardwareNoError;
}

OSStatus InputUnitService::outputUnitStart(AudioUnit handle) {
  if (auto failure = forcedFailure(AudioUnitOperation::kOutputUnitStart, std::nullopt)) {
    return *failure;
  }
  std::unique_lock lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  if (!unit->initialized) return kAudioUnitErr_Uninitialized;
  stopped_.wait(lock, [unit] { return !unit->stopping; });
  if (unit->running) return audiohal::kAudioHardwareNoError;
  InputSpec spec;
  spec.unit = handle;
  spec.device = resolvedDeviceLocked(*unit);
  spec.channels = inputChannels(spec.device);
  if (spec.device == 0 || spec.channels == 0) return kAudioUnitErr_NoConnection;
  spec.sampleRate = hardware_.deviceSampleRate(spec.device);
  unit->cycleCallback = unit->inputCallback;
  unit->cycleChannels = spec.channels;
  unit->running = true;
  unit->cycling.store(true, std::memory_order_release);
  lock.unlock();
  OSStatus status = startInput(spec);
  if (status != audiohal::kAudioHardwareNoError) {
    lock.lock();
    stop(lock, handle, *unit);
  }
  return status;
}

OSStatus InputUnitService::outputUnitStop(AudioUnit handle) {
  std::unique_lock lock(mutex_);
  Unit* unit = unitLocked(handle);
  if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
  stop(lock, handle, *unit);
  return audiohal::kAudioHardwareNoError;
}

void InputUnitService::stop(std::unique_lock<std::mutex>& lock, AudioUnit handle, Unit& unit) {
  const bool fromOwnCycle = currentCycle.handle == handle;
  if (!unit.running) {
    // Another thread is stopping it: done only once that stop is.
    if (!fromOwnCycle) stopped_.wait(lock, [&unit] { return !unit.stopping; });
    return;
  }
  unit.running = false;
  unit.stopping = true;
  unit.cycling.store(false, std::memory_order_release);
  lock.unlock();
  stopInput(handle, fromOwnCycle);
  lock.lock();
  unit.stopping = false;
  stopped_.notify_all();
}

void InputUnitService::stopAll() {
  std::unique_lock lock(mutex_);
  for (auto& [handle, unit] : units_) stop(lock, handle, *unit);
}

void InputUnitService::cycle(AudioUnit handle, UInt32 frames, const AudioTimeStamp& time,
                             InputCycle& input) {
  // The unit outlives its cycles: it is disposed of only after stopInput.
  auto* unit = reinterpret_cast<Unit*>(handle);
  if (!unit->cycling.load(std::memory_order_acquire) || frames == 0) return;
  const AURenderCallbackStruct callback = unit->cycleCallback;
  if (callback.inputProc == nullptr) return;
  currentCycle = {handle, &input, frames, unit->cycleChannels};
  AudioUnitRenderActionFlags flags = 0;
  callback.inputProc(callback.inputProcRefCon, &flags, &time, 1, frames, nullptr);
  currentCycle = {};
}

OSStatus InputUnitService::render(AudioUnit handle, AudioUnitRenderActionFlags*,
                                  const AudioTimeStamp*, UInt32 busNumber, UInt32 frames,
                                  AudioBufferList* ioData) {
  if (auto failure = forcedFailure(AudioUnitOperation::kRender, std::nullopt)) return *failure;
  if (currentCycle.handle != handle || handle == nullptr) {
    // Outside the unit's own cycle there is no input to hand out.
    std::lock_guard lock(mutex_);
    Unit* unit = unitLocked(handle);
    if (unit == nullptr) return kAudioUnitErr_InvalidProperty;
    if (!unit->initialized) return kAudioUnitErr_Uninitialized;
    return kAudioUnitErr_NoConnection;
  }
  // Within the cycle: no lock, only what the unit fixed at start.
  const auto* unit = reinterpret_cast<const Unit*>(handle);
  if (!unit->initialized.load(std::memory_order_relaxed)) return kAudioUnitErr_Uninitialized;
  if (busNumber != 1 || !unit->inputEnabled.load(std::memory_order_relaxed)) {
    return kAudioUnitErr_NoConnection;
  }
  if (frames > currentCycle.frames) return kAudioUnitErr_InvalidPropertyValue;
  return renderInto(frames, currentCycle.channels, ioData, *currentCycle.input);
}

OSStatus InputUnitService::renderInto(UInt32 frames, UInt32 channels, AudioBufferList* ioData,
                                      InputCycle& input) {
  if (ioData == nullptr) return kAudioUnitErr_InvalidPropertyValue;
  for (auto& buffer : ioData->mBuffers) {
    if (buffer.mData == nullptr || buffer.mNumberChannels != channels ||
        buffer.mDataByteSize < frames * buffer.mNumberChannels * sizeof(float)) {
      return kAudioUnitErr_InvalidPropertyValue;
    }
    OSStatus status = input.read(frames, buffer.mNumberChannels, static_cast<float*>(buffer.mData));
    if (status != audiohal::kAudioHardwareNoError) return status;
  }
  return audiohal::kAudioHardwareNoError;
}

void InputUnitService::setMaximumFramesPerSlice(UInt32 frames) {
  std::lock_guard lock(mutex_);
  maximumFramesPerSlice_ = frames;
  for (auto& [handle, unit] : units_) unit->maximumFrames = frames;
}

}  // namespace velmar::hal
