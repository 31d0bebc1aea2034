#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

class AudioHardware;

// Identity of one device as the host sees it.
struct AudioDeviceInfo {
  AudioObjectID id = kAudioObjectUnknown;
  std::string uid;
  std::string name;
  bool hasInputChannels = false;

  // Reads UID, name and input channels of `id` from the HAL.
  static AudioDeviceInfo fromDevice(AudioHardware& hal, AudioObjectID id);

  // Exactly "id" (signed), "uid", "name", "hasInputChannels".
  nlohmann::json toDictionary() const;
};

}  // namespace velmar::audiohal
