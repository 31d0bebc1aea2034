#include "audiohal/AudioDeviceIdentity.h"

#include <optional>

#include "audiohal/AudioHardware.h"

namespace velmar::audiohal {

std::string AudioDeviceIdentity::getDeviceUID(AudioHardware& hal, AudioObjectID id) {
  // The status is deliberately not looked at: a failed read leaves "".
  std::string uid;
  hal.getProperty(id, globalAddress(kAudioDevicePropertyDeviceUID), uid);
  return uid;
}

std::string AudioDeviceIdentity::getDeviceName(AudioHardware& hal, AudioObjectID id) {
  std::optional<std::string> name;
  OSStatus status = hal.getProperty(id, globalAddress(kAudioObjectPropertyName), name);
  if (status == kAudioHardwareNoError && name && !name->empty()) return *name;
  return "Unknown Device (ID: " + std::to_string(id) + ")";
}

bool AudioDeviceIdentity::checkHasInputChannels(AudioHardware& hal, AudioObjectID id) {
  const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  UInt32 size = 0;
  if (hal.getPropertyDataSize(id, address, {}, size) != kAudioHardwareNoError || size == 0) {
    return false;
  }
  PropertyValue value;
  if (hal.getPropertyData(id, address, {}, size, value) != kAudioHardwareNoError) return false;
  const auto* layout = std::get_if<AudioBufferList>(&value);
  if (layout == nullptr) return false;
  UInt32 channels = 0;
  for (const AudioBuffer& buffer : layout->mBuffers) channels += buffer.mNumberChannels;
  return channels > 0;
}

}  // namespace velmar::audiohal
