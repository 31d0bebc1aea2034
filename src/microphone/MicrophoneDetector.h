#pragma once

#include <string>
#include <vector>

#include "audiohal/AudioHardware.h"
#include "protocol/EventEmitter.h"

namespace velmar {

// Answers on demand whether a physical microphone is in use and which one:
// the first device with input, not an aggregate, that some process is
// capturing from. Reads the HAL afresh on every call and keeps no state, so
// separate instances may be used from separate threads.
class MicrophoneDetector {
 public:
  struct Status {
    bool isActive = false;
    std::string name;
    audiohal::AudioObjectID id = 0;
  };

  MicrophoneDetector();
  explicit MicrophoneDetector(audiohal::AudioHardware& hal);

  // Walks every device and logs what it found; (false, "", 0) when no
  // microphone is running.
  Status checkMicrophones() const;

  // A plausible level for `time` (seconds since 1970) in 0 ... 0.5: a slow
  // sine swing plus noise, for when real metering is not used.
  static float generateLevel(double time);

 private:
  std::vector<audiohal::AudioObjectID> getAllAudioDevices() const;
  bool hasInputChannels(audiohal::AudioObjectID deviceID) const;
  bool isDeviceActive(audiohal::AudioObjectID deviceID) const;
  bool isAggregateDevice(audiohal::AudioObjectID id) const;
  std::string deviceName(audiohal::AudioObjectID id) const;

  EventEmitter eventEmitter_;
  audiohal::AudioHardware& hal_;
};

}  // namespace velmar
