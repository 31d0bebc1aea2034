#pragma once

#include <nlohmann/json.hpp>

#include "taps/TapConfig.h"

namespace velmar::parameters {

// Applies the tap configuration keys of a command's "config" object to
// `config`: each key that is present and converts replaces its field, any
// other leaves it. "processes" converts only whole (every element an
// unsigned 32-bit integer); "mute" and "mixdown" only as one of their raw
// values.
void applyTapConfig(const nlohmann::json& parameters, TapConfig& config);

}  // namespace velmar::parameters
