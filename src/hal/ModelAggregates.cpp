#include "hal/ModelAudioHardware.h"

#include <algorithm>
#include <map>

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyMainSubDevice;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioDeviceTransportTypeAggregate;
using audiohal::kAudioHardwareBadDeviceError;
using audiohal::kAudioHardwareBadPropertySizeError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwareUnknownPropertyError;
using audiohal::kAudioHardwareUnsupportedOperationError;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

namespace {

// "subdevices" / "taps" entries: UID strings or dictionaries with a "uid".
std::optional<std::vector<std::string>> parseUIDList(const nlohmann::json& list) {
  if (!list.is_array()) return std::nullopt;
  std::vector<std::string> uids;
  for (const auto& entry : list) {
    if (entry.is_string()) {
      uids.push_back(entry.get<std::string>());
    } else if (entry.is_object() && entry.contains("uid") && entry["uid"].is_string()) {
      uids.push_back(entry["uid"].get<std::string>());
    } else {
      return std::nullopt;
    }
  }
  return uids;
}

nlohmann::json uidDictionaries(const std::vector<std::string>& uids) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& uid : uids) list.push_back({{"uid", uid}});
  return list;
}

}  // namespace

// An aggregate's inputs are each sub-device's input streams, in sub-device
// order, then one stream per tap; its outputs are the sub-devices' outputs.
// Streams keep their IDs while their source stays.
void ModelAudioHardware::rebuildAggregateStreamsLocked() {
  for (auto& [id, device] : devices_) {
    if (!device.aggregate) continue;
    std::map<std::string, AudioObjectID> existing;
    for (AudioObjectID streamID : device.inputStreams) existing[streams_[streamID].key] = streamID;
    for (AudioObjectID streamID : device.outputStreams) existing[streams_[streamID].key] = streamID;
    using Source = StreamRoute::Source;

    std::vector<Stream> wantedIn;
    std::vector<Stream> wantedOut;
    for (const std::string& uid : device.aggregate->subDevices) {
      const Device* sub = deviceByUIDLocked(uid);
      if (sub == nullptr || sub->aggregate) continue;
      for (size_t i = 0; i < sub->config.inputStreams.size(); ++i) {
        wantedIn.push_back({0, id, true, sub->config.inputStreams[i], Source::kDevice, uid,
                            "in:dev:" + uid + ":" + std::to_string(i)});
      }
      for (size_t i = 0; i < sub->config.outputStreams.size(); ++i) {
        wantedOut.push_back({0, id, false, sub->config.outputStreams[i], Source::kDevice, uid,
                             "out:dev:" + uid + ":" + std::to_string(i)});
      }
    }
    for (const std::string& uid : device.aggregate->taps) {
      const Tap* tap = tapByUIDLocked(uid);
      if (tap == nullptr) continue;
      wantedIn.push_back(
          {0, id, true, tapChannelsLocked(*tap), Source::kTap, uid, "in:tap:" + uid});
    }

    auto place = [&](std::vector<Stream>& wanted, std::vector<AudioObjectID>& ids) {
      ids.clear();
      for (Stream& stream : wanted) {
        auto found = existing.find(stream.key);
        if (found != existing.end()) {
          stream.id = found->second;
          existing.erase(found);
        } else {
          stream.id = nextIDLocked();
        }
        streams_[stream.id] = stream;
        ids.push_back(stream.id);
      }
    };
    place(wantedIn, device.inputStreams);
    place(wantedOut, device.outputStreams);
    for (const auto& [key, streamID] : existing) streams_.erase(streamID);
  }
}

OSStatus ModelAudioHardware::readAggregateLocked(const Device& device, UInt32 selector,
                                                 PropertyValue& out) const {
  const auto& config = device.config;
  const Aggregate& aggregate = *device.aggregate;
  switch (selector) {
    case kAudioAggregateDevicePropertyClockDevice:
      if (aggregate.clockDevice) {
        out = *aggregate.clockDevice;
      } else {
        out = std::monostate{};
      }
      return kAudioHardwareNoError;
    case kAudioAggregateDevicePropertyMainSubDevice:
      if (aggregate.mainSubDevice.empty()) {
        out = std::monostate{};
      } else {
        out = aggregate.mainSubDevice;
      }
      return kAudioHardwareNoError;
    case kAudioAggregateDevicePropertyComposition: {
      nlohmann::json composition{{"name", config.name},
                                 {"uid", config.uid},
                                 {"subdevices", uidDictionaries(aggregate.subDevices)},
                                 {"private", aggregate.isPrivate},
                                 {"taps", uidDictionaries(aggregate.taps)},
                                 {"tapautostart", aggregate.tapAutoStart},
                                 {"master", aggregate.mainSubDevice}};
      if (aggregate.clockDevice) composition["clock"] = *aggregate.clockDevice;
      out = composition;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyFullSubDeviceList:
      out = aggregate.subDevices;
      return kAudioHardwareNoError;
    case kAudioAggregateDevicePropertyTapList:
      out = aggregate.taps;
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus ModelAudioHardware::writeAggregateLocked(Device& device, UInt32 selector,
                                                  const PropertyValue& data) {
  Aggregate& aggregate = *device.aggregate;
  switch (selector) {
    case kAudioAggregateDevicePropertyClockDevice: {
      const auto* uid = std::get_if<std::string>(&data);
      if (uid == nullptr) return kAudioHardwareBadPropertySizeError;
      // Only a live device (or nothing) can clock an aggregate.
      if (!uid->empty() && deviceByUIDLocked(*uid) == nullptr) {
        return kAudioHardwareIllegalOperationError;
      }
      aggregate.clockDevice = *uid;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyMainSubDevice: {
      const auto* uid = std::get_if<std::string>(&data);
      if (uid == nullptr) return kAudioHardwareBadPropertySizeError;
      aggregate.mainSubDevice = *uid;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyFullSubDeviceList:
    case kAudioAggregateDevicePropertyTapList: {
      const auto* uids = std::get_if<std::vector<std::string>>(&data);
      if (uids == nullptr) return kAudioHardwareBadPropertySizeError;
      (selector == kAudioAggregateDevicePropertyTapList ? aggregate.taps : aggregate.subDevices) =
          *uids;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyComposition: {
      const auto* composition = std::get_if<nlohmann::json>(&data);
      if (composition == nullptr || !composition->is_object()) {
        return kAudioHardwareBadPropertySizeError;
      }
      Aggregate updated = aggregate;
      std::string name = device.config.name;
      try {
        if (composition->contains("name")) name = composition->at("name").get<std::string>();
        if (composition->contains("private"))
          updated.isPrivate = composition->at("private").get<bool>();
        if (composition->contains("tapautostart")) {
          updated.tapAutoStart = composition->at("tapautostart").get<bool>();
        }
        if (composition->contains("master")) {
          updated.mainSubDevice = composition->at("master").get<std::string>();
        }
        if (composition->contains("clock")) {
          updated.clockDevice = composition->at("clock").get<std::string>();
        }
      } catch (const nlohmann::json::exception&) {
        return kAudioHardwareIllegalOperationError;
      }
      if (composition->contains("subdevices")) {
        auto uids = parseUIDList(composition->at("subdevices"));
        if (!uids) return kAudioHardwareIllegalOperationError;
        updated.subDevices = *uids;
      }
      if (composition->contains("taps")) {
        auto uids = parseUIDList(composition->at("taps"));
        if (!uids) return kAudioHardwareIllegalOperationError;
        updated.taps = *uids;
      }
      aggregate = updated;
      device.config.name = name;
      return kAudioHardwareNoError;
    }
    default:
      return kAudioHardwareUnsupportedOperationError;
  }
}

OSStatus ModelAudioHardware::createAggregateDevice(const nlohmann::json& description,
                                                   AudioObjectID& outDeviceID) {
  if (!description.is_object()) return kAudioHardwareIllegalOperationError;
  Aggregate aggregate;
  DeviceConfig config;
  try {
    config.uid = description.at("uid").get<std::string>();
    config.name = description.value("name", std::string());
    aggregate.isPrivate = description.value("private", false);
    aggregate.tapAutoStart = description.value("tapautostart", false);
    aggregate.mainSubDevice = description.value("master", std::string());
    if (description.contains("clock"))
      aggregate.clockDevice = description.at("clock").get<std::string>();
  } catch (const nlohmann::json::exception&) {
    return kAudioHardwareIllegalOperationError;
  }
  if (config.uid.empty()) return kAudioHardwareIllegalOperationError;
  for (const char* key : {"subdevices", "taps"}) {
    if (!description.contains(key)) continue;
    auto uids = parseUIDList(description.at(key));
    if (!uids) return kAudioHardwareIllegalOperationError;
    (std::string(key) == "taps" ? aggregate.taps : aggregate.subDevices) = *uids;
  }
  config.transport = kAudioDeviceTransportTypeAggregate;
  config.clockSource = ClockSourceProperty::kAbsent;
  return mutate([&]() -> OSStatus {
    if (deviceByUIDLocked(config.uid) != nullptr) return kAudioHardwareIllegalOperationError;
    Device device;
    device.id = nextIDLocked();
    device.config = config;
    device.aggregate = aggregate;
    devices_[device.id] = device;
    deviceOrder_.push_back(device.id);
    outDeviceID = device.id;
    return kAudioHardwareNoError;
  });
}

AudioObjectID ModelAudioHardware::addAggregateDevice(const AggregateConfig& config) {
  nlohmann::json description = {
      {"uid", config.uid},   {"name", config.name},         {"subdevices", config.subDevices},
      {"taps", config.taps}, {"private", config.isPrivate}, {"master", config.mainSubDevice}};
  if (config.clockDevice) description["clock"] = *config.clockDevice;
  AudioObjectID id = 0;
  return createAggregateDevice(description, id) == kAudioHardwareNoError ? id : 0;
}

OSStatus ModelAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  OSStatus status = mutate([&]() -> OSStatus {
    Device* device = deviceLocked(deviceID);
    if (device == nullptr || !device->aggregate) return kAudioHardwareBadDeviceError;
    eraseDeviceLocked(deviceID);
    return kAudioHardwareNoError;
  });
  waitForIOCycle();
  return status;
}

}  // namespace velmar::hal
