#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiohal/AudioHardware.h"
#include "taps/TapConfig.h"

namespace velmar {

// One existing tap: its HAL object, UID, format text and configuration.
struct AudioTapInfo {
  AudioObjectID id = 0;
  std::string uid;
  std::string format;
  TapConfig config;

  AudioTapInfo() = default;
  AudioTapInfo(AudioObjectID id, std::string uid, std::string format, TapConfig config)
      : id(id), uid(std::move(uid)), format(std::move(format)), config(std::move(config)) {}
  // Reads UID, format and configuration of the tap from the HAL; failed
  // reads leave their defaults.
  AudioTapInfo(AudioObjectID id, audiohal::AudioHardware& hal);

  // One flat object: "id", "uid", "format" and every key of the
  // configuration's dictionary beside them (the configuration wins a clash).
  nlohmann::json toDictionary() const;
};

nlohmann::json toDictionaries(const std::vector<AudioTapInfo>& taps);

}  // namespace velmar
