// Arbitrary bytes as a scenario file: the loader either builds a scenario or
// refuses it with a ScenarioError naming the problem; nothing else escapes.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/ScenarioError.h"
#include "sim/ScenarioLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto document = nlohmann::json::parse(data, data + size, nullptr, false);
  if (document.is_discarded()) return 0;
  try {
    velmar::sim::ScenarioLoader::fromJson(document, "fuzz input");
  } catch (const velmar::sim::ScenarioError&) {
  }
  return 0;
}
