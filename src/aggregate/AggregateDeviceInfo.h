#pragma once

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiohal/HalTypes.h"

namespace velmar {

namespace audiohal {
class AudioHardware;
}

using audiohal::AudioObjectID;

// One aggregate device: its identity, what it is composed of and how it is
// configured, as last read from the HAL.
struct AggregateDeviceInfo {
  AudioObjectID id = 0;
  std::string uid;
  std::string name;
  std::set<std::string> deviceList;  // sub-device UIDs
  std::set<std::string> tapList;     // tap UIDs
  bool isPrivate = false;
  bool autoStart = false;
  bool autoStop = false;  // no composition key feeds it

  // Reads identity, sub-devices, taps and configuration of `id`, in that
  // order; failed reads leave the defaults.
  static AggregateDeviceInfo fromDevice(audiohal::AudioHardware& hal, AudioObjectID id);

  void updateDeviceList(audiohal::AudioHardware& hal);
  void updateTapList(audiohal::AudioHardware& hal);
  void updateConfig(audiohal::AudioHardware& hal);

  // Exactly "id" (signed), "uid", "name", "deviceList", "tapList",
  // "isPrivate", "autoStart", "autoStop".
  nlohmann::json toDictionary() const;
};

nlohmann::json toDictionaries(const std::vector<AggregateDeviceInfo>& devices);

}  // namespace velmar
