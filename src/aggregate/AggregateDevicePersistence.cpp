// The store of the aggregate devices, the current device and the protected
// recording device.
#include <algorithm>
#include <chrono>
#include <limits>

#include "aggregate/AggregateDeviceManager.h"

namespace velmar {

using audiohal::AudioObjectID;
using nlohmann::json;

namespace {

// A saved ID names a device only within 1 ... 4294967295.
std::optional<AudioObjectID> savedObjectID(const json& value) {
  if (value.is_number_unsigned()) {
    const auto id = value.get<std::uint64_t>();
    if (id >= 1 && id <= std::numeric_limits<AudioObjectID>::max()) {
      return static_cast<AudioObjectID>(id);
    }
    return std::nullopt;
  }
  if (value.is_number_integer()) {
    const auto id = value.get<std::int64_t>();
    if (id >= 1 && id <= static_cast<std::int64_t>(std::numeric_limits<AudioObjectID>::max())) {
      return static_cast<AudioObjectID>(id);
    }
  }
  return std::nullopt;
}

bool isPositive(const json& value) {
  return value.is_number_unsigned() ? value.get<std::uint64_t>() > 0
                                    : value.get<std::int64_t>() > 0;
}

}  // namespace

void AggregateDeviceManager::saveAggregateDevices() {
  AggregateDeviceStore::WriteResult result;
  std::size_t count = 0;
  {
    std::lock_guard save(saveMutex_);
    std::vector<AudioObjectID> ids;
    AudioObjectID current = 0;
    {
      std::lock_guard lock(mutex_);
      for (const auto& device : aggregateDevices_) ids.push_back(device.id);
      current = currentAggregateDeviceID_;
    }
    count = ids.size();
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    result = store_.write(ids, current, now);
  }
  switch (result.outcome) {
    case AggregateDeviceStore::Outcome::kDone:
      eventEmitter_.logToStderr("Saved " + std::to_string(count) +
                                " aggregate device IDs to storage");
      break;
    case AggregateDeviceStore::Outcome::kRefused:
      eventEmitter_.logToStderr("⚠️ Not saving aggregate devices: " + result.error +
                                "; keeping them in memory only");
      break;
    default:
      eventEmitter_.logToStderr("Error saving aggregate devices: " + result.error);
      break;
  }
}

void AggregateDeviceManager::loadSavedAggregateDevices() {
  const auto result = store_.read();
  switch (result.outcome) {
    case AggregateDeviceStore::Outcome::kMissing:
      eventEmitter_.logToStderr("No saved aggregate device information found");
      return;
    case AggregateDeviceStore::Outcome::kUnreadable:
      eventEmitter_.logToStderr("Error loading saved aggregate devices: " + result.error);
      return;
    case AggregateDeviceStore::Outcome::kRefused:
      eventEmitter_.logToStderr("⚠️ Not loading saved aggregate devices: " + result.error +
                                "; keeping aggregate devices in memory only");
      return;
    case AggregateDeviceStore::Outcome::kMalformed:
      return;
    case AggregateDeviceStore::Outcome::kDone:
      break;
  }
  const auto& saved = result.contents;
  eventEmitter_.logToStderr(
      "Found saved aggregate device data: " + std::to_string(saved.deviceIDs.size()) +
      " devices, current: " + saved.currentDeviceID.dump());

  if (isPositive(saved.currentDeviceID)) {
    const auto current = savedObjectID(saved.currentDeviceID);
    if (!current) {
      eventEmitter_.logToStderr("Ignoring saved current device ID " + saved.currentDeviceID.dump() +
                                ": not a device ID");
    } else if (isAggregateDevice(*current)) {
      {
        std::lock_guard lock(mutex_);
        currentAggregateDeviceID_ = *current;
      }
      eventEmitter_.logToStderr("Restored current aggregate device ID: " +
                                std::to_string(*current));
    } else {
      eventEmitter_.logToStderr("Saved current device ID " + std::to_string(*current) +
                                " no longer exists");
    }
  }

  for (const auto& value : saved.deviceIDs) {
    const auto id = savedObjectID(value);
    if (!id) {
      eventEmitter_.logToStderr("Ignoring saved aggregate device ID " + value.dump() +
                                ": not a device ID");
      continue;
    }
    if (!isAggregateDevice(*id)) continue;
    eventEmitter_.logToStderr("Found saved aggregate device: " + std::to_string(*id));
    auto known = storedAggregateIDs();
    if (known.count(*id) != 0) continue;
    auto info = AggregateDeviceInfo::fromDevice(hal_, *id);
    std::lock_guard lock(mutex_);
    if (std::none_of(aggregateDevices_.begin(), aggregateDevices_.end(),
                     [&](const auto& device) { return device.id == *id; })) {
      aggregateDevices_.push_back(std::move(info));
    }
  }

  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    std::stable_sort(aggregateDevices_.begin(), aggregateDevices_.end(),
                     [](const auto& a, const auto& b) { return a.name < b.name; });
    count = aggregateDevices_.size();
  }
  eventEmitter_.logToStderr("Successfully loaded " + std::to_string(count) +
                            " saved aggregate devices");
}

void AggregateDeviceManager::setActiveRecordingDevice(AudioObjectID deviceID) {
  eventEmitter_.logToStderr("Setting protected recording device ID: " + std::to_string(deviceID));
  std::lock_guard lock(mutex_);
  protectedDeviceID_ = deviceID;
}

void AggregateDeviceManager::clearActiveRecordingDevice() {
  AudioObjectID previous = 0;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(protectedDeviceID_, 0);
  }
  eventEmitter_.logToStderr("Clearing protected recording device ID: " + std::to_string(previous));
}

bool AggregateDeviceManager::isProtectedDevice(AudioObjectID deviceID) const {
  std::lock_guard lock(mutex_);
  return protectedDeviceID_ != 0 && protectedDeviceID_ == deviceID;
}

void AggregateDeviceManager::setCurrentDevice(AudioObjectID deviceID) {
  eventEmitter_.logToStderr("Setting current aggregate device to: " + std::to_string(deviceID));
  {
    std::lock_guard lock(mutex_);
    currentAggregateDeviceID_ = deviceID;
  }
  emitAggregateDeviceList();
}

AudioObjectID AggregateDeviceManager::currentAggregateDeviceID() const {
  std::lock_guard lock(mutex_);
  return currentAggregateDeviceID_;
}

AudioObjectID AggregateDeviceManager::protectedDeviceID() const {
  std::lock_guard lock(mutex_);
  return protectedDeviceID_;
}

}  // namespace velmar
