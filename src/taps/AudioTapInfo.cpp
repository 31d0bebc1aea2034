#include "taps/AudioTapInfo.h"

#include "taps/AudioTapManager.h"

namespace velmar {

AudioTapInfo::AudioTapInfo(AudioObjectID id, audiohal::AudioHardware& hal)
    : id(id),
      uid(AudioTapManager::getTapUID(id, hal)),
      format(AudioTapManager::getTapFormat(id, hal)),
      config(AudioTapManager::getTapConfig(id, hal)) {}

nlohmann::json AudioTapInfo::toDictionary() const {
  nlohmann::json out = {{"id", id}, {"uid", uid}, {"format", format}};
  const nlohmann::json settings = config.toDictionary();
  for (const auto& [key, value] : settings.items()) out[key] = value;
  return out;
}

nlohmann::json toDictionaries(const std::vector<AudioTapInfo>& taps) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& tap : taps) array.push_back(tap.toDictionary());
  return array;
}

}  // namespace velmar
