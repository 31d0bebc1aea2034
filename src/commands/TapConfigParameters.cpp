#include "commands/TapConfigParameters.h"

#include <utility>

#include "commands/CommandParameters.h"

namespace velmar::parameters {

using nlohmann::json;

namespace {

std::optional<std::uint64_t> unsignedInteger(const json& parameters, const std::string& key) {
  auto it = parameters.find(key);
  if (it == parameters.end()) return std::nullopt;
  // Beyond the signed range only an unsigned JSON integer can be exact.
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  auto value = integer(parameters, key);
  if (!value || *value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

std::optional<std::set<AudioObjectID>> processIDs(const json& parameters) {
  auto it = parameters.find("processes");
  if (it == parameters.end() || !it->is_array()) return std::nullopt;
  std::set<AudioObjectID> ids;
  for (const json& element : *it) {
    auto id = uint32(json{{"id", element}}, "id");
    if (!id) return std::nullopt;
    ids.insert(*id);
  }
  return ids;
}

}  // namespace

void applyTapConfig(const json& parameters, TapConfig& config) {
  if (!parameters.is_object()) return;
  if (auto name = string(parameters, "name")) config.name = *name;
  if (auto processes = processIDs(parameters)) config.processes = std::move(*processes);
  if (auto isPrivate = flag(parameters, "isPrivate")) config.isPrivate = *isPrivate;
  if (auto raw = integer(parameters, "mute")) {
    if (auto mute = tapMuteFromRawValue(*raw)) config.mute = *mute;
  }
  if (auto raw = integer(parameters, "mixdown")) {
    if (auto mixdown = tapMixdownFromRawValue(*raw)) config.mixdown = *mixdown;
  }
  if (auto exclusive = flag(parameters, "exclusive")) config.exclusive = *exclusive;
  if (auto device = string(parameters, "device")) config.device = *device;
  if (auto streamIndex = unsignedInteger(parameters, "streamIndex")) {
    config.streamIndex = *streamIndex;
  }
}

}  // namespace velmar::parameters
