#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmar {

// The channel layout a tap delivers.
enum class TapMixdown : std::int64_t {
  mono = 0,
  stereo = 1,
  deviceFormat = 2,
};

// Exactly 0, 1 and 2 name a case; any other integer names none.
std::optional<TapMixdown> tapMixdownFromRawValue(std::int64_t raw);
std::int64_t rawValue(TapMixdown mixdown);
std::string description(TapMixdown mixdown);

}  // namespace velmar
