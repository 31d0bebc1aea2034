#include "taps/TapMute.h"

namespace velmar {

std::optional<TapMute> tapMuteFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<TapMute>(raw);
}

std::int64_t rawValue(TapMute mute) { return static_cast<std::int64_t>(mute); }

std::string description(TapMute mute) {
  switch (mute) {
    case TapMute::unmuted:
      return "Unmuted";
    case TapMute::muted:
      return "Muted";
    case TapMute::mutedWhenTapped:
      return "Muted When Tapped";
  }
  return "Unmuted";
}

}  // namespace velmar
