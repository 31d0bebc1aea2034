#include "taps/TapConfig.h"

#include <cmath>
#include <utility>

namespace velmar {

using audiohal::CATapDescription;
using audiohal::CATapMuteBehavior;
using nlohmann::json;

namespace {

// A JSON number that is exactly an integer inside [min, max].
template <typename Int>
std::optional<Int> exactInteger(const json& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (!std::in_range<Int>(u)) return std::nullopt;
    return static_cast<Int>(u);
  }
  if (value.is_number_integer()) {
    const auto i = value.get<std::int64_t>();
    if (!std::in_range<Int>(i)) return std::nullopt;
    return static_cast<Int>(i);
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // Beyond 2^53 a double no longer names one integer exactly.
    if (!std::isfinite(d) || d != std::trunc(d) || std::fabs(d) > 9.0e15) return std::nullopt;
    const auto i = static_cast<std::int64_t>(d);
    if (!std::in_range<Int>(i)) return std::nullopt;
    return static_cast<Int>(i);
  }
  return std::nullopt;
}

json processArray(const std::set<AudioObjectID>& processes) {
  json array = json::array();
  for (AudioObjectID id : processes) array.push_back(id);
  return array;
}

}  // namespace

json TapConfig::toDictionary() const {
  json out = {{"name", name},
              {"processes", processArray(processes)},
              {"isPrivate", isPrivate},
              {"mute", rawValue(mute)},
              {"muteName", description(mute)},
              {"mixdown", rawValue(mixdown)},
              {"mixdownName", description(mixdown)},
              {"exclusive", exclusive}};
  if (device) out["device"] = *device;
  if (streamIndex) out["streamIndex"] = *streamIndex;
  return out;
}

json TapConfig::encode() const {
  json out = {
      {"name", name},           {"processes", processArray(processes)}, {"isPrivate", isPrivate},
      {"mute", rawValue(mute)}, {"mixdown", rawValue(mixdown)},         {"exclusive", exclusive}};
  if (device) out["device"] = *device;
  if (streamIndex) out["streamIndex"] = *streamIndex;
  return out;
}

std::optional<TapConfig> TapConfig::decode(const json& coded) {
  if (!coded.is_object()) return std::nullopt;
  auto field = [&](const char* key) -> const json* {
    auto it = coded.find(key);
    return it == coded.end() ? nullptr : &*it;
  };
  TapConfig config;

  const json* name = field("name");
  if (name == nullptr || !name->is_string()) return std::nullopt;
  config.name = name->get<std::string>();

  const json* processes = field("processes");
  if (processes == nullptr || !processes->is_array()) return std::nullopt;
  for (const json& element : *processes) {
    auto id = exactInteger<AudioObjectID>(element);
    if (!id) return std::nullopt;
    config.processes.insert(*id);
  }

  for (auto [key, target] :
       {std::pair{"isPrivate", &config.isPrivate}, std::pair{"exclusive", &config.exclusive}}) {
    const json* flag = field(key);
    if (flag == nullptr || !flag->is_boolean()) return std::nullopt;
    *target = flag->get<bool>();
  }

  const json* mute = field("mute");
  if (mute == nullptr) return std::nullopt;
  auto muteRaw = exactInteger<std::int64_t>(*mute);
  auto muteCase = muteRaw ? tapMuteFromRawValue(*muteRaw) : std::nullopt;
  if (!muteCase) return std::nullopt;
  config.mute = *muteCase;

  const json* mixdown = field("mixdown");
  if (mixdown == nullptr) return std::nullopt;
  auto mixdownRaw = exactInteger<std::int64_t>(*mixdown);
  auto mixdownCase = mixdownRaw ? tapMixdownFromRawValue(*mixdownRaw) : std::nullopt;
  if (!mixdownCase) return std::nullopt;
  config.mixdown = *mixdownCase;

  // The two optional keys may be absent (or null); present, they must fit.
  if (const json* device = field("device"); device != nullptr && !device->is_null()) {
    if (!device->is_string()) return std::nullopt;
    config.device = device->get<std::string>();
  }
  if (const json* stream = field("streamIndex"); stream != nullptr && !stream->is_null()) {
    auto index = exactInteger<std::uint64_t>(*stream);
    if (!index) return std::nullopt;
    config.streamIndex = *index;
  }
  return config;
}

void TapConfig::applyTo(CATapDescription& description) const {
  description.name = name;
  description.processes.assign(processes.begin(), processes.end());
  description.isPrivate = isPrivate;
  // Every TapMute has a platform behaviour with the same raw value.
  description.muteBehavior = static_cast<CATapMuteBehavior>(rawValue(mute));
  description.isMixdown = mixdown == TapMixdown::mono || mixdown == TapMixdown::stereo;
  description.isMono = mixdown == TapMixdown::mono;
  description.isExclusive = exclusive;
  description.deviceUID = device;
  description.stream = streamIndex;
}

CATapDescription TapConfig::makeDescription() const {
  CATapDescription description;
  applyTo(description);
  return description;
}

TapConfig TapConfig::fromDescription(const CATapDescription& description) {
  TapConfig config;
  config.name = description.name;
  config.processes =
      std::set<AudioObjectID>(description.processes.begin(), description.processes.end());
  config.isPrivate = description.isPrivate;
  config.mute = tapMuteFromRawValue(static_cast<std::int64_t>(description.muteBehavior))
                    .value_or(TapMute::unmuted);
  if (!description.isMixdown) {
    config.mixdown = TapMixdown::deviceFormat;
  } else {
    config.mixdown = description.isMono ? TapMixdown::mono : TapMixdown::stereo;
  }
  config.exclusive = description.isExclusive;
  config.device = description.deviceUID;
  config.streamIndex = description.stream;
  return config;
}

}  // namespace velmar
