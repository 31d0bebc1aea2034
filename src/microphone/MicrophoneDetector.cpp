#include "microphone/MicrophoneDetector.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>

#include "platform/Platform.h"

namespace velmar {

using audiohal::AudioBufferList;
using audiohal::AudioClassID;
using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDeviceClassID;
using audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere;
using audiohal::kAudioDevicePropertyDeviceName;
using audiohal::kAudioDevicePropertyStreamConfiguration;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDevices;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectPropertyElementMain;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectSystemObject;
using audiohal::PropertyValue;
using audiohal::UInt32;

namespace {

// The name read is a 256-byte, NUL-terminated C string.
constexpr UInt32 kNameBufferBytes = 256;

// Cuts a name to what fits the buffer without splitting a character.
std::string fitNameBuffer(std::string name) {
  if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
  if (name.size() < kNameBufferBytes) return name;
  std::size_t end = kNameBufferBytes - 1;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  name.resize(end);
  return name;
}

}  // namespace

MicrophoneDetector::MicrophoneDetector() : MicrophoneDetector(platform::Platform::shared().hal()) {}

MicrophoneDetector::MicrophoneDetector(AudioHardware& hal) : hal_(hal) {}

std::vector<AudioObjectID> MicrophoneDetector::getAllAudioDevices() const {
  const auto address = globalAddress(kAudioHardwarePropertyDevices);
  UInt32 size = 0;
  hal_.getPropertyDataSize(kAudioObjectSystemObject, address, {}, size);
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
  PropertyValue value;
  if (hal_.getPropertyData(kAudioObjectSystemObject, address, {}, size, value) ==
      kAudioHardwareNoError) {
    if (const auto* read = std::get_if<std::vector<AudioObjectID>>(&value)) {
      std::copy_n(read->begin(), std::min(read->size(), ids.size()), ids.begin());
    }
  }
  return ids;
}

bool MicrophoneDetector::hasInputChannels(AudioObjectID deviceID) const {
  const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  UInt32 size = 0;
  if (hal_.getPropertyDataSize(deviceID, address, {}, size) != kAudioHardwareNoError) return false;
  PropertyValue value;
  if (hal_.getPropertyData(deviceID, address, {}, size, value) != kAudioHardwareNoError) {
    return false;
  }
  const auto* layout = std::get_if<AudioBufferList>(&value);
  if (layout == nullptr) return false;
  UInt32 channels = 0;
  for (const auto& buffer : layout->mBuffers) channels += buffer.mNumberChannels;
  return channels > 0;
}

bool MicrophoneDetector::isDeviceActive(AudioObjectID deviceID) const {
  const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsRunningSomewhere,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  UInt32 running = 0;
  if (hal_.getProperty(deviceID, address, running) != kAudioHardwareNoError) return false;
  return running == 1;
}

bool MicrophoneDetector::isAggregateDevice(AudioObjectID id) const {
  AudioClassID classID = 0;
  hal_.getProperty(id, globalAddress(kAudioObjectPropertyClass), classID);
  return classID == kAudioAggregateDeviceClassID;
}

std::string MicrophoneDetector::deviceName(AudioObjectID id) const {
  UInt32 size = kNameBufferBytes;
  PropertyValue value;
  if (hal_.getPropertyData(id, globalAddress(kAudioDevicePropertyDeviceName), {}, size, value) !=
      kAudioHardwareNoError) {
    return "Unknown Device";
  }
  const auto* name = std::get_if<std::string>(&value);
  return name != nullptr ? fitNameBuffer(*name) : std::string();
}

MicrophoneDetector::Status MicrophoneDetector::checkMicrophones() const {
  const auto ids = getAllAudioDevices();
  eventEmitter_.logToStderr("Found " + std::to_string(ids.size()) + " audio devices");

  struct Input {
    AudioObjectID id;
    std::string name;
    bool active;
  };
  Status found;
  std::vector<Input> inputs;
  for (AudioObjectID id : ids) {
    // The class is read only for devices with input.
    if (!hasInputChannels(id) || isAggregateDevice(id)) continue;
    std::string name = deviceName(id);
    const bool active = isDeviceActive(id);
    inputs.push_back({id, name, active});
    if (active && !found.isActive) {
      eventEmitter_.logToStderr("Found active microphone: " + name + " (ID: " + std::to_string(id) +
                                ")");
      found = {true, std::move(name), id};
    }
  }

  if (inputs.empty()) {
    eventEmitter_.logToStderr("No input devices found");
  } else {
    eventEmitter_.logToStderr("Available input devices:");
    for (const auto& input : inputs) {
      eventEmitter_.logToStderr("  - " + input.name + " (ID: " + std::to_string(input.id) +
                                ", Active: " + (input.active ? "true" : "false") + ")");
    }
  }
  return found;
}

float MicrophoneDetector::generateLevel(double time) {
  // Per thread, so concurrent callers share no generator.
  thread_local std::minstd_rand generator{std::random_device{}()};
  // Closed range 0 ... 0.2.
  std::uniform_real_distribution<float> noise(0.0f, std::nextafter(0.2f, FLT_MAX));
  const float swing = static_cast<float>(std::abs(std::sin(2.0 * time)) * 0.3);
  // The distribution may round up to its open end; keep the noise in range.
  const float random = std::min(noise(generator), 0.2f);
  return std::min(1.0f, swing + random);
}

}  // namespace velmar
