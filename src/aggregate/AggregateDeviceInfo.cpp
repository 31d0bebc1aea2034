#include "aggregate/AggregateDeviceInfo.h"

#include <cstdint>

#include "aggregate/AggregateDeviceManager.h"
#include "audiohal/AudioDeviceIdentity.h"

namespace velmar {

AggregateDeviceInfo AggregateDeviceInfo::fromDevice(audiohal::AudioHardware& hal,
                                                    AudioObjectID id) {
  AggregateDeviceInfo info;
  info.id = id;
  info.uid = audiohal::AudioDeviceIdentity::getDeviceUID(hal, id);
  info.name = audiohal::AudioDeviceIdentity::getDeviceName(hal, id);
  info.updateDeviceList(hal);
  info.updateTapList(hal);
  info.updateConfig(hal);
  return info;
}

void AggregateDeviceInfo::updateDeviceList(audiohal::AudioHardware& hal) {
  deviceList = AggregateDeviceManager::getSubDeviceList(hal, id);
}

void AggregateDeviceInfo::updateTapList(audiohal::AudioHardware& hal) {
  tapList = AggregateDeviceManager::getTapList(hal, id);
}

void AggregateDeviceInfo::updateConfig(audiohal::AudioHardware& hal) {
  const auto config = AggregateDeviceManager::getDeviceConfig(hal, id);
  isPrivate = config.isPrivate;
  autoStart = config.autoStart;
  autoStop = config.autoStop;
}

nlohmann::json AggregateDeviceInfo::toDictionary() const {
  return nlohmann::json{{"id", static_cast<std::int64_t>(id)},
                        {"uid", uid},
                        {"name", name},
                        {"deviceList", deviceList},
                        {"tapList", tapList},
                        {"isPrivate", isPrivate},
                        {"autoStart", autoStart},
                        {"autoStop", autoStop}};
}

nlohmann::json toDictionaries(const std::vector<AggregateDeviceInfo>& devices) {
  auto list = nlohmann::json::array();
  for (const auto& device : devices) list.push_back(device.toDictionary());
  return list;
}

}  // namespace velmar
