#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sim/MachineScenario.h"

namespace velmar::sim {

// Reads scenario files (see docs/platform.md for the format).
class ScenarioLoader {
 public:
  // Throws ScenarioError when the file cannot be read or is not a valid
  // scenario.
  static MachineScenario loadFile(const std::string& path);
  // `source` names the document in error messages.
  static MachineScenario fromJson(const nlohmann::json& document, const std::string& source);
};

}  // namespace velmar::sim
