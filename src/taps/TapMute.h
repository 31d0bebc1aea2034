#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmar {

// What the tapped processes still play on their own output. The raw values
// are the platform's mute behaviours.
enum class TapMute : std::int64_t {
  unmuted = 0,
  muted = 1,
  mutedWhenTapped = 2,
};

// Exactly 0, 1 and 2 name a case; any other integer names none.
std::optional<TapMute> tapMuteFromRawValue(std::int64_t raw);
std::int64_t rawValue(TapMute mute);
std::string description(TapMute mute);

}  // namespace velmar
