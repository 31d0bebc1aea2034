#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "coreaudio/CoreAudioTypes.h"

namespace velmar::coreaudio {

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

}  // namespace velmar::coreaudio
