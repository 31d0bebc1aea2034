#include "hal/ModelAudioHardware.h"

#include <algorithm>

#include "runtime/ThreadName.h"

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioValueRange;
using audiohal::kAudioDevicePropertyStreamConfiguration;
using audiohal::kAudioHardwareBadObjectError;
using audiohal::kAudioHardwareBadPropertySizeError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyTranslateUIDToDevice;
using audiohal::kAudioObjectPropertyScopeGlobal;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectSystemObject;
using audiohal::OSStatus;
using audiohal::propertyDataSize;
using audiohal::PropertyValue;
using audiohal::UInt32;

// --- lifecycle ---

ModelAudioHardware::ModelAudioHardware()
    : notificationsWork_(asio::make_work_guard(notifications_)) {
  std::lock_guard lock(mutex_);
  notificationThread_ = std::thread([this] {
    runtime::nameThisThread("hal-notify");
    notifications_.run();
  });
  notificationThreadID_ = notificationThread_.get_id();
}

ModelAudioHardware::~ModelAudioHardware() {
  notificationsWork_.reset();
  notifications_.stop();
  notificationThread_.join();
}

// --- shared state ---

ModelAudioHardware::Device* ModelAudioHardware::deviceLocked(AudioObjectID id) {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

const ModelAudioHardware::Device* ModelAudioHardware::deviceLocked(AudioObjectID id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

ModelAudioHardware::Device* ModelAudioHardware::deviceByUIDLocked(const std::string& uid) {
  for (auto& [id, device] : devices_) {
    if (device.config.uid == uid) return &device;
  }
  return nullptr;
}

const ModelAudioHardware::Device* ModelAudioHardware::deviceByUIDLocked(
    const std::string& uid) const {
  return const_cast<ModelAudioHardware*>(this)->deviceByUIDLocked(uid);
}

ModelAudioHardware::Process* ModelAudioHardware::processByPIDLocked(std::int32_t pid) {
  for (auto& [id, process] : processes_) {
    if (process.config.pid == pid) return &process;
  }
  return nullptr;
}

const ModelAudioHardware::Process* ModelAudioHardware::processByPIDLocked(std::int32_t pid) const {
  return const_cast<ModelAudioHardware*>(this)->processByPIDLocked(pid);
}

const ModelAudioHardware::Tap* ModelAudioHardware::tapByUIDLocked(const std::string& uid) const {
  for (const auto& [id, tap] : taps_) {
    if (tap.uid == uid) return &tap;
  }
  return nullptr;
}

void ModelAudioHardware::eraseDeviceLocked(AudioObjectID id) {
  const Device& device = devices_.at(id);
  for (AudioObjectID stream : device.inputStreams) streams_.erase(stream);
  for (AudioObjectID stream : device.outputStreams) streams_.erase(stream);
  removeIOProcsOfDeviceLocked(id);
  devices_.erase(id);
  deviceOrder_.erase(std::remove(deviceOrder_.begin(), deviceOrder_.end(), id), deviceOrder_.end());
}

bool ModelAudioHardware::existsLocked(AudioObjectID object) const {
  return object == kAudioObjectSystemObject || devices_.count(object) || streams_.count(object) ||
         processes_.count(object) || taps_.count(object);
}

// --- property access ---

OSStatus ModelAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 const PropertyValue& qualifier,
                                                 UInt32& outDataSize) {
  std::lock_guard lock(mutex_);
  PropertyValue value;
  OSStatus status = readLocked(object, address, qualifier, value);
  if (status == kAudioHardwareNoError) outDataSize = propertyDataSize(value);
  return status;
}

OSStatus ModelAudioHardware::getPropertyData(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             const PropertyValue& qualifier, UInt32& ioDataSize,
                                             PropertyValue& outData) {
  std::lock_guard lock(mutex_);
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

OSStatus ModelAudioHardware::setPropertyData(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             const PropertyValue& data) {
  return mutate([&] { return writeLocked(object, address, data); });
}

bool ModelAudioHardware::hasProperty(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(mutex_);
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

OSStatus ModelAudioHardware::isPropertySettable(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                bool& outIsSettable) {
  std::lock_guard lock(mutex_);
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

}  // namespace velmar::hal
