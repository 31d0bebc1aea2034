#pragma once

#include <string>
#include <vector>

#include "audiohal/AudioDeviceTransportType.h"
#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

// What the aggregate-device logic needs to know about one device.
struct AudioDeviceCapabilities {
  AudioObjectID deviceID = kAudioObjectUnknown;
  std::string uid;
  std::string name;
  bool canBeClockSource = false;
  AudioDeviceTransportType transportType = AudioDeviceTransportType::kUnknown;
  bool isVirtual = false;
  bool isBluetooth = false;
  bool isBuiltIn = false;
  std::vector<Float64> supportedSampleRates;  // Hz, ascending, duplicates kept
  int clockSourcePriority = 0;
};

}  // namespace velmar::audiohal
