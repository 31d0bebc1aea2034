#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "audiohal/CATapDescription.h"
#include "audiohal/HalTypes.h"
#include "taps/TapMixdown.h"
#include "taps/TapMute.h"

namespace velmar {

using audiohal::AudioObjectID;

// The service's plain-value mirror of a platform tap description, so taps
// can be built from command parameters and reported as JSON.
struct TapConfig {
  std::string name = "Audio Tap";
  // Processes to tap, or to leave out when `exclusive` is set.
  std::set<AudioObjectID> processes;
  bool isPrivate = false;
  TapMute mute = TapMute::unmuted;
  TapMixdown mixdown = TapMixdown::mono;
  bool exclusive = false;
  std::optional<std::string> device;  // UID of the output device to tap
  std::optional<std::uint64_t> streamIndex;

  // The host's view: every field, plus "muteName" and "mixdownName";
  // "device" and "streamIndex" only when set.
  nlohmann::json toDictionary() const;

  // The coded form: the field names as keys, enumerations as raw values,
  // "device" and "streamIndex" only when set.
  nlohmann::json encode() const;
  // Strict reading of the coded form: a missing or mistyped required key, or
  // a mute or mixdown outside 0-2, fails the whole decoding.
  static std::optional<TapConfig> decode(const nlohmann::json& coded);

  // Writes every attribute of this configuration into `description` (a
  // fresh one when creating a tap, the tap's current one when updating).
  void applyTo(audiohal::CATapDescription& description) const;
  audiohal::CATapDescription makeDescription() const;
  // Reads a description back; an unknown mute behaviour reads as unmuted,
  // and a description that is not mixed down reads as the device format
  // whatever its mono flag says.
  static TapConfig fromDescription(const audiohal::CATapDescription& description);

  friend bool operator==(const TapConfig&, const TapConfig&) = default;
};

}  // namespace velmar
