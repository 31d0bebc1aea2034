#include "taps/TapMixdown.h"

namespace velmar {

std::optional<TapMixdown> tapMixdownFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<TapMixdown>(raw);
}

std::int64_t rawValue(TapMixdown mixdown) { return static_cast<std::int64_t>(mixdown); }

std::string description(TapMixdown mixdown) {
  switch (mixdown) {
    case TapMixdown::mono:
      return "Mono";
    case TapMixdown::stereo:
      return "Stereo";
    case TapMixdown::deviceFormat:
      return "Device Format";
  }
  return "Mono";
}

}  // namespace velmar
