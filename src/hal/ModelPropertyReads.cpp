#include "hal/ModelAudioHardware.h"

namespace velmar::hal {

using audiohal::AudioBufferList;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioStreamBasicDescription;
using audiohal::Float64;
using audiohal::kAudioAggregateDeviceClassID;
using audiohal::kAudioDeviceClassID;
using audiohal::kAudioDevicePropertyAvailableNominalSampleRates;
using audiohal::kAudioDevicePropertyBufferFrameSize;
using audiohal::kAudioDevicePropertyClockSource;
using audiohal::kAudioDevicePropertyDeviceIsAlive;
using audiohal::kAudioDevicePropertyDeviceIsRunning;
using audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere;
using audiohal::kAudioDevicePropertyDeviceName;
using audiohal::kAudioDevicePropertyDeviceUID;
using audiohal::kAudioDevicePropertyNominalSampleRate;
using audiohal::kAudioDevicePropertyStreamConfiguration;
using audiohal::kAudioDevicePropertyStreams;
using audiohal::kAudioDevicePropertyTransportType;
using audiohal::kAudioDeviceTransportTypeAggregate;
using audiohal::kAudioHardwareBadObjectError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDefaultInputDevice;
using audiohal::kAudioHardwarePropertyDefaultOutputDevice;
using audiohal::kAudioHardwarePropertyDevices;
using audiohal::kAudioHardwarePropertyProcessObjectList;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioHardwarePropertyTranslateUIDToDevice;
using audiohal::kAudioHardwareUnknownPropertyError;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectPropertyName;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectPropertyScopeOutput;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioObjectUnknown;
using audiohal::kAudioProcessClassID;
using audiohal::kAudioProcessPropertyBundleID;
using audiohal::kAudioProcessPropertyIsRunning;
using audiohal::kAudioProcessPropertyPID;
using audiohal::kAudioStreamClassID;
using audiohal::kAudioStreamPropertyDirection;
using audiohal::kAudioStreamPropertyVirtualFormat;
using audiohal::kAudioSystemObjectClassID;
using audiohal::makeFloatFormat;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::SInt32;
using audiohal::UInt32;

AudioStreamBasicDescription ModelAudioHardware::streamFormatLocked(const Stream& stream) const {
  const Device* owner = deviceLocked(stream.owner);
  Float64 rate = owner ? owner->config.nominalSampleRate : 48000;
  return makeFloatFormat(rate, stream.channels);
}

OSStatus ModelAudioHardware::readLocked(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        const PropertyValue& qualifier, PropertyValue& out) const {
  if (object == kAudioObjectSystemObject)
    return readSystemLocked(address.mSelector, qualifier, out);
  if (const Device* device = deviceLocked(object)) {
    OSStatus status = readDeviceLocked(*device, address, out);
    if (status != kAudioHardwareUnknownPropertyError || !device->aggregate) return status;
    return readAggregateLocked(*device, address.mSelector, out);
  }
  if (auto it = streams_.find(object); it != streams_.end()) {
    return readStreamLocked(it->second, address.mSelector, out);
  }
  if (auto it = processes_.find(object); it != processes_.end()) {
    return readProcessLocked(it->second, address.mSelector, out);
  }
  if (auto it = taps_.find(object); it != taps_.end()) {
    return readTapLocked(it->second, address.mSelector, out);
  }
  return kAudioHardwareBadObjectError;
}

OSStatus ModelAudioHardware::readSystemLocked(UInt32 selector, const PropertyValue& qualifier,
                                              PropertyValue& out) const {
  switch (selector) {
    case kAudioObjectPropertyClass:
      out = kAudioSystemObjectClassID;
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDevices:
      out = deviceOrder_;
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDefaultInputDevice:
      out = defaultInput_;
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyDefaultOutputDevice:
      out = defaultOutput_;
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyTranslateUIDToDevice: {
      const auto* uid = std::get_if<std::string>(&qualifier);
      if (uid == nullptr) return kAudioHardwareIllegalOperationError;
      const Device* device = deviceByUIDLocked(*uid);
      out = device ? device->id : kAudioObjectUnknown;
      return kAudioHardwareNoError;
    }
    case kAudioHardwarePropertyProcessObjectList:
      out = processOrder_;
      return kAudioHardwareNoError;
    case kAudioHardwarePropertyTapList: {
      std::vector<AudioObjectID> visible;
      for (AudioObjectID id : tapOrder_) {
        const Tap& tap = taps_.at(id);
        if (!(tap.foreign && tap.description.isPrivate)) visible.push_back(id);
      }
      out = visible;
      return kAudioHardwareNoError;
    }
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus ModelAudioHardware::readDeviceLocked(const Device& device,
                                              const AudioObjectPropertyAddress& address,
                                              PropertyValue& out) const {
  const auto& config = device.config;
  switch (address.mSelector) {
    case kAudioObjectPropertyClass:
      out = device.aggregate ? kAudioAggregateDeviceClassID : kAudioDeviceClassID;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceUID:
      out = config.uid;
      return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
    case kAudioDevicePropertyDeviceName:
      out = config.name;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyTransportType:
      out = device.aggregate ? kAudioDeviceTransportTypeAggregate : config.transport;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyAvailableNominalSampleRates:
      out = config.sampleRateRanges;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyNominalSampleRate:
      out = config.nominalSampleRate;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyBufferFrameSize:
      // The largest cycle the backend drives, so a client can size its
      // buffers once, off the IO thread.
      out = maxFramesPerCycle_;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyClockSource:
      if (device.aggregate || config.clockSource == ClockSourceProperty::kAbsent) {
        return kAudioHardwareUnknownPropertyError;
      }
      out = device.clockSource;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamConfiguration: {
      AudioBufferList layout;
      const auto& ids = address.mScope == kAudioObjectPropertyScopeOutput ? device.outputStreams
                                                                          : device.inputStreams;
      if (address.mScope != kAudioObjectPropertyScopeInput &&
          address.mScope != kAudioObjectPropertyScopeOutput) {
        return kAudioHardwareUnknownPropertyError;
      }
      for (AudioObjectID id : ids)
        layout.mBuffers.push_back({streams_.at(id).channels, 0, nullptr});
      out = layout;
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
      out = UInt32{deviceRunningSomewhereLocked(device) ? 1u : 0u};
      return kAudioHardwareNoError;
    case kAudioDevicePropertyStreams: {
      std::vector<AudioObjectID> ids;
      if (address.mScope != kAudioObjectPropertyScopeOutput) {
        ids.insert(ids.end(), device.inputStreams.begin(), device.inputStreams.end());
      }
      if (address.mScope != kAudioObjectPropertyScopeInput) {
        ids.insert(ids.end(), device.outputStreams.begin(), device.outputStreams.end());
      }
      out = ids;
      return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyDeviceIsRunning:
      out = UInt32{deviceRunningLocked(device) ? 1u : 0u};
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceIsAlive:
      out = UInt32{config.alive ? 1u : 0u};
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus ModelAudioHardware::readStreamLocked(const Stream& stream, UInt32 selector,
                                              PropertyValue& out) const {
  switch (selector) {
    case kAudioObjectPropertyClass:
      out = kAudioStreamClassID;
      return kAudioHardwareNoError;
    case kAudioStreamPropertyVirtualFormat:
      out = streamFormatLocked(stream);
      return kAudioHardwareNoError;
    case kAudioStreamPropertyDirection:
      out = UInt32{stream.isInput ? 1u : 0u};
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus ModelAudioHardware::readProcessLocked(const Process& process, UInt32 selector,
                                               PropertyValue& out) const {
  const auto& config = process.config;
  switch (selector) {
    case kAudioObjectPropertyClass:
      out = kAudioProcessClassID;
      return kAudioHardwareNoError;
    case kAudioProcessPropertyPID:
      out = SInt32{config.pid};
      return kAudioHardwareNoError;
    case kAudioProcessPropertyBundleID:
      out = config.bundleID;
      return kAudioHardwareNoError;
    case kAudioProcessPropertyIsRunning:
      out = UInt32{config.running ? 1u : 0u};
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

}  // namespace velmar::hal
