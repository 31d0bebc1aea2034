// Device and aggregate-device commands of CommandProcessor.
#include <algorithm>
#include <set>

#include "aggregate/AggregateDeviceManager.h"
#include "audiohal/AudioDeviceCapabilityDetector.h"
#include "commands/CommandError.h"
#include "commands/CommandParameters.h"
#include "commands/CommandProcessor.h"
#include "platform/Platform.h"

namespace velmar {

using nlohmann::json;

namespace {

std::uint32_t requiredID(const json& parameters, const char* key) {
  auto value = parameters::uint32(parameters, key);
  if (!value) throw CommandError::missingParameter(key);
  return *value;
}

std::string requiredText(const json& parameters, const char* key) {
  auto value = parameters::string(parameters, key);
  if (!value) throw CommandError::missingParameter(key);
  return *value;
}

// The recommended rate: 48 kHz, 44.1 kHz, 16 kHz or 8 kHz when supported,
// else the lowest supported rate, else 48 kHz.
std::int64_t optimalSampleRate(const std::vector<double>& rates) {
  for (double preferred : {48000.0, 44100.0, 16000.0, 8000.0}) {
    if (std::find(rates.begin(), rates.end(), preferred) != rates.end()) {
      return static_cast<std::int64_t>(preferred);
    }
  }
  if (!rates.empty()) return static_cast<std::int64_t>(rates.front());
  return 48000;
}

}  // namespace

void CommandProcessor::requireCompositionMember(AudioObjectID aggregateID, const std::string& uid,
                                                bool isTap, bool removing) {
  // A UID that names nothing would be written into the aggregate device and
  // only fail later, at the start of a recording, without a reason. An
  // aggregate that is none fails as before, when the manager tries it.
  if (!aggregateDeviceManager_->isAggregateDevice(aggregateID)) return;
  if (isTap) {
    audioTapManager_->loadTapList();
    if (audioTapManager_->getTapByUID(uid)) return;
    throw CommandError::resourceNotFound("Tap with UID " + uid + " not found");
  }
  if (aggregateDeviceManager_->deviceExists(uid)) return;
  // A sub-device that went away can still be taken out.
  if (removing &&
      AggregateDeviceManager::getSubDeviceList(platform::Platform::shared().hal(), aggregateID)
          .contains(uid)) {
    return;
  }
  throw CommandError::resourceNotFound("Device with UID " + uid + " not found");
}

std::optional<audiohal::AudioDeviceCapabilities> CommandProcessor::firstAggregateCapabilities(
    const std::string& id) {
  auto device = aggregateDeviceManager_->firstAggregateDevice();
  if (!device) {
    eventEmitter_.sendResponse(id, false, std::nullopt, "No aggregate device found");
    return std::nullopt;
  }
  // The detector yields a record for every ID, so this cannot fail further.
  return audiohal::AudioDeviceCapabilityDetector::getCapabilities(
      platform::Platform::shared().hal(), device->id);
}

void CommandProcessor::handleGetAudioDevices(const std::string& id, const json&) {
  const auto devices = aggregateDeviceManager_->getAllDevices();
  auto list = json::array();
  for (const auto& device : devices) list.push_back(device.toDictionary());
  eventEmitter_.logToStderr("Sending getAudioDevices response with " +
                            std::to_string(devices.size()) + " devices");
  eventEmitter_.sendResponse(id, true, json{{"devices", list}, {"count", devices.size()}});
}

void CommandProcessor::handleCheckAggregateDevice(const std::string& id, const json&) {
  const bool found = aggregateDeviceManager_->checkAggregateDevice();
  json data = {{"hasAggregateDevices", found}};
  if (found) {
    // From the stored list, which may lag behind the HAL.
    const auto devices = aggregateDeviceManager_->getAllAggregateDevices();
    auto ids = json::array();
    for (const auto& device : devices) ids.push_back(device.id);
    data["count"] = devices.size();
    data["deviceIDs"] = ids;
  }
  eventEmitter_.logToStderr(std::string("Sending checkAggregateDevice response: "
                                        "hasAggregateDevices=") +
                            (found ? "true" : "false"));
  eventEmitter_.sendResponse(id, true, data);
}

void CommandProcessor::handleGetAggregateDevices(const std::string& id, const json&) {
  const auto devices = aggregateDeviceManager_->getAllAggregateDevices();
  eventEmitter_.logToStderr("Sending getAggregateDevices response with " +
                            std::to_string(devices.size()) + " devices");
  eventEmitter_.sendResponse(id, true,
                             json{{"devices", toDictionaries(devices)}, {"count", devices.size()}});
}

void CommandProcessor::handleCreateAggregateDevice(const std::string& id, const json& parameters) {
  std::vector<std::string> tapUIDs;
  if (parameters.contains("tapUIDs")) {
    const json& listed = parameters["tapUIDs"];
    if (!listed.is_array()) {
      throw CommandError::invalidParameter("tapUIDs", "must be an array of tap UIDs");
    }
    audioTapManager_->loadTapList();
    for (const auto& uid : listed) {
      if (!uid.is_string()) {
        throw CommandError::invalidParameter("tapUIDs", "must be an array of tap UIDs");
      }
      // As when a tap is added later: a UID that names no tap is refused
      // now, not left to fail the recording.
      if (!audioTapManager_->getTapByUID(uid.get<std::string>())) {
        throw CommandError::resourceNotFound("Tap with UID " + uid.get<std::string>() +
                                             " not found");
      }
      tapUIDs.push_back(uid.get<std::string>());
    }
  }
  const auto deviceID = aggregateDeviceManager_->createAggregateDevice(tapUIDs);
  if (deviceID == 0) throw CommandError::executionError("Failed to create aggregate device");
  eventEmitter_.sendResponse(
      id, true, json{{"deviceID", deviceID}, {"message", "Aggregate device created successfully"}});
}

void CommandProcessor::handleConfigureAggregateDevice(const std::string& id,
                                                      const json& parameters) {
  const auto deviceID = requiredID(parameters, "deviceID");
  const bool isPrivate = parameters::flag(parameters, "isPrivate").value_or(true);
  const bool autoStart = parameters::flag(parameters, "autoStart").value_or(true);
  if (!aggregateDeviceManager_->configureAggregateDevice(deviceID, isPrivate, autoStart)) {
    throw CommandError::executionError("Failed to configure aggregate device");
  }
  eventEmitter_.sendResponse(
      id, true,
      json{{"deviceID", deviceID}, {"message", "Aggregate device configured successfully"}});
}

void CommandProcessor::handleAddDeviceToAggregate(const std::string& id, const json& parameters) {
  const auto aggregateID = requiredID(parameters, "aggregateID");
  const auto deviceUID = requiredText(parameters, "deviceUID");
  requireCompositionMember(aggregateID, deviceUID, false, false);
  if (!aggregateDeviceManager_->addDeviceToAggregate(aggregateID, deviceUID)) {
    throw CommandError::executionError("Failed to add device to aggregate device");
  }
  eventEmitter_.sendResponse(id, true,
                             json{{"aggregateID", aggregateID},
                                  {"deviceUID", deviceUID},
                                  {"message", "Device added to aggregate device successfully"}});
}

void CommandProcessor::handleAddTapToAggregate(const std::string& id, const json& parameters) {
  const auto aggregateID = requiredID(parameters, "aggregateID");
  const auto tapUID = requiredText(parameters, "tapUID");
  requireCompositionMember(aggregateID, tapUID, true, false);
  if (!aggregateDeviceManager_->addTapToAggregate(aggregateID, tapUID)) {
    throw CommandError::executionError("Failed to add tap to aggregate device");
  }
  eventEmitter_.sendResponse(id, true,
                             json{{"aggregateID", aggregateID},
                                  {"tapUID", tapUID},
                                  {"message", "Tap added to aggregate device successfully"}});
}

void CommandProcessor::handleRemoveDeviceFromAggregate(const std::string& id,
                                                       const json& parameters) {
  const auto aggregateID = requiredID(parameters, "aggregateID");
  const auto deviceUID = requiredText(parameters, "deviceUID");
  requireCompositionMember(aggregateID, deviceUID, false, true);
  if (!aggregateDeviceManager_->removeDeviceFromAggregate(aggregateID, deviceUID)) {
    throw CommandError::executionError("Failed to remove device from aggregate device");
  }
  eventEmitter_.sendResponse(
      id, true,
      json{{"aggregateID", aggregateID},
           {"deviceUID", deviceUID},
           {"message", "Device removed from aggregate device successfully"}});
}

void CommandProcessor::handleRemoveTapFromAggregate(const std::string& id, const json& parameters) {
  const auto aggregateID = requiredID(parameters, "aggregateID");
  const auto tapUID = requiredText(parameters, "tapUID");
  if (!aggregateDeviceManager_->removeTapFromAggregate(aggregateID, tapUID)) {
    throw CommandError::executionError("Failed to remove tap from aggregate device");
  }
  eventEmitter_.sendResponse(id, true,
                             json{{"aggregateID", aggregateID},
                                  {"tapUID", tapUID},
                                  {"message", "Tap removed from aggregate device successfully"}});
}

void CommandProcessor::handleDestroyAggregateDevice(const std::string& id, const json& parameters) {
  const auto deviceID = requiredID(parameters, "deviceID");
  if (!aggregateDeviceManager_->destroyAggregateDevice(deviceID)) {
    throw CommandError::executionError("Failed to destroy aggregate device");
  }
  eventEmitter_.sendResponse(
      id, true,
      json{{"deviceID", deviceID}, {"message", "Aggregate device destroyed successfully"}});
}

void CommandProcessor::handleDeviceSwitch(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Handling device switch command");
  const auto devices = aggregateDeviceManager_->getAllDevices();
  const auto aggregates = aggregateDeviceManager_->getAllAggregateDevices();
  for (const auto& aggregate : aggregates) {
    const std::vector<std::string> current(aggregate.deviceList.begin(),
                                           aggregate.deviceList.end());
    std::vector<std::string> present;
    for (const auto& device : devices) {
      if (aggregate.deviceList.count(device.uid) != 0) present.push_back(device.uid);
    }
    if (present.size() == current.size()) continue;
    eventEmitter_.logToStderr("Aggregate device " + std::to_string(aggregate.id) +
                              " has different device count. Re-adding devices.");
    // Each step is the manager's full operation: the clock is reselected on
    // every addition and the list is reloaded and announced after each.
    for (const auto& uid : current) {
      aggregateDeviceManager_->removeDeviceFromAggregate(aggregate.id, uid);
    }
    for (const auto& uid : present)
      aggregateDeviceManager_->addDeviceToAggregate(aggregate.id, uid);
  }
  // Every tap the service made gets its configuration written back, so the
  // HAL re-resolves it against the devices now present, re-pointed by its
  // intent at the processes as the registry stands; another program's taps
  // are not ours to write. Answers do not matter.
  std::set<AudioObjectID> processes;
  for (const auto& process : audioProcessManager_->getAllProcesses()) processes.insert(process.id);
  for (const auto& tap : audioTapManager_->getAllTaps()) {
    audioTapManager_->reapplyTap(tap.id, processes);
  }
  const std::string message = "Device switch handled. Updated aggregate devices and taps.";
  eventEmitter_.logToStderr(message);
  eventEmitter_.sendResponse(id, true, json{{"message", message}});
}

void CommandProcessor::handleGetDeviceCapabilities(const std::string& id, const json&) {
  auto capabilities = firstAggregateCapabilities(id);
  if (!capabilities) return;
  eventEmitter_.sendResponse(
      id, true,
      json{{"deviceID", capabilities->deviceID},
           {"name", capabilities->name},
           {"uid", capabilities->uid},
           {"supportedSampleRates", capabilities->supportedSampleRates},
           {"transportType", audiohal::rawValue(capabilities->transportType)},
           {"isBluetooth", capabilities->isBluetooth},
           {"isBuiltIn", capabilities->isBuiltIn},
           {"canBeClockSource", capabilities->canBeClockSource}});
}

void CommandProcessor::handleGetOptimalAudioConfig(const std::string& id, const json&) {
  auto capabilities = firstAggregateCapabilities(id);
  if (!capabilities) return;
  const auto rate = optimalSampleRate(capabilities->supportedSampleRates);
  const bool mono = capabilities->isBluetooth;
  eventEmitter_.sendResponse(
      id, true,
      json{{"sampleRate", rate},
           {"channels", mono ? 1 : 2},
           {"format", "linear16"},
           {"deviceName", capabilities->name},
           {"isBluetooth", capabilities->isBluetooth},
           {"supportedSampleRates", capabilities->supportedSampleRates},
           {"reasoning",
            {{"sampleRate", "Selected " + std::to_string(rate) + "Hz based on device capabilities"},
             {"channels",
              mono ? "Using mono for Bluetooth device" : "Using stereo for optimal quality"}}}});
}

}  // namespace velmar
