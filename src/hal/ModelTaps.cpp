#include "hal/ModelAudioHardware.h"

#include <algorithm>
#include <mutex>
#include <random>

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::CATapDescription;
using audiohal::kAudioHardwareBadObjectError;
using audiohal::kAudioHardwareBadPropertySizeError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwareUnknownPropertyError;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectPropertyName;
using audiohal::kAudioTapClassID;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyFormat;
using audiohal::kAudioTapPropertyUID;
using audiohal::makeFloatFormat;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

namespace {

std::string generateUUID() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::uniform_int_distribution<int> digit(0, 15);
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    int value = (i == 12) ? 4 : (i == 16 ? 8 + digit(engine) % 4 : digit(engine));
    text += "0123456789ABCDEF"[value];
  }
  return text;
}

}  // namespace

// A tap bound to a device hears that device. Otherwise it hears where its
// processes play: the output device of the first captured process that names
// one, or the default output.
const ModelAudioHardware::Device* ModelAudioHardware::tapDeviceLocked(const Tap& tap) const {
  if (tap.description.deviceUID) return deviceByUIDLocked(*tap.description.deviceUID);
  const auto& listed = tap.description.processes;
  for (AudioObjectID processID : processOrder_) {
    const Process& process = processes_.at(processID);
    const bool inList = std::find(listed.begin(), listed.end(), processID) != listed.end();
    if (tap.description.isExclusive == inList || !process.config.outputDeviceUID) continue;
    if (const Device* device = deviceByUIDLocked(*process.config.outputDeviceUID)) return device;
  }
  return deviceLocked(defaultOutput_);
}

// Mixed down: one or two channels; otherwise the width of the device heard.
UInt32 ModelAudioHardware::tapChannelsLocked(const Tap& tap) const {
  if (tap.description.isMixdown) return tap.description.isMono ? 1 : 2;
  const Device* device = tapDeviceLocked(tap);
  if (device && !device->config.outputStreams.empty()) return device->config.outputStreams[0];
  return 2;
}

OSStatus ModelAudioHardware::readTapLocked(const Tap& tap, UInt32 selector,
                                           PropertyValue& out) const {
  switch (selector) {
    case kAudioObjectPropertyClass:
      out = kAudioTapClassID;
      return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
      out = tap.description.name;
      return kAudioHardwareNoError;
    case kAudioTapPropertyUID:
      out = tap.uid;
      return kAudioHardwareNoError;
    case kAudioTapPropertyFormat: {
      const Device* device = tapDeviceLocked(tap);
      out = makeFloatFormat(device ? device->config.nominalSampleRate : 48000,
                            tapChannelsLocked(tap));
      return kAudioHardwareNoError;
    }
    case kAudioTapPropertyDescription:
      out = tap.description;
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus ModelAudioHardware::writeTapLocked(Tap& tap, const PropertyValue& data) {
  const auto* description = std::get_if<CATapDescription>(&data);
  if (description == nullptr) return kAudioHardwareBadPropertySizeError;
  tap.description = *description;
  tap.description.uuid = tap.uid;
  return kAudioHardwareNoError;
}

// The tap's UID is the description's, or a fresh one; 0 when it is taken.
AudioObjectID ModelAudioHardware::addTapLocked(const CATapDescription& description, bool foreign) {
  Tap tap;
  tap.id = nextIDLocked();
  tap.uid = description.uuid.empty() ? generateUUID() : description.uuid;
  if (tapByUIDLocked(tap.uid) != nullptr) return 0;
  tap.description = description;
  tap.description.uuid = tap.uid;
  tap.foreign = foreign;
  taps_[tap.id] = tap;
  tapOrder_.push_back(tap.id);
  return tap.id;
}

OSStatus ModelAudioHardware::createProcessTap(const CATapDescription& description,
                                              AudioObjectID& outTapID) {
  return mutate([&]() -> OSStatus {
    AudioObjectID id = addTapLocked(description, /*foreign=*/false);
    if (id == 0) return kAudioHardwareIllegalOperationError;
    outTapID = id;
    return kAudioHardwareNoError;
  });
}

OSStatus ModelAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  return mutate([&]() -> OSStatus {
    if (!taps_.erase(tapID)) return kAudioHardwareBadObjectError;
    tapOrder_.erase(std::remove(tapOrder_.begin(), tapOrder_.end(), tapID), tapOrder_.end());
    return kAudioHardwareNoError;
  });
}

AudioObjectID ModelAudioHardware::createForeignTap(const CATapDescription& description) {
  return mutate([&] { return addTapLocked(description, /*foreign=*/true); });
}

bool ModelAudioHardware::destroyTapByUID(const std::string& uid) {
  return mutate([&] {
    const Tap* tap = tapByUIDLocked(uid);
    if (tap == nullptr) return false;
    const AudioObjectID id = tap->id;
    taps_.erase(id);
    tapOrder_.erase(std::remove(tapOrder_.begin(), tapOrder_.end(), id), tapOrder_.end());
    return true;
  });
}

}  // namespace velmar::hal
