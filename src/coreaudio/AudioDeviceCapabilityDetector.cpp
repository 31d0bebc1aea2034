#include "coreaudio/AudioDeviceCapabilityDetector.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "coreaudio/AudioDeviceIdentity.h"
#include "coreaudio/AudioHardware.h"
#include "platform/Platform.h"

namespace velmar::coreaudio {

namespace {

constexpr std::array<Float64, 6> kStandardRates = {44100, 48000, 88200, 96000, 176400, 192000};

AudioHardware& hal() { return platform::Platform::shared().hal(); }

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool contains(const std::string& haystack, const char* needle) {
  return haystack.find(needle) != std::string::npos;
}

std::optional<AudioDeviceInfo> defaultDevice(AudioObjectPropertySelector selector) {
  AudioObjectID id = kAudioObjectUnknown;
  OSStatus status = hal().getProperty(kAudioObjectSystemObject, globalAddress(selector), id);
  if (status != kAudioHardwareNoError || id == kAudioObjectUnknown) return std::nullopt;
  return AudioDeviceInfo::fromDevice(id);
}

// 'uidd' with the UID as qualifier; 0 when the status fails or nothing matches.
AudioObjectID translateUID(const std::string& uid) {
  AudioObjectID id = kAudioObjectUnknown;
  OSStatus status = hal().getProperty(kAudioObjectSystemObject,
                                      globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), id,
                                      PropertyValue{uid});
  return status == kAudioHardwareNoError ? id : kAudioObjectUnknown;
}

std::optional<std::string> builtInMicrophoneUID() {
  auto microphone = AudioDeviceCapabilityDetector::findBuiltInMicrophone();
  if (!microphone) return std::nullopt;
  return microphone->uid;
}

}  // namespace

std::optional<AudioDeviceCapabilities> AudioDeviceCapabilityDetector::getCapabilities(
    AudioObjectID deviceID) {
  AudioDeviceCapabilities capabilities;
  capabilities.deviceID = deviceID;
  capabilities.uid = AudioDeviceIdentity::getDeviceUID(deviceID);
  capabilities.name = AudioDeviceIdentity::getDeviceName(deviceID);
  capabilities.transportType = getTransportType(deviceID);
  capabilities.canBeClockSource = checkCanBeClockSource(deviceID, capabilities.transportType);
  capabilities.supportedSampleRates = getSupportedSampleRates(deviceID);
  const std::string name = lowercased(capabilities.name);
  capabilities.isBuiltIn = contains(name, "built-in") || contains(name, "internal") ||
                           capabilities.transportType == AudioDeviceTransportType::kBuiltin;
  capabilities.isVirtual = capabilities.transportType == AudioDeviceTransportType::kVirtual;
  capabilities.isBluetooth = capabilities.transportType == AudioDeviceTransportType::kBluetooth ||
                             capabilities.transportType == AudioDeviceTransportType::kBluetoothLE;
  capabilities.clockSourcePriority = priority(capabilities.transportType);
  return capabilities;
}

AudioDeviceTransportType AudioDeviceCapabilityDetector::getTransportType(AudioObjectID deviceID) {
  UInt32 code = 0;
  UInt32 size = 4;
  PropertyValue value;
  OSStatus status = hal().getPropertyData(
      deviceID, globalAddress(kAudioDevicePropertyTransportType), {}, size, value);
  if (status != kAudioHardwareNoError) return AudioDeviceTransportType::kUnknown;
  if (const auto* raw = std::get_if<UInt32>(&value)) code = *raw;
  return audioDeviceTransportTypeFromRawValue(code).value_or(AudioDeviceTransportType::kUnknown);
}

bool AudioDeviceCapabilityDetector::checkCanBeClockSource(AudioObjectID deviceID,
                                                          AudioDeviceTransportType transportType) {
  if (!canBeClockSource(transportType)) return false;
  const auto address = globalAddress(kAudioDevicePropertyClockSource);
  if (!hal().hasProperty(deviceID, address)) return false;
  // Only the flag counts; the status of the query is not examined.
  bool settable = false;
  hal().isPropertySettable(deviceID, address, settable);
  return settable;
}

std::vector<Float64> AudioDeviceCapabilityDetector::getSupportedSampleRates(
    AudioObjectID deviceID) {
  const auto address = globalAddress(kAudioDevicePropertyAvailableNominalSampleRates);
  UInt32 size = 0;
  if (hal().getPropertyDataSize(deviceID, address, {}, size) != kAudioHardwareNoError) return {};
  const UInt32 count = size / 16;
  size = count * 16;
  PropertyValue value;
  if (hal().getPropertyData(deviceID, address, {}, size, value) != kAudioHardwareNoError) return {};
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
    const std::vector<AudioDeviceInfo>& devices) {
  const auto defaultOutput = findActiveOutputDevice();
  std::optional<AudioDeviceCapabilities> best;
  for (const AudioDeviceInfo& device : devices) {
    auto capabilities = getCapabilities(device.id);
    if (!capabilities || !capabilities->canBeClockSource) continue;
    if (capabilities->isBuiltIn && contains(lowercased(capabilities->name), "microphone")) {
      return capabilities->uid;
    }
    if (defaultOutput && defaultOutput->id == device.id) return capabilities->uid;
    if (!best || capabilities->clockSourcePriority > best->clockSourcePriority) {
      best = std::move(capabilities);
    }
  }
  if (!best) return std::nullopt;
  return best->uid;
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findBuiltInMicrophone() {
  const auto address = globalAddress(kAudioHardwarePropertyDevices);
  // Statuses are not examined: a failed size read leaves 0 and no devices.
  UInt32 size = 0;
  hal().getPropertyDataSize(kAudioObjectSystemObject, address, {}, size);
  std::vector<AudioObjectID> ids(size / 4, kAudioObjectUnknown);
  if (!ids.empty()) {
    PropertyValue value;
    hal().getPropertyData(kAudioObjectSystemObject, address, {}, size, value);
    if (const auto* read = std::get_if<std::vector<AudioObjectID>>(&value)) {
      std::copy_n(read->begin(), std::min(read->size(), ids.size()), ids.begin());
    }
  }
  for (AudioObjectID id : ids) {
    AudioDeviceInfo info = AudioDeviceInfo::fromDevice(id);
    const std::string name = lowercased(info.name);
    if ((contains(name, "built-in") || contains(name, "internal")) &&
        contains(name, "microphone") && info.hasInputChannels) {
      return info;
    }
  }
  return std::nullopt;
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findActiveInputDevice() {
  return defaultDevice(kAudioHardwarePropertyDefaultInputDevice);
}

std::optional<AudioDeviceInfo> AudioDeviceCapabilityDetector::findActiveOutputDevice() {
  return defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
}

bool AudioDeviceCapabilityDetector::validateDeviceExists(const std::string& uid) {
  return translateUID(uid) != kAudioObjectUnknown;
}

ClockSourceValidation AudioDeviceCapabilityDetector::validateAggregateDeviceClockSource(
    AudioObjectID deviceID) {
  std::optional<std::string> current;
  OSStatus status =
      hal().getProperty(deviceID, globalAddress(kAudioAggregateDevicePropertyClockDevice), current);
  if (status != kAudioHardwareNoError || !current) {
    return {false, std::nullopt, builtInMicrophoneUID()};
  }
  if (current->empty()) return {false, std::string(), std::nullopt};
  if (!validateDeviceExists(*current)) return {false, current, builtInMicrophoneUID()};
  auto capabilities = getCapabilities(translateUID(*current));
  if (capabilities && capabilities->canBeClockSource) return {true, current, std::nullopt};
  return {false, current, builtInMicrophoneUID()};
}

}  // namespace velmar::coreaudio
