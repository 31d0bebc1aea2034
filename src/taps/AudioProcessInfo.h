#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "audiohal/HalTypes.h"

namespace velmar {

using audiohal::AudioObjectID;

// One audio process as the HAL lists it.
struct AudioProcessInfo {
  AudioObjectID id = 0;
  std::int32_t pid = 0;
  std::string name;
  std::string bundleID;    // empty when the process has none
  bool isRunning = false;  // doing audio I/O right now

  AudioProcessInfo() = default;
  AudioProcessInfo(AudioObjectID id, std::int32_t pid, std::string name, std::string bundleID,
                   bool isRunning)
      : id(id),
        pid(pid),
        name(std::move(name)),
        bundleID(std::move(bundleID)),
        isRunning(isRunning) {}
  // Reads the record from the HAL (PID, then name, bundle id, running flag).
  explicit AudioProcessInfo(AudioObjectID id);

  nlohmann::json toDictionary() const;
};

nlohmann::json toDictionaries(const std::vector<AudioProcessInfo>& processes);
std::size_t runningCount(const std::vector<AudioProcessInfo>& processes);

}  // namespace velmar
