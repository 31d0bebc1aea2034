#include "sim/SimulatedAudioHardware.h"

#include <pthread.h>

#include <algorithm>

namespace velmar::sim {

using namespace coreaudio;

// --- lifecycle ---

SimulatedAudioHardware::SimulatedAudioHardware()
    : notificationsWork_(asio::make_work_guard(notifications_)) {
  std::lock_guard lock(mutex_);
  notificationThread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "sim-notify");
    notifications_.run();
  });
  notificationThreadID_ = notificationThread_.get_id();
}

SimulatedAudioHardware::~SimulatedAudioHardware() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (ioThread_.joinable()) ioThread_.join();
  notificationsWork_.reset();
  notifications_.stop();
  notificationThread_.join();
}

// --- shared state ---

std::optional<OSStatus> SimulatedAudioHardware::injectedFailureLocked(
    HalOperation operation, AudioObjectID object, std::optional<UInt32> selector) {
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->operation != operation) continue;
    if (it->object && *it->object != object) continue;
    if (it->selector && (!selector || *it->selector != *selector)) continue;
    OSStatus status = it->status;
    if (it->times && --*it->times <= 0) failures_.erase(it);
    return status;
  }
  return std::nullopt;
}

std::optional<OSStatus> SimulatedAudioHardware::injectedFailure(HalOperation operation,
                                                                AudioObjectID object,
                                                                std::optional<UInt32> selector) {
  std::lock_guard lock(mutex_);
  return injectedFailureLocked(operation, object, selector);
}

SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceLocked(AudioObjectID id) {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

const SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceLocked(AudioObjectID id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

const SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceByUIDLocked(
    const std::string& uid) const {
  for (const auto& [id, device] : devices_) {
    if (device.config.uid == uid) return &device;
  }
  return nullptr;
}

const SimulatedAudioHardware::Tap* SimulatedAudioHardware::tapByUIDLocked(
    const std::string& uid) const {
  for (const auto& [id, tap] : taps_) {
    if (tap.uid == uid) return &tap;
  }
  return nullptr;
}

void SimulatedAudioHardware::eraseDeviceLocked(AudioObjectID id) {
  const Device& device = devices_.at(id);
  for (AudioObjectID stream : device.inputStreams) streams_.erase(stream);
  for (AudioObjectID stream : device.outputStreams) streams_.erase(stream);
  removeIOProcsOfDeviceLocked(id);
  devices_.erase(id);
  deviceOrder_.erase(std::remove(deviceOrder_.begin(), deviceOrder_.end(), id), deviceOrder_.end());
}

bool SimulatedAudioHardware::existsLocked(AudioObjectID object) const {
  return object == kAudioObjectSystemObject || devices_.count(object) || streams_.count(object) ||
         processes_.count(object) || taps_.count(object);
}

// --- property access ---

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     const PropertyValue& qualifier,
                                                     UInt32& outDataSize) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kGetPropertyDataSize, object, address.mSelector)) {
    return *failure;
  }
  PropertyValue value;
  OSStatus status = readLocked(object, address, qualifier, value);
  if (status == kAudioHardwareNoError) outDataSize = propertyDataSize(value);
  return status;
}

OSStatus SimulatedAudioHardware::getPropertyData(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 const PropertyValue& qualifier, UInt32& ioDataSize,
                                                 PropertyValue& outData) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kGetPropertyData, object, address.mSelector)) {
    return *failure;
  }
  PropertyValue value;
  OSStatus status = readLocked(object, address, qualifier, value);
  if (status != kAudioHardwareNoError) return status;
  // Lists are cut to the caller's room; anything else must fit whole.
  if (auto* ids = std::get_if<std::vector<AudioObjectID>>(&value)) {
    if (ids->size() > ioDataSize / 4) ids->resize(ioDataSize / 4);
  } else if (auto* ranges = std::get_if<std::vector<AudioValueRange>>(&value)) {
    if (ranges->size() > ioDataSize / 16) ranges->resize(ioDataSize / 16);
  } else if (propertyDataSize(value) > ioDataSize) {
    return kAudioHardwareBadPropertySizeError;
  }
  ioDataSize = propertyDataSize(value);
  outData = std::move(value);
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::setPropertyData(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 const PropertyValue& data) {
  if (auto failure = injectedFailure(HalOperation::kSetPropertyData, object, address.mSelector)) {
    return *failure;
  }
  return mutate([&] { return writeLocked(object, address, data); });
}

bool SimulatedAudioHardware::hasProperty(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(mutex_);
  if (injectedFailureLocked(HalOperation::kHasProperty, object, address.mSelector)) return false;
  PropertyValue value;
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyTranslateUIDToDevice) {
    return true;
  }
  AudioObjectPropertyAddress probe = address;
  if (probe.mSelector == kAudioDevicePropertyStreamConfiguration &&
      probe.mScope == kAudioObjectPropertyScopeGlobal) {
    probe.mScope = kAudioObjectPropertyScopeInput;
  }
  return readLocked(object, probe, {}, value) == kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::isPropertySettable(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    bool& outIsSettable) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kIsPropertySettable, object, address.mSelector)) {
    return *failure;
  }
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  PropertyValue value;
  AudioObjectPropertyAddress probe = address;
  if (probe.mSelector == kAudioDevicePropertyStreamConfiguration) {
    probe.mScope = kAudioObjectPropertyScopeInput;
  }
  OSStatus status = readLocked(object, probe, std::string(), value);
  if (status != kAudioHardwareNoError) return status;
  outIsSettable = settableLocked(object, address);
  return kAudioHardwareNoError;
}

}  // namespace velmar::sim
