#include "hal/ModelAudioHardware.h"

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::Float64;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyMainSubDevice;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioDevicePropertyClockSource;
using audiohal::kAudioDevicePropertyNominalSampleRate;
using audiohal::kAudioHardwareBadDeviceError;
using audiohal::kAudioHardwareBadPropertySizeError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDefaultInputDevice;
using audiohal::kAudioHardwarePropertyDefaultOutputDevice;
using audiohal::kAudioHardwareUnsupportedOperationError;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioTapPropertyDescription;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

bool ModelAudioHardware::settableLocked(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address) const {
  const UInt32 selector = address.mSelector;
  if (object == kAudioObjectSystemObject) {
    return selector == kAudioHardwarePropertyDefaultInputDevice ||
           selector == kAudioHardwarePropertyDefaultOutputDevice;
  }
  if (const Device* device = deviceLocked(object)) {
    if (selector == kAudioDevicePropertyNominalSampleRate) return true;
    if (selector == kAudioDevicePropertyClockSource) {
      return !device->aggregate && device->config.clockSource == ClockSourceProperty::kSettable;
    }
    if (device->aggregate) {
      return selector == kAudioAggregateDevicePropertyClockDevice ||
             selector == kAudioAggregateDevicePropertyMainSubDevice ||
             selector == kAudioAggregateDevicePropertyComposition ||
             selector == kAudioAggregateDevicePropertyFullSubDeviceList ||
             selector == kAudioAggregateDevicePropertyTapList;
    }
    return false;
  }
  if (taps_.count(object)) return selector == kAudioTapPropertyDescription;
  return false;
}

OSStatus ModelAudioHardware::writeLocked(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         const PropertyValue& data) {
  PropertyValue current;
  OSStatus status = readLocked(object, address, std::string(), current);
  if (status != kAudioHardwareNoError) return status;
  if (!settableLocked(object, address)) return kAudioHardwareUnsupportedOperationError;
  const UInt32 selector = address.mSelector;

  if (object == kAudioObjectSystemObject) {
    const auto* id = std::get_if<UInt32>(&data);
    if (id == nullptr) return kAudioHardwareBadPropertySizeError;
    const Device* device = deviceLocked(*id);
    if (device == nullptr) return kAudioHardwareBadDeviceError;
    (selector == kAudioHardwarePropertyDefaultInputDevice ? defaultInput_ : defaultOutput_) = *id;
    return kAudioHardwareNoError;
  }

  if (auto it = taps_.find(object); it != taps_.end()) return writeTapLocked(it->second, data);

  Device& device = *deviceLocked(object);
  if (selector == kAudioDevicePropertyNominalSampleRate) {
    const auto* rate = std::get_if<Float64>(&data);
    if (rate == nullptr) return kAudioHardwareBadPropertySizeError;
    if (!supportsRate(device.config.sampleRateRanges, *rate)) {
      return kAudioHardwareIllegalOperationError;
    }
    device.config.nominalSampleRate = *rate;
    return kAudioHardwareNoError;
  }
  if (selector == kAudioDevicePropertyClockSource) {
    // The device keeps the source it is told to use and reports it back.
    const auto* source = std::get_if<UInt32>(&data);
    if (source == nullptr) return kAudioHardwareBadPropertySizeError;
    device.clockSource = *source;
    return kAudioHardwareNoError;
  }

  return writeAggregateLocked(device, selector, data);
}

}  // namespace velmar::hal
