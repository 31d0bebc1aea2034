// Clock sources of the aggregate devices: checked and repaired at every
// aggregate-list load, chosen when a device is added, and re-chosen when a
// Bluetooth device arrives or the default input or output changes.
#include "aggregate/AggregateDeviceManager.h"
#include "runtime/Queues.h"

namespace velmar {

using audiohal::AudioDeviceInfo;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertySelector;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDefaultInputDevice;
using audiohal::kAudioHardwarePropertyDefaultOutputDevice;
using audiohal::kAudioObjectSystemObject;
using audiohal::makeListenerBlock;
using audiohal::OSStatus;
using audiohal::UInt32;

void AggregateDeviceManager::validateClockSources(const std::vector<AggregateDeviceInfo>& devices) {
  eventEmitter_.logToStderr("🔍 Validating clock sources for " + std::to_string(devices.size()) +
                            " aggregate devices");
  for (const auto& device : devices) {
    const auto validation = validateClockSource(device.id);
    if (validation.isValid) {
      eventEmitter_.logToStderr(
          "✅ Aggregate device '" + device.name +
          "' has valid clock source: " + validation.currentClockUID.value_or("unknown"));
      continue;
    }
    eventEmitter_.logToStderr("⚠️ Aggregate device '" + device.name +
                              "' has invalid clock source");
    // The suggestion is the built-in microphone, when there is one.
    if (!validation.suggestedClockUID) continue;
    const std::string& suggested = *validation.suggestedClockUID;
    eventEmitter_.logToStderr("🔧 Attempting to fix clock source for '" + device.name + "'");
    const OSStatus status = hal_.setPropertyData(
        device.id, globalAddress(kAudioAggregateDevicePropertyClockDevice), suggested);
    if (status != kAudioHardwareNoError) {
      eventEmitter_.logToStderr("❌ Failed to fix clock source for '" + device.name + "': error " +
                                std::to_string(status));
    } else {
      eventEmitter_.logToStderr("✅ Fixed clock source for '" + device.name + "' - now using '" +
                                suggested + "'");
    }
  }
}

void AggregateDeviceManager::selectClockSource(AudioObjectID aggregateID,
                                               const std::vector<std::string>& deviceUIDs) {
  eventEmitter_.logToStderr("🔍 Selecting best clock source for aggregate device");
  std::vector<AudioDeviceInfo> devices;
  for (const auto& uid : deviceUIDs) {
    if (auto id = getDeviceIDFromUID(uid)) devices.push_back(deviceInfo(*id));
  }
  const auto best = bestClockSource(devices);
  if (!best) {
    eventEmitter_.logToStderr(
        "⚠️ No suitable clock source found among devices - aggregate device may not function "
        "properly");
    return;
  }
  eventEmitter_.logToStderr("📍 Setting '" + *best + "' as clock source for aggregate device");
  const OSStatus status = hal_.setPropertyData(
      aggregateID, globalAddress(kAudioAggregateDevicePropertyClockDevice), *best);
  if (status != kAudioHardwareNoError) {
    eventEmitter_.logToStderr("❌ Failed to set clock source: " + std::to_string(status));
  } else {
    eventEmitter_.logToStderr("✅ Set clock source successfully");
  }
}

void AggregateDeviceManager::setClockSourceForAggregateDevice(AudioObjectID deviceID,
                                                              const std::string& clockSourceUID) {
  const OSStatus status = hal_.setPropertyData(
      deviceID, globalAddress(kAudioAggregateDevicePropertyClockDevice), clockSourceUID);
  if (status != kAudioHardwareNoError) {
    eventEmitter_.logToStderr("❌ Failed to update clock source for aggregate device " +
                              std::to_string(deviceID) + ": error " + std::to_string(status));
  } else {
    eventEmitter_.logToStderr("✅ Updated clock source for aggregate device " +
                              std::to_string(deviceID) + " to '" + clockSourceUID + "'");
  }
}

void AggregateDeviceManager::updateAggregateDeviceClockSources() {
  eventEmitter_.logToStderr("🔄 Updating aggregate device clock sources for device switch");
  for (const auto& device : getAllAggregateDevices()) {
    const auto validation = validateClockSource(device.id);
    if (validation.isValid) continue;
    eventEmitter_.logToStderr("⚠️ Aggregate device '" + device.name +
                              "' needs clock source update");
    if (validation.suggestedClockUID) {
      setClockSourceForAggregateDevice(device.id, *validation.suggestedClockUID);
    } else if (auto best = bestClockSource(getAllDevices())) {
      // Any device of the machine, not only the aggregate's own.
      setClockSourceForAggregateDevice(device.id, *best);
    }
  }
}

void AggregateDeviceManager::handleDeviceSwitching(const std::set<AudioObjectID>& addedDevices,
                                                   const std::set<AudioObjectID>& removedDevices) {
  // A vanished device reads as unknown transport by now, so in practice only
  // arrivals count; departures are caught by the default-device listeners.
  auto hasBluetooth = [this](const std::set<AudioObjectID>& ids) {
    for (AudioObjectID id : ids) {
      if (capabilities(id).isBluetooth) return true;
    }
    return false;
  };
  if (!hasBluetooth(addedDevices) && !hasBluetooth(removedDevices)) return;
  eventEmitter_.logToStderr("🔄 Detected potential device switch (Bluetooth device change)");
  updateAggregateDeviceClockSources();
}

void AggregateDeviceManager::startListeningForDefaultDeviceChanges() {
  {
    std::lock_guard lock(mutex_);
    // Installed once and kept for the life of the process.
    if (defaultDeviceListenersInstalled_) return;
    defaultDeviceListenersInstalled_ = true;
  }
  for (AudioObjectPropertySelector selector :
       {kAudioHardwarePropertyDefaultOutputDevice, kAudioHardwarePropertyDefaultInputDevice}) {
    auto block =
        makeListenerBlock([weak = weak_from_this()](UInt32, const AudioObjectPropertyAddress*) {
          asio::post(runtime::mainQueue(), [weak] {
            if (auto self = weak.lock()) self->handleDefaultDeviceChange();
          });
        });
    hal_.addPropertyListenerBlock(kAudioObjectSystemObject, globalAddress(selector),
                                  runtime::mainQueue(), block);
  }
  eventEmitter_.logToStderr("Started listening for default device changes");
}

void AggregateDeviceManager::handleDefaultDeviceChange() {
  eventEmitter_.logToStderr("🔄 Default device changed - updating aggregate device configurations");
  if (auto output = activeOutputDevice()) {
    eventEmitter_.logToStderr("Active output device: " + output->name + " (" + output->uid + ")");
  }
  if (auto input = activeInputDevice()) {
    eventEmitter_.logToStderr("Active input device: " + input->name + " (" + input->uid + ")");
  }
  updateAggregateDeviceClockSources();
  emitDeviceList();
  emitAggregateDeviceList();
}

}  // namespace velmar
