#include "aggregate/AggregateDeviceManager.h"

#include <algorithm>
#include <chrono>

#include "runtime/Queues.h"
#include "runtime/Uuid.h"

namespace velmar {

using audiohal::AudioClassID;
using audiohal::AudioDeviceCapabilities;
using audiohal::AudioDeviceCapabilityDetector;
using audiohal::AudioDeviceInfo;
using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertyListenerBlock;
using audiohal::AudioObjectPropertySelector;
using audiohal::ClockSourceValidation;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDeviceClassID;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDevices;
using audiohal::kAudioHardwarePropertyTranslateUIDToDevice;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioObjectUnknown;
using audiohal::makeListenerBlock;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;
using nlohmann::json;

namespace {

constexpr const char* kNamePrefix = "Orvina Aggregate Device ";
constexpr const char* kUIDPrefix = "com.velmar.audio.aggregatedevice.";

std::int64_t nowWholeSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

template <typename Record>
void sortByName(std::vector<Record>& records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.name < b.name; });
}

json deviceDictionaries(const std::vector<AudioDeviceInfo>& devices) {
  auto list = json::array();
  for (const auto& device : devices) list.push_back(device.toDictionary());
  return list;
}

}  // namespace

AggregateDeviceManager::AggregateDeviceManager(AudioHardware& hal, std::string storePath)
    : hal_(hal),
      store_(std::move(storePath)),
      deviceListAddress_(globalAddress(kAudioHardwarePropertyDevices)) {}

std::shared_ptr<AggregateDeviceManager> AggregateDeviceManager::create(AudioHardware& hal,
                                                                       std::string storePath) {
  std::shared_ptr<AggregateDeviceManager> manager(
      new AggregateDeviceManager(hal, std::move(storePath)));
  manager->loadDeviceList();
  manager->loadAggregateDeviceList();
  manager->loadSavedAggregateDevices();
  return manager;
}

AggregateDeviceManager::~AggregateDeviceManager() { stopListening(); }

// --- Device facts -----------------------------------------------------------

AudioDeviceInfo AggregateDeviceManager::deviceInfo(AudioObjectID id) const {
  return AudioDeviceInfo::fromDevice(hal_, id);
}

AudioDeviceCapabilities AggregateDeviceManager::capabilities(AudioObjectID id) const {
  return AudioDeviceCapabilityDetector::getCapabilities(hal_, id);
}

std::optional<AudioDeviceInfo> AggregateDeviceManager::builtInMicrophone() const {
  return AudioDeviceCapabilityDetector::findBuiltInMicrophone(hal_);
}

std::optional<AudioDeviceInfo> AggregateDeviceManager::activeInputDevice() const {
  return AudioDeviceCapabilityDetector::findActiveInputDevice(hal_);
}

std::optional<AudioDeviceInfo> AggregateDeviceManager::activeOutputDevice() const {
  return AudioDeviceCapabilityDetector::findActiveOutputDevice(hal_);
}

std::optional<std::string> AggregateDeviceManager::bestClockSource(
    const std::vector<AudioDeviceInfo>& devices) const {
  return AudioDeviceCapabilityDetector::selectBestClockSource(hal_, devices);
}

ClockSourceValidation AggregateDeviceManager::validateClockSource(AudioObjectID aggregateID) const {
  return AudioDeviceCapabilityDetector::validateAggregateDeviceClockSource(hal_, aggregateID);
}

// --- HAL queries ------------------------------------------------------------

std::vector<AudioObjectID> AggregateDeviceManager::readSystemDeviceIDs() const {
  // Statuses are not examined: a failed read gives an empty list.
  UInt32 size = 0;
  hal_.getPropertyDataSize(kAudioObjectSystemObject, deviceListAddress_, {}, size);
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
  if (ids.empty()) return ids;
  PropertyValue value;
  hal_.getPropertyData(kAudioObjectSystemObject, deviceListAddress_, {}, size, value);
  if (const auto* read = std::get_if<std::vector<AudioObjectID>>(&value)) {
    std::copy_n(read->begin(), std::min(read->size(), ids.size()), ids.begin());
  }
  return ids;
}

bool AggregateDeviceManager::isAggregateDevice(AudioObjectID id) const {
  AudioClassID classID = 0;
  hal_.getProperty(id, globalAddress(kAudioObjectPropertyClass), classID);
  return classID == kAudioAggregateDeviceClassID;
}

std::optional<AudioObjectID> AggregateDeviceManager::getDeviceIDFromUID(
    const std::string& uid) const {
  AudioObjectID id = kAudioObjectUnknown;
  OSStatus status = hal_.getProperty(kAudioObjectSystemObject,
                                     globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), id,
                                     PropertyValue{uid});
  if (status != kAudioHardwareNoError || id == kAudioObjectUnknown) return std::nullopt;
  return id;
}

std::set<std::string> AggregateDeviceManager::getSubDeviceList(AudioHardware& hal,
                                                               AudioObjectID id) {
  std::optional<std::vector<std::string>> uids;
  hal.getProperty(id, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList), uids);
  if (!uids) return {};
  return {uids->begin(), uids->end()};
}

std::set<std::string> AggregateDeviceManager::getTapList(AudioHardware& hal, AudioObjectID id) {
  std::optional<std::vector<std::string>> uids;
  hal.getProperty(id, globalAddress(kAudioAggregateDevicePropertyTapList), uids);
  if (!uids) return {};
  return {uids->begin(), uids->end()};
}

AggregateDeviceManager::DeviceConfig AggregateDeviceManager::getDeviceConfig(AudioHardware& hal,
                                                                             AudioObjectID id) {
  std::optional<json> composition;
  hal.getProperty(id, globalAddress(kAudioAggregateDevicePropertyComposition), composition);
  DeviceConfig config;
  if (!composition || !composition->is_object()) return config;
  auto flag = [&](const char* key) {
    auto entry = composition->find(key);
    return entry != composition->end() && entry->is_boolean() && entry->get<bool>();
  };
  config.isPrivate = flag("private");
  config.autoStart = flag("tapautostart");
  return config;
}

std::uint64_t AggregateDeviceManager::takeTicket() {
  std::lock_guard lock(mutex_);
  return ++lastTicket_;
}

// --- Lists ------------------------------------------------------------------

void AggregateDeviceManager::loadDeviceList() {
  const auto ticket = takeTicket();
  std::vector<AudioDeviceInfo> loaded;
  for (AudioObjectID id : readSystemDeviceIDs()) {
    if (!isAggregateDevice(id)) loaded.push_back(deviceInfo(id));
  }
  sortByName(loaded);
  const auto count = loaded.size();
  {
    std::lock_guard lock(mutex_);
    if (ticket >= devicesTicket_) {
      devicesTicket_ = ticket;
      devices_ = std::move(loaded);
    }
  }
  eventEmitter_.logToStderr("Loaded " + std::to_string(count) + " audio devices");
}

void AggregateDeviceManager::loadAggregateDeviceList() {
  const auto ticket = takeTicket();
  const auto all = readSystemDeviceIDs();
  eventEmitter_.logToStderr("Found " + std::to_string(all.size()) +
                            " total audio devices in system");
  std::vector<AudioObjectID> ids;
  std::copy_if(all.begin(), all.end(), std::back_inserter(ids),
               [this](AudioObjectID id) { return isAggregateDevice(id); });

  // HAL order: the clock check and the first-available choice follow it.
  std::vector<AggregateDeviceInfo> loaded;
  loaded.reserve(ids.size());
  for (AudioObjectID id : ids) loaded.push_back(AggregateDeviceInfo::fromDevice(hal_, id));

  if (ids.empty()) {
    eventEmitter_.logToStderr("No aggregate devices found in system");
  } else {
    eventEmitter_.logToStderr("Found " + std::to_string(ids.size()) +
                              " aggregate devices in system:");
    for (const auto& device : loaded) {
      eventEmitter_.logToStderr("  - Aggregate device: " + device.name + " (ID: " +
                                std::to_string(device.id) + ", UID: " + device.uid + ")");
    }
  }

  // The current device is decided together with storing the list, so a
  // concurrent change of it is never lost between reading and writing.
  std::vector<std::string> decisions;
  {
    std::lock_guard lock(mutex_);
    if (ticket >= aggregatesTicket_) {
      aggregatesTicket_ = ticket;
      auto stored = loaded;
      auto present = ids;
      for (const auto& change : localChanges_) {
        if (change.ticket < ticket) continue;
        const bool known = std::find(present.begin(), present.end(), change.id) != present.end();
        if (change.created && !known) {
          present.push_back(change.id);
          stored.push_back(*change.created);
        } else if (!change.created && known) {
          std::erase(present, change.id);
          std::erase_if(stored, [&](const auto& device) { return device.id == change.id; });
        }
      }
      std::erase_if(localChanges_, [&](const auto& change) { return change.ticket < ticket; });

      const AudioObjectID current = currentAggregateDeviceID_;
      const bool isProtected = protectedDeviceID_ != 0 && protectedDeviceID_ == current;
      if (present.empty()) {
        if (isProtected) {
          decisions.push_back("Preserving current aggregate device ID " + std::to_string(current) +
                              " despite no devices found because it's protected for recording");
        } else {
          currentAggregateDeviceID_ = 0;
        }
      } else {
        if (current != 0 && std::find(present.begin(), present.end(), current) == present.end()) {
          decisions.push_back("Current aggregate device ID " + std::to_string(current) +
                              " no longer exists, resetting");
          if (isProtected) {
            decisions.push_back("Preserving current aggregate device ID " +
                                std::to_string(current) +
                                " despite change because it's protected for recording");
          } else {
            currentAggregateDeviceID_ = 0;
          }
        }
        if (currentAggregateDeviceID_ == 0) {
          currentAggregateDeviceID_ = present.front();
          decisions.push_back("Setting current aggregate device to first available: " +
                              std::to_string(present.front()));
        }
      }
      sortByName(stored);
      aggregateDevices_ = std::move(stored);
    }
  }
  for (const auto& line : decisions) eventEmitter_.logToStderr(line);

  validateClockSources(loaded);
  eventEmitter_.logToStderr("Loaded " + std::to_string(loaded.size()) + " aggregate audio devices");
}

std::vector<AudioDeviceInfo> AggregateDeviceManager::getAllDevices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

std::vector<AggregateDeviceInfo> AggregateDeviceManager::getAllAggregateDevices() const {
  std::lock_guard lock(mutex_);
  return aggregateDevices_;
}

std::optional<AggregateDeviceInfo> AggregateDeviceManager::firstAggregateDevice() const {
  std::lock_guard lock(mutex_);
  if (aggregateDevices_.empty()) return std::nullopt;
  return aggregateDevices_.front();
}

std::set<AudioObjectID> AggregateDeviceManager::storedDeviceIDs() const {
  std::lock_guard lock(mutex_);
  std::set<AudioObjectID> ids;
  for (const auto& device : devices_) ids.insert(device.id);
  return ids;
}

std::set<AudioObjectID> AggregateDeviceManager::storedAggregateIDs() const {
  std::lock_guard lock(mutex_);
  std::set<AudioObjectID> ids;
  for (const auto& device : aggregateDevices_) ids.insert(device.id);
  return ids;
}

bool AggregateDeviceManager::checkAggregateDevice() {
  for (AudioObjectID id : readSystemDeviceIDs()) {
    if (isAggregateDevice(id)) {
      eventEmitter_.logToStderr("Found at least one aggregate device (quick check)");
      return true;
    }
  }
  eventEmitter_.logToStderr("No aggregate devices found (quick check)");
  return false;
}

// --- Creation and composition -----------------------------------------------

AudioObjectID AggregateDeviceManager::createAggregateDevice(
    const std::vector<std::string>& tapUIDs) {
  const std::string name = kNamePrefix + std::to_string(nowWholeSeconds());
  const std::string uid = kUIDPrefix + runtime::makeUUID();

  eventEmitter_.logToStderr("🎯 Creating new aggregate device with safe defaults");
  std::string mainDeviceUID;
  if (auto microphone = builtInMicrophone()) {
    eventEmitter_.logToStderr("✅ Found built-in microphone '" + microphone->name +
                              "' to use as main device");
    mainDeviceUID = microphone->uid;
  } else {
    eventEmitter_.logToStderr(
        "⚠️ Could not find built-in microphone - aggregate device may need manual "
        "configuration");
  }
  // The microphone is named as main device only; sub-devices, and taps not
  // named here, are added afterwards.
  json taps = json::array();
  for (const auto& tapUID : tapUIDs) taps.push_back({{"uid", tapUID}});
  const json description = {{"name", name},           {"uid", uid},   {"subdevices", json::array()},
                            {"private", true},        {"taps", taps}, {"tapautostart", false},
                            {"master", mainDeviceUID}};

  eventEmitter_.logToStderr("Creating aggregate device with name: " + name);
  AudioObjectID id = kAudioObjectUnknown;
  const OSStatus status = hal_.createAggregateDevice(description, id);
  if (status != kAudioHardwareNoError || id == kAudioObjectUnknown) {
    eventEmitter_.logToStderr("Failed to create aggregate device. Error status: " +
                              std::to_string(status));
    return kAudioObjectUnknown;
  }
  eventEmitter_.logToStderr("Created aggregate device with ID: " + std::to_string(id) +
                            ", Name: " + name + ", UID: " + uid);
  if (!isAggregateDevice(id)) {
    eventEmitter_.logToStderr("WARNING: Device " + std::to_string(id) +
                              " created but isAggregateDevice() returns false!");
  } else {
    eventEmitter_.logToStderr("Verified aggregate device " + std::to_string(id) +
                              " exists and is an aggregate device");
  }

  eventEmitter_.logToStderr("Adding device " + std::to_string(id) + " to aggregateDevices list");
  auto info = AggregateDeviceInfo::fromDevice(hal_, id);
  {
    std::lock_guard lock(mutex_);
    // The device-list listener may have loaded it already.
    std::erase_if(aggregateDevices_, [&](const auto& device) { return device.id == id; });
    aggregateDevices_.push_back(info);
    sortByName(aggregateDevices_);
    // A load that started before the device existed must not drop it.
    localChanges_.push_back({++lastTicket_, id, std::move(info)});
  }
  saveAggregateDevices();
  emitAggregateDeviceList();
  eventEmitter_.logToStderr("Completed aggregate device creation process for ID: " +
                            std::to_string(id));
  return id;
}

bool AggregateDeviceManager::configureAggregateDevice(AudioObjectID deviceID, bool isPrivate,
                                                      bool autoStart) {
  const auto address = globalAddress(kAudioAggregateDevicePropertyComposition);
  std::optional<json> composition;
  hal_.getProperty(deviceID, address, composition);
  if (!composition || !composition->is_object()) return false;
  (*composition)["private"] = isPrivate;
  (*composition)["tapautostart"] = autoStart;
  const OSStatus status = hal_.setPropertyData(deviceID, address, *composition);
  if (status != kAudioHardwareNoError) {
    eventEmitter_.logToStderr("Failed to configure aggregate device. Error: " +
                              std::to_string(status));
    return false;
  }
  eventEmitter_.logToStderr("Successfully configured aggregate device with ID: " +
                            std::to_string(deviceID));
  loadAggregateDeviceList();
  emitAggregateDeviceList();
  return true;
}

bool AggregateDeviceManager::changeList(AudioObjectPropertySelector selector, ListChange change,
                                        AudioObjectID aggregateID, const std::string& uid) {
  const bool taps = selector == kAudioAggregateDevicePropertyTapList;
  const std::string noun = taps ? "tap" : "device";
  const auto address = globalAddress(selector);
  std::optional<std::vector<std::string>> list;
  hal_.getProperty(aggregateID, address, list);
  if (!list) return false;
  auto found = std::find(list->begin(), list->end(), uid);
  if (change == ListChange::kAdd && found == list->end()) list->push_back(uid);
  if (change == ListChange::kRemove && found != list->end()) list->erase(found);
  // Written back even when unchanged.
  const OSStatus status = hal_.setPropertyData(aggregateID, address, *list);
  const bool adding = change == ListChange::kAdd;
  if (status != kAudioHardwareNoError) {
    eventEmitter_.logToStderr(std::string("Failed to ") + (adding ? "add " : "remove ") + noun +
                              (adding ? " to" : " from") +
                              " aggregate device. Error: " + std::to_string(status));
    return false;
  }
  eventEmitter_.logToStderr(std::string("Successfully ") + (adding ? "added " : "removed ") + noun +
                            " " + uid + (adding ? " to" : " from") + " aggregate device " +
                            std::to_string(aggregateID));
  if (adding && !taps) selectClockSource(aggregateID, *list);
  loadAggregateDeviceList();
  emitAggregateDeviceList();
  return true;
}

bool AggregateDeviceManager::addDeviceToAggregate(AudioObjectID aggregateID,
                                                  const std::string& deviceUID) {
  return changeList(kAudioAggregateDevicePropertyFullSubDeviceList, ListChange::kAdd, aggregateID,
                    deviceUID);
}

bool AggregateDeviceManager::addTapToAggregate(AudioObjectID aggregateID,
                                               const std::string& tapUID) {
  return changeList(kAudioAggregateDevicePropertyTapList, ListChange::kAdd, aggregateID, tapUID);
}

bool AggregateDeviceManager::removeDeviceFromAggregate(AudioObjectID aggregateID,
                                                       const std::string& deviceUID) {
  return changeList(kAudioAggregateDevicePropertyFullSubDeviceList, ListChange::kRemove,
                    aggregateID, deviceUID);
}

bool AggregateDeviceManager::removeTapFromAggregate(AudioObjectID aggregateID,
                                                    const std::string& tapUID) {
  return changeList(kAudioAggregateDevicePropertyTapList, ListChange::kRemove, aggregateID, tapUID);
}

bool AggregateDeviceManager::destroyAggregateDevice(AudioObjectID deviceID) {
  const OSStatus status = hal_.destroyAggregateDevice(deviceID);
  if (status != kAudioHardwareNoError) {
    eventEmitter_.logToStderr("Failed to destroy aggregate device. Error: " +
                              std::to_string(status));
    return false;
  }
  eventEmitter_.logToStderr("Successfully destroyed aggregate device with ID: " +
                            std::to_string(deviceID));
  {
    std::lock_guard lock(mutex_);
    std::erase_if(aggregateDevices_, [&](const auto& device) { return device.id == deviceID; });
    if (currentAggregateDeviceID_ == deviceID) currentAggregateDeviceID_ = 0;
    // A load that started while the device still existed must not revive it.
    localChanges_.push_back({++lastTicket_, deviceID, std::nullopt});
  }
  saveAggregateDevices();
  emitAggregateDeviceList();
  return true;
}

// --- Listening and events ---------------------------------------------------

void AggregateDeviceManager::startListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (isListening_) return;
    block = makeListenerBlock([weak = weak_from_this()](UInt32, const AudioObjectPropertyAddress*) {
      asio::post(runtime::mainQueue(), [weak] {
        if (auto self = weak.lock()) self->deviceListChanged();
      });
    });
    devicePropertyListenerToken_ = block;
    isListening_ = true;
  }
  hal_.addPropertyListenerBlock(kAudioObjectSystemObject, deviceListAddress_, runtime::mainQueue(),
                                block);
  startListeningForDefaultDeviceChanges();
  eventEmitter_.logToStderr("Started listening for device changes");
}

void AggregateDeviceManager::stopListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (!isListening_ || !devicePropertyListenerToken_) return;
    block = std::move(devicePropertyListenerToken_);
    devicePropertyListenerToken_.reset();
    isListening_ = false;
  }
  hal_.removePropertyListenerBlock(kAudioObjectSystemObject, deviceListAddress_,
                                   runtime::mainQueue(), block);
  eventEmitter_.logToStderr("Stopped listening for device changes");
}

bool AggregateDeviceManager::isListening() const {
  std::lock_guard lock(mutex_);
  return isListening_;
}

void AggregateDeviceManager::deviceListChanged() {
  const auto devicesBefore = storedDeviceIDs();
  const auto aggregatesBefore = storedAggregateIDs();
  loadDeviceList();
  loadAggregateDeviceList();
  const auto devicesAfter = storedDeviceIDs();
  const auto aggregatesAfter = storedAggregateIDs();

  auto difference = [](const std::set<AudioObjectID>& a, const std::set<AudioObjectID>& b) {
    std::set<AudioObjectID> result;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(),
                        std::inserter(result, result.end()));
    return result;
  };
  const auto added = difference(devicesAfter, devicesBefore);
  const auto removed = difference(devicesBefore, devicesAfter);
  const auto aggregatesAdded = difference(aggregatesAfter, aggregatesBefore);
  const auto aggregatesRemoved = difference(aggregatesBefore, aggregatesAfter);

  handleDeviceSwitching(added, removed);
  if (!added.empty() || !removed.empty()) {
    eventEmitter_.logToStderr("Device list changed: +" + std::to_string(added.size()) + " -" +
                              std::to_string(removed.size()));
    emitDeviceList();
  }
  if (!aggregatesAdded.empty() || !aggregatesRemoved.empty()) {
    eventEmitter_.logToStderr("Aggregate device list changed: +" +
                              std::to_string(aggregatesAdded.size()) + " -" +
                              std::to_string(aggregatesRemoved.size()));
    emitAggregateDeviceList();
  }
}

void AggregateDeviceManager::emitDeviceList() {
  const auto devices = getAllDevices();
  eventEmitter_.emitEvent("audioDeviceList",
                          {{"devices", deviceDictionaries(devices)}, {"count", devices.size()}});
}

void AggregateDeviceManager::emitAggregateDeviceList() {
  std::vector<AggregateDeviceInfo> devices;
  AudioObjectID current = 0;
  AudioObjectID protectedID = 0;
  {
    std::lock_guard lock(mutex_);
    devices = aggregateDevices_;
    current = currentAggregateDeviceID_;
    protectedID = protectedDeviceID_;
  }
  eventEmitter_.logToStderr("Emitting aggregateDeviceList event with " +
                            std::to_string(devices.size()) +
                            " devices, currentID: " + std::to_string(current));
  if (devices.empty()) {
    eventEmitter_.logToStderr("Note: No aggregate devices found to emit");
  } else {
    for (const auto& device : devices) {
      eventEmitter_.logToStderr("  - Aggregate device in list: " + device.name +
                                " (ID: " + std::to_string(device.id) + ")");
    }
  }
  eventEmitter_.emitEvent("aggregateDeviceList", {{"devices", toDictionaries(devices)},
                                                  {"count", devices.size()},
                                                  {"currentDeviceID", current},
                                                  {"protectedDeviceID", protectedID}});
}

}  // namespace velmar
