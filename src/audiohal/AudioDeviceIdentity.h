#pragma once

#include <string>

#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

class AudioHardware;

// The three identity reads every device record is built from. Stateless;
// each call reads the given HAL afresh and degrades to a default on failure.
class AudioDeviceIdentity {
 public:
  // 'uid '; "" when the read fails.
  static std::string getDeviceUID(AudioHardware& hal, AudioObjectID id);
  // 'lnam'; "Unknown Device (ID: <id>)" when the read fails or is empty.
  static std::string getDeviceName(AudioHardware& hal, AudioObjectID id);
  // Whether the input stream configuration has any channel.
  static bool checkHasInputChannels(AudioHardware& hal, AudioObjectID id);
};

}  // namespace velmar::audiohal
