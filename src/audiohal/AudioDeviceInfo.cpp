#include "audiohal/AudioDeviceInfo.h"

#include <cstdint>

#include "audiohal/AudioDeviceIdentity.h"

namespace velmar::audiohal {

AudioDeviceInfo AudioDeviceInfo::fromDevice(AudioHardware& hal, AudioObjectID id) {
  AudioDeviceInfo info;
  info.id = id;
  info.uid = AudioDeviceIdentity::getDeviceUID(hal, id);
  info.name = AudioDeviceIdentity::getDeviceName(hal, id);
  info.hasInputChannels = AudioDeviceIdentity::checkHasInputChannels(hal, id);
  return info;
}

nlohmann::json AudioDeviceInfo::toDictionary() const {
  return nlohmann::json{{"id", static_cast<std::int64_t>(id)},
                        {"uid", uid},
                        {"name", name},
                        {"hasInputChannels", hasInputChannels}};
}

}  // namespace velmar::audiohal
