#include "recording/SourceActivity.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace velmar::source_activity {

using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertySelector;
using audiohal::CATapDescription;
using audiohal::globalAddress;
using audiohal::kAudioDevicePropertyDeviceIsAlive;
using audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyProcessObjectList;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioHardwarePropertyTranslateUIDToDevice;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioObjectUnknown;
using audiohal::kAudioProcessPropertyIsRunning;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyUID;
using audiohal::PropertyValue;
using audiohal::UInt32;

namespace {

std::vector<AudioObjectID> idList(AudioHardware& hal, AudioObjectID object,
                                  AudioObjectPropertySelector selector) {
  std::vector<AudioObjectID> ids;
  PropertyValue value;
  UInt32 size = 0xFFFFFFFF;
  if (hal.getPropertyData(object, globalAddress(selector), {}, size, value) ==
      kAudioHardwareNoError) {
    if (auto* list = std::get_if<std::vector<AudioObjectID>>(&value)) ids = std::move(*list);
  }
  return ids;
}

std::optional<CATapDescription> tapDescription(AudioHardware& hal, const std::string& uid) {
  for (AudioObjectID tap : idList(hal, kAudioObjectSystemObject, kAudioHardwarePropertyTapList)) {
    std::string tapUID;
    hal.getProperty(tap, globalAddress(kAudioTapPropertyUID), tapUID);
    if (tapUID != uid) continue;
    CATapDescription description;
    if (hal.getProperty(tap, globalAddress(kAudioTapPropertyDescription), description) !=
        kAudioHardwareNoError) {
      return std::nullopt;
    }
    return description;
  }
  return std::nullopt;
}

}  // namespace

bool tapHasRunningProcess(AudioHardware& hal, const std::string& tapUID) {
  const auto description = tapDescription(hal, tapUID);
  if (!description) return false;
  const auto& listed = description->processes;
  for (AudioObjectID process :
       idList(hal, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList)) {
    const bool isListed = std::find(listed.begin(), listed.end(), process) != listed.end();
    if (isListed == description->isExclusive) continue;
    UInt32 running = 0;
    hal.getProperty(process, globalAddress(kAudioProcessPropertyIsRunning), running);
    if (running != 0) return true;
  }
  return false;
}

bool deviceIsRunning(AudioHardware& hal, const std::string& deviceUID) {
  AudioObjectID device = kAudioObjectUnknown;
  if (hal.getProperty(kAudioObjectSystemObject,
                      globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), device,
                      PropertyValue{deviceUID}) != kAudioHardwareNoError ||
      device == kAudioObjectUnknown) {
    return false;
  }
  UInt32 alive = 0;
  UInt32 running = 0;
  hal.getProperty(device, globalAddress(kAudioDevicePropertyDeviceIsAlive), alive);
  hal.getProperty(device, globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere), running);
  return alive != 0 && running != 0;
}

}  // namespace velmar::source_activity
