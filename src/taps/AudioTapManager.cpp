#include "taps/AudioTapManager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Platform.h"
#include "runtime/Queues.h"
#include "taps/AudioProcessManager.h"

namespace velmar {

using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertyListenerBlock;
using audiohal::AudioStreamBasicDescription;
using audiohal::CATapDescription;
using audiohal::globalAddress;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyFormat;
using audiohal::kAudioTapPropertyUID;
using audiohal::makeListenerBlock;
using audiohal::PropertyValue;
using audiohal::UInt32;

AudioTapManager::AudioTapManager(AudioHardware& hal)
    : hal_(hal), tapListAddress_(globalAddress(kAudioHardwarePropertyTapList)) {}

std::shared_ptr<AudioTapManager> AudioTapManager::create(AudioHardware& hal) {
  std::shared_ptr<AudioTapManager> manager(new AudioTapManager(hal));
  manager->loadTapList();
  auto ids = manager->currentIDs();
  std::lock_guard lock(manager->mutex_);
  manager->announced_ = std::move(ids);
  return manager;
}

std::shared_ptr<AudioTapManager> AudioTapManager::create() {
  return create(platform::Platform::shared().hal());
}

AudioTapManager::~AudioTapManager() { stopListening(); }

// --- Class-level reads ------------------------------------------------------

std::string AudioTapManager::getTapUID(AudioObjectID id, AudioHardware& hal) {
  std::string uid;
  hal.getProperty(id, globalAddress(kAudioTapPropertyUID), uid);
  return uid;
}

std::string AudioTapManager::getTapFormat(AudioObjectID id, AudioHardware& hal) {
  AudioStreamBasicDescription format;  // zero-filled: a failed read describes 0 channels at 0Hz
  hal.getProperty(id, globalAddress(kAudioTapPropertyFormat), format);
  return formatText(format);
}

std::string AudioTapManager::formatText(const AudioStreamBasicDescription& format) {
  // Truncated toward zero; a rate that is no number at all counts as 0 and
  // one beyond the integer range is held at its end.
  std::int64_t rate = 0;
  const double truncated = std::trunc(format.mSampleRate);
  if (std::isfinite(truncated)) {
    constexpr double kLimit = 9.2e18;
    if (truncated >= kLimit) {
      rate = std::numeric_limits<std::int64_t>::max();
    } else if (truncated <= -kLimit) {
      rate = std::numeric_limits<std::int64_t>::min();
    } else {
      rate = static_cast<std::int64_t>(truncated);
    }
  }
  return std::to_string(format.mChannelsPerFrame) + " channels at " + std::to_string(rate) + "Hz";
}

TapConfig AudioTapManager::getTapConfig(AudioObjectID id, AudioHardware& hal) {
  CATapDescription description;  // a failed read converts the default description
  hal.getProperty(id, globalAddress(kAudioTapPropertyDescription), description);
  return TapConfig::fromDescription(description);
}

// --- The list ---------------------------------------------------------------

void AudioTapManager::loadTapList() {
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(mutex_);
    ticket = ++loadsStarted_;
  }
  UInt32 size = 0;
  hal_.getPropertyDataSize(kAudioObjectSystemObject, tapListAddress_, {}, size);
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
  if (!ids.empty()) {
    UInt32 dataSize = size;
    PropertyValue value;
    if (hal_.getPropertyData(kAudioObjectSystemObject, tapListAddress_, {}, dataSize, value) ==
        kAudioHardwareNoError) {
      if (auto* list = std::get_if<std::vector<AudioObjectID>>(&value)) {
        std::copy_n(list->begin(), std::min(list->size(), ids.size()), ids.begin());
      }
    }
  }
  // Slots the read left unfilled (it failed, or a tap went away between the
  // two reads) name no tap: ID 0 is none, never a tap to list or destroy.
  std::erase(ids, AudioObjectID{0});

  std::vector<AudioTapInfo> loaded;
  loaded.reserve(ids.size());
  for (AudioObjectID id : ids) loaded.emplace_back(id, hal_);
  std::stable_sort(loaded.begin(), loaded.end(),
                   [](const auto& a, const auto& b) { return a.config.name < b.config.name; });
  const auto count = loaded.size();
  {
    std::lock_guard lock(mutex_);
    if (ticket > storedLoad_) {
      taps_ = std::move(loaded);
      storedLoad_ = ticket;
    }
  }
  eventEmitter_.logToStderr("Loaded " + std::to_string(count) + " audio taps");
}

std::vector<AudioTapInfo> AudioTapManager::getAllTaps() const {
  std::lock_guard lock(mutex_);
  return taps_;
}

std::optional<AudioTapInfo> AudioTapManager::getTap(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  for (const auto& tap : taps_) {
    if (tap.id == id) return tap;
  }
  return std::nullopt;
}

std::optional<AudioTapInfo> AudioTapManager::getTapByUID(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  for (const auto& tap : taps_) {
    if (tap.uid == uid) return tap;
  }
  return std::nullopt;
}

std::set<AudioObjectID> AudioTapManager::currentIDs() const {
  std::lock_guard lock(mutex_);
  std::set<AudioObjectID> ids;
  for (const auto& tap : taps_) ids.insert(tap.id);
  return ids;
}

void AudioTapManager::emitTapList() {
  const auto taps = getAllTaps();
  eventEmitter_.emitEvent("audioTapList", {{"taps", toDictionaries(taps)}, {"count", taps.size()}});
}

// --- Creating, rewriting, destroying ----------------------------------------

AudioObjectID AudioTapManager::createTap(const TapConfig& config, TapIntent intent) {
  const CATapDescription description = config.makeDescription();
  // Success is a tap ID, whatever the status says.
  AudioObjectID tapID = 0;
  beginOwnListChange();
  hal_.createProcessTap(description, tapID);
  if (tapID != 0) {
    std::lock_guard lock(mutex_);
    intents_[tapID] = intent;
  }
  // Our own tap: the host hears of it as created, not as added.
  endOwnListChange(tapID, true);
  if (tapID == 0) return 0;
  loadTapList();
  const auto tap = getTap(tapID);
  if (!tap) {
    // Made but unreadable: the caller answers a failure, so the HAL must not
    // keep a tap nobody knows of.
    beginOwnListChange();
    hal_.destroyProcessTap(tapID);
    {
      std::lock_guard lock(mutex_);
      intents_.erase(tapID);
    }
    endOwnListChange(tapID, false);
    return 0;
  }
  eventEmitter_.emitEvent("audioTapCreated", tap->toDictionary());
  return tapID;
}

bool AudioTapManager::destroyTap(AudioObjectID id) {
  if (!getTap(id)) return false;
  beginOwnListChange();
  const bool destroyed = hal_.destroyProcessTap(id) == kAudioHardwareNoError;
  if (destroyed) {
    std::lock_guard lock(mutex_);
    intents_.erase(id);
  }
  endOwnListChange(destroyed ? id : 0, false);
  // A tap the HAL kept is still there: reported destroyed, the host would
  // take it for gone.
  if (!destroyed) return false;
  eventEmitter_.emitEvent("audioTapDestroyed", {{"id", id}});
  loadTapList();
  return true;
}

bool AudioTapManager::updateTap(AudioObjectID id, const TapConfig& config) {
  if (!getTap(id)) return false;
  const auto address = globalAddress(kAudioTapPropertyDescription);
  CATapDescription description;
  hal_.getProperty(id, address, description);
  config.applyTo(description);
  // A rejected description is not a failure here: the re-read below reports
  // what the HAL holds.
  hal_.setPropertyData(id, address, description);
  loadTapList();
  if (auto tap = getTap(id)) eventEmitter_.emitEvent("audioTapUpdated", tap->toDictionary());
  return true;
}

namespace {
std::set<AudioObjectID> idsOf(const std::vector<AudioProcessInfo>& processes) {
  std::set<AudioObjectID> ids;
  for (const auto& process : processes) ids.insert(process.id);
  return ids;
}
}  // namespace

AudioObjectID AudioTapManager::createTapWithAllProcesses(AudioProcessManager& audioProcessManager) {
  audioProcessManager.loadProcessList();
  const auto ids = idsOf(audioProcessManager.getAllProcesses());
  eventEmitter_.logToStderr("Creating tap with " + std::to_string(ids.size()) + " audio processes");
  TapConfig config;
  config.name = "Tap with all processes";
  config.processes = ids;
  return createTap(config, TapIntent::everyProcess);
}

AudioObjectID AudioTapManager::createSystemLevelTap(AudioProcessManager& audioProcessManager) {
  TapConfig config;
  config.name = "System Audio Interceptor";
  config.processes = idsOf(audioProcessManager.getAllProcesses());
  return createTap(config, TapIntent::everyProcess);
}

std::optional<AudioTapManager::TapIntent> AudioTapManager::intentOf(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  const auto found = intents_.find(id);
  if (found == intents_.end()) return std::nullopt;
  return found->second;
}

void AudioTapManager::keepChosenProcesses(AudioObjectID id) {
  std::lock_guard lock(mutex_);
  const auto found = intents_.find(id);
  if (found != intents_.end()) found->second = TapIntent::chosenProcesses;
}

TapConfig AudioTapManager::repointed(TapConfig config, TapIntent intent,
                                     const std::set<AudioObjectID>& current) {
  // An exclusive tap's list says what to leave out: replacing it with every
  // process would silence the tap.
  if (intent == TapIntent::everyProcess && !config.exclusive) {
    config.processes = current;
  } else {
    std::erase_if(config.processes, [&](AudioObjectID id) { return !current.contains(id); });
  }
  return config;
}

bool AudioTapManager::reapplyTap(AudioObjectID id, const std::set<AudioObjectID>& current) {
  const auto tap = getTap(id);
  const auto intent = intentOf(id);
  if (!tap || !intent) return false;
  return updateTap(id, repointed(tap->config, *intent, current));
}

bool AudioTapManager::updateTapWithCurrentProcesses(AudioObjectID tapID,
                                                    AudioProcessManager& processManager) {
  const std::string tapText = std::to_string(tapID);
  eventEmitter_.logToStderr("Updating tap " + tapText + " with current audio processes");
  auto tap = getTap(tapID);
  if (!tap) {
    eventEmitter_.logToStderr("Cannot update tap " + tapText + ": Tap not found");
    return false;
  }
  const auto intent = intentOf(tapID);
  if (!intent) {
    eventEmitter_.logToStderr("Leaving tap " + tapText + " as it is: this service did not make it");
    return true;
  }
  processManager.loadProcessList();
  const auto ids = idsOf(processManager.getAllProcesses());
  const TapConfig config = repointed(tap->config, *intent, ids);
  const bool followsAll = *intent == TapIntent::everyProcess && !config.exclusive;
  const std::string count = std::to_string(config.processes.size());
  if (followsAll) {
    eventEmitter_.logToStderr("Updating tap with all " + count + " processes");
  } else {
    eventEmitter_.logToStderr(std::string("Updating tap with its ") +
                              (config.exclusive ? "exclusion list of " : "choice of ") + count +
                              " processes that still exist");
  }
  const bool updated = updateTap(tapID, config);
  if (updated) {
    eventEmitter_.logToStderr(
        "Successfully updated tap " + tapText +
        (followsAll ? " with all " + count + " processes" : " keeping its choice of processes"));
  } else {
    eventEmitter_.logToStderr("Failed to update tap " + tapText + " with current processes");
  }
  return updated;
}

bool AudioTapManager::updateAllTapsWithCurrentProcesses(AudioProcessManager& processManager) {
  eventEmitter_.logToStderr("Updating all taps with current audio processes");
  loadTapList();
  const auto taps = getAllTaps();
  if (taps.empty()) {
    eventEmitter_.logToStderr("No taps to update");
    return true;
  }
  bool allUpdated = true;
  for (const auto& tap : taps) {
    if (!updateTapWithCurrentProcesses(tap.id, processManager)) allUpdated = false;
  }
  return allUpdated;
}

// --- HAL listener -----------------------------------------------------------

void AudioTapManager::startListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (isListening_) return;
    block = makeListenerBlock(
        [weak = weak_from_this()](UInt32 count, const AudioObjectPropertyAddress* addresses) {
          for (UInt32 i = 0; i < count; ++i) {
            if (addresses[i].mSelector != kAudioHardwarePropertyTapList) continue;
            if (auto self = weak.lock()) self->postTapListChanged();
          }
        });
    propertyListenerToken_ = block;
    isListening_ = true;
  }
  hal_.addPropertyListenerBlock(kAudioObjectSystemObject, tapListAddress_, runtime::mainQueue(),
                                block);
  eventEmitter_.logToStderr("Started listening for tap changes");
}

void AudioTapManager::stopListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (!isListening_ || !propertyListenerToken_) return;
    block = std::move(propertyListenerToken_);
    propertyListenerToken_.reset();
    isListening_ = false;
  }
  hal_.removePropertyListenerBlock(kAudioObjectSystemObject, tapListAddress_, runtime::mainQueue(),
                                   block);
  eventEmitter_.logToStderr("Stopped listening for tap changes");
}

void AudioTapManager::beginOwnListChange() {
  std::lock_guard lock(mutex_);
  ++ownChangesInFlight_;
  ++ownChangeEpoch_;
}

void AudioTapManager::endOwnListChange(AudioObjectID tapID, bool created) {
  bool rerun = false;
  {
    std::lock_guard lock(mutex_);
    if (tapID != 0) {
      if (created) {
        announced_.insert(tapID);
      } else {
        announced_.erase(tapID);
      }
    }
    --ownChangesInFlight_;
    ++ownChangeEpoch_;
    if (ownChangesInFlight_ == 0 && reactionDeferred_) {
      reactionDeferred_ = false;
      rerun = true;
    }
  }
  if (rerun) postTapListChanged();
}

void AudioTapManager::postTapListChanged() {
  asio::post(runtime::mainQueue(), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->tapListChanged();
  });
}

void AudioTapManager::tapListChanged() {
  std::uint64_t epoch = 0;
  {
    std::lock_guard lock(mutex_);
    if (ownChangesInFlight_ > 0) {
      reactionDeferred_ = true;
      return;
    }
    epoch = ownChangeEpoch_;
  }
  loadTapList();
  // Compared with what the host has been told, not with the list before
  // this reload: a reload by a command in between must not hide another
  // program's tap. While one of our own creations or destructions is under
  // way the comparison would take it for another program's, so it waits.
  std::vector<AudioObjectID> added, removed;
  bool lookAgain = false;
  {
    std::lock_guard lock(mutex_);
    if (ownChangesInFlight_ > 0) {
      reactionDeferred_ = true;
      return;
    }
    // One began and ended during the reload: the list may predate it.
    lookAgain = ownChangeEpoch_ != epoch;
    if (!lookAgain) {
      std::set<AudioObjectID> after;
      for (const auto& tap : taps_) after.insert(tap.id);
      std::set_difference(after.begin(), after.end(), announced_.begin(), announced_.end(),
                          std::back_inserter(added));
      std::set_difference(announced_.begin(), announced_.end(), after.begin(), after.end(),
                          std::back_inserter(removed));
      announced_ = std::move(after);
      for (AudioObjectID id : removed) intents_.erase(id);
    }
  }
  if (lookAgain) {
    postTapListChanged();
    return;
  }
  if (added.empty() && removed.empty()) return;
  eventEmitter_.logToStderr("Tap list changed: +" + std::to_string(added.size()) + " -" +
                            std::to_string(removed.size()));
  emitTapList();
  for (AudioObjectID id : added) {
    if (auto tap = getTap(id)) eventEmitter_.emitEvent("audioTapAdded", tap->toDictionary());
  }
  for (AudioObjectID id : removed) eventEmitter_.emitEvent("audioTapRemoved", {{"id", id}});
}

}  // namespace velmar
