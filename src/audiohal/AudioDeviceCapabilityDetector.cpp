#include "audiohal/AudioDeviceCapabilityDetector.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "audiohal/AudioDeviceIdentity.h"
#include "audiohal/AudioHardware.h"

namespace velmar::audiohal {

namespace {

constexpr std::array<Float64, 6> kStandardRates = {44100, 48000, 88200, 96000, 176400, 192000};

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool contains(const std::string& haystack, const char* needle) {
  return haystack.find(needle) != std::string::npos;
}

std::optional<AudioDeviceInfo> defaultDevice(AudioHardware& hal,
                                             AudioObjectPropertySelector selector) {
  AudioObjectID id = kAudioObjectUnknown;
  OSStatus status = hal.getProperty(kAudioObjectSystemObject, globalAddress(selector), id);
  if (status != kAudioHardwareNoError || id == kAudioObjectUnknown) return std::nullopt;
  return AudioDeviceInfo::fromDevice(hal, id);
}

// 'uidd' with the UID as qualifier; 0 when the status fails or nothing matches.
AudioObjectID translateUID(AudioHardware& hal, const std::string& uid) {
  AudioObjectID id = kAudioObjectUnknown;
  OSStatus status = hal.getProperty(kAudioObjectSystemObject,
                                    globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), id,
                                    PropertyValue{uid});
  return status == kAudioHardwareNoError ? id : kAudioObjectUnknown;
}

std::optional<std::string> builtInMicrophoneUID(AudioHardware& hal) {
  auto microphone = AudioDeviceCapabilityDetector::findBuiltInMicrophone(hal);
  if (!microphone) return std::nullopt;
  return microphone->uid;
}

}  // namespace

AudioDeviceCapabilities AudioDeviceCapabilityDetector::getCapabilities(AudioHardware& hal,
                                                                       AudioObjectID deviceID) {
  AudioDeviceCapabilities capabilities;
  capabilities.deviceID = deviceID;
  capabilities.uid = AudioDeviceIdentity::getDeviceUID(hal, deviceID);
  capabilities.name = AudioDeviceIdentity::getDeviceName(hal, deviceID);
  capabilities.transportType = getTransportType(hal, deviceID);
  capabilities.canBeClockSource = checkCanBeClockSource(hal, deviceID, capabilities.transportType);
  capabilities.supportedSampleRates = getSupportedSampleRates(hal, deviceID);
  const std::string name = lowercased(capabilities.name);
  capabilities.isBuiltIn = contains(name, "built-in") || contains(name, "internal") ||
                           capabilities.transportType == AudioDeviceTransportType::kBuiltin;
  capabilities.isVirtual = capabilities.transportType == AudioDeviceTransportType::kVirtual;
  capabilities.isBluetooth = capabilities.transportType == AudioDeviceTransportType::kBluetooth ||
                             capabilities.transportType == AudioDeviceTransportType::kBluetoothLE;
  capabilities.clockSourcePriority = priority(capabilities.transportType);
  return capabilities;
}

AudioDeviceTransportType AudioDeviceCapabilityDetector::getTransportType(AudioHardware& hal,
                                                                         AudioObjectID deviceID) {
  UInt32 code = 0;
  UInt32 size = 4;
  PropertyValue value;
  OSStatus status = hal.getPropertyData(deviceID, globalAddress(kAudioDevicePropertyTransportType),
                                        {}, size, value);
  if (status != kAudioHardwareNoError) return AudioDeviceTransportType::kUnknown;
  if (const auto* raw = std::get_if<UInt32>(&value)) code = *raw;
  return audioDeviceTransportTypeFromRawValue(code).value_or(AudioDeviceTransportType::kUnknown);
}

bool AudioDeviceCapabilityDetector::checkCanBeClockSource(AudioHardware& hal,
                                                          AudioObjectID deviceID,
                                                          AudioDeviceTransportType transportType) {
  if (!canBeClockSource(transportType)) return false;
  const auto address = globalAddress(kAudioDevicePropertyClockSource);
  if (!hal.hasProperty(deviceID, address)) return false;
  // Only the flag counts; the status of the query is not examined.
  bool settable = false;
  hal.isPropertySettable(deviceID, address, settable);
  return settable;
}

std::vector<Float64> AudioDeviceCapabilityDetector::getSupportedSampleRates(
    AudioHardware& hal, AudioObjectID deviceID) {
  const auto address = globalAddress(kAudioDevicePropertyAvailableNominalSampleRates);
  UInt32 size = 0;
  if (hal.getPropertyDataSize(deviceID, address, {}, size) != kAudioHardwareNoError) return {};
  const UInt32 count = size / 16;
  size = count * 16;
  PropertyValue value;
  if (hal.getPropertyData(deviceID, address, {}, size, value) != kAudioHardwareNoError) return {};
  std::vector<AudioValueRange> ranges;
  if (const auto* read = std::get_if<std::vector<AudioValueRange>>(&value)) ranges = *read;
  if (ranges.size() > count) ranges.resize(count);

  std::vector<Float64> rates;
  for (const AudioValueRange& range : ranges) {
    if (range.mMinimum == range.mMaximum) {
      rates.push_back(range.mMinimum);
      continue;
    }
    for (Float64 rate : kStandardRates) {
      if (range.mMinimum <= rate && rate <= range.mMaximum) rates.push_back(rate);
    }
  }
  std::sort(rates.begin(), rates.end());
  return rates;
}

std::optional<std::string> AudioDeviceCapabilityDetector::selectBestClockSource(
    AudioHardware& hal, const std::vector<AudioDeviceInfo>& devices) {
  const auto defaultOutput = findActiveOutputDevice(hal);
  std::optional<AudioDeviceCapabilities> best;
  for (const AudioDeviceInfo& device : devices) {
    auto capabilities = getCapabilities(hal, device.id);
    if (!capabilities.canBeClockSource) continue;
    if (capabilities.isBuiltIn && contains(lowercased(capabilities.name), "microphone")) {
      return capabilities.uid;
    }
    if (defaultOutput && defaultOutput->id == device.id) return capabilities.uid;
    if (!best || capabilities.clockSourcePriority > best->clockSourcePriority) {
      best = std::move(capabilities);
    }
  }
  if (!best) return std::nullopt;
  return best->uid;
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findBuiltInMicrophone(
    AudioHardware& hal) {
  const auto address = globalAddress(kAudioHardwarePropertyDevices);
  // Statuses are not examined: a failed size read leaves 0 and no devices.
  UInt32 size = 0;
  hal.getPropertyDataSize(kAudioObjectSystemObject, address, {}, size);
  std::vector<AudioObjectID> ids(size / 4, kAudioObjectUnknown);
  if (!ids.empty()) {
    PropertyValue value;
    hal.getPropertyData(kAudioObjectSystemObject, address, {}, size, value);
    if (const auto* read = std::get_if<std::vector<AudioObjectID>>(&value)) {
      std::copy_n(read->begin(), std::min(read->size(), ids.size()), ids.begin());
    }
  }
  for (AudioObjectID id : ids) {
    AudioDeviceInfo info = AudioDeviceInfo::fromDevice(hal, id);
    const std::string name = lowercased(info.name);
    if ((contains(name, "built-in") || contains(name, "internal")) &&
        contains(name, "microphone") && info.hasInputChannels) {
      return info;
    }
  }
  return std::nullopt;
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findActiveInputDevice(
    AudioHardware& hal) {
  return defaultDevice(hal, kAudioHardwarePropertyDefaultInputDevice);
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findActiveOutputDevice(
    AudioHardware& hal) {
  return defaultDevice(hal, kAudioHardwarePropertyDefaultOutputDevice);
}

bool AudioDeviceCapabilityDetector::validateDeviceExists(AudioHardware& hal,
                                                         const std::string& uid) {
  return translateUID(hal, uid) != kAudioObjectUnknown;
}

ClockSourceValidation AudioDeviceCapabilityDetector::validateAggregateDeviceClockSource(
    AudioHardware& hal, AudioObjectID deviceID) {
  std::optional<std::string> current;
  OSStatus status =
      hal.getProperty(deviceID, globalAddress(kAudioAggregateDevicePropertyClockDevice), current);
  if (status != kAudioHardwareNoError || !current) {
    return {false, std::nullopt, builtInMicrophoneUID(hal)};
  }
  if (current->empty()) return {false, std::string(), std::nullopt};
  if (!validateDeviceExists(hal, *current)) return {false, current, builtInMicrophoneUID(hal)};
  if (getCapabilities(hal, translateUID(hal, *current)).canBeClockSource)
    return {true, current, std::nullopt};
  return {false, current, builtInMicrophoneUID(hal)};
}

}  // namespace velmar::audiohal
