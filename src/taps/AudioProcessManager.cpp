#include "taps/AudioProcessManager.h"

#include <algorithm>
#include <condition_variable>

#include "platform/Platform.h"
#include "protocol/NumberFormat.h"
#include "protocol/Utf8.h"
#include "runtime/Queues.h"

namespace velmar {

using namespace coreaudio;

namespace {

// Reads a 32-bit scalar the HAL may hand out signed or unsigned.
template <typename Int>
void readScalar(AudioHardware& hal, AudioObjectID id, AudioObjectPropertySelector selector,
                Int& out) {
  UInt32 size = sizeof(UInt32);
  PropertyValue value;
  if (hal.getPropertyData(id, globalAddress(selector), {}, size, value) != kAudioHardwareNoError) {
    return;
  }
  if (auto* s = std::get_if<SInt32>(&value)) out = static_cast<Int>(*s);
  if (auto* u = std::get_if<UInt32>(&value)) out = static_cast<Int>(*u);
}

}  // namespace

AudioProcessManager::AudioProcessManager()
    : hal_(platform::Platform::shared().hal()),
      processListAddress_(globalAddress(kAudioHardwarePropertyProcessObjectList)) {}

std::shared_ptr<AudioProcessManager> AudioProcessManager::create() {
  std::shared_ptr<AudioProcessManager> manager(new AudioProcessManager());
  manager->loadProcessList();
  manager->startRunningStatusTimer();
  auto ids = manager->currentIDs();
  std::lock_guard lock(manager->mutex_);
  manager->lastProcessIDs_ = std::move(ids);
  return manager;
}

AudioProcessManager::~AudioProcessManager() {
  stopListening();
  stopProcessMonitoring();
  runningStatusTimer_.stop();
}

// --- HAL reads --------------------------------------------------------------

std::int32_t AudioProcessManager::getProcessPID(AudioObjectID id) {
  std::int32_t pid = 0;
  readScalar(platform::Platform::shared().hal(), id, kAudioProcessPropertyPID, pid);
  return pid;
}

std::string AudioProcessManager::getProcessBundleID(AudioObjectID id) {
  std::string bundleID;
  platform::Platform::shared().hal().getProperty(id, globalAddress(kAudioProcessPropertyBundleID),
                                                 bundleID);
  return bundleID;
}

bool AudioProcessManager::isProcessRunning(AudioObjectID id) {
  UInt32 running = 0;
  readScalar(platform::Platform::shared().hal(), id, kAudioProcessPropertyIsRunning, running);
  return running != 0;
}

std::string AudioProcessManager::getProcessName(AudioObjectID /*id*/, std::int32_t pid) {
  auto& system = platform::Platform::shared().system();
  // The workspace search runs on the utility pool and may be slow; the slot
  // outlives a caller that gave up waiting.
  struct Slot {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::string> name;
  };
  auto slot = std::make_shared<Slot>();
  asio::post(runtime::utilityPool(), [slot, pid, &system] {
    std::optional<std::string> found;
    for (const auto& app : system.runningApplications()) {
      if (app.processIdentifier == pid && app.localizedName && !app.localizedName->empty()) {
        found = app.localizedName;
        break;
      }
    }
    std::lock_guard lock(slot->mutex);
    slot->name = std::move(found);
    slot->finished = true;
    slot->done.notify_all();
  });
  {
    std::unique_lock lock(slot->mutex);
    if (slot->done.wait_for(lock, std::chrono::duration<double>(kNameLookupTimeout),
                            [&] { return slot->finished; }) &&
        slot->name) {
      return *slot->name;
    }
  }
  if (auto command = system.kernelCommandName(pid)) return *command;
  return "Unknown Process";
}

// --- Registry ---------------------------------------------------------------

void AudioProcessManager::loadProcessList() {
  UInt32 size = 0;
  hal_.getPropertyDataSize(kAudioObjectSystemObject, processListAddress_, {}, size);
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
  if (!ids.empty()) {
    UInt32 dataSize = size;
    PropertyValue value;
    if (hal_.getPropertyData(kAudioObjectSystemObject, processListAddress_, {}, dataSize, value) ==
        kAudioHardwareNoError) {
      if (auto* list = std::get_if<std::vector<AudioObjectID>>(&value)) {
        std::copy_n(list->begin(), std::min(list->size(), ids.size()), ids.begin());
      }
    }
  }

  std::vector<AudioProcessInfo> loaded;
  loaded.reserve(ids.size());
  for (AudioObjectID id : ids) loaded.emplace_back(id);
  std::stable_sort(loaded.begin(), loaded.end(),
                   [](const auto& a, const auto& b) { return a.name < b.name; });
  const auto count = loaded.size();
  {
    std::lock_guard lock(mutex_);
    processes_ = std::move(loaded);
  }
  eventEmitter_.logToStderr("Loaded " + std::to_string(count) + " audio processes");
}

std::vector<AudioProcessInfo> AudioProcessManager::getAllProcesses() const {
  std::lock_guard lock(mutex_);
  return processes_;
}

std::vector<AudioProcessInfo> AudioProcessManager::getRunningProcesses() const {
  std::lock_guard lock(mutex_);
  std::vector<AudioProcessInfo> running;
  std::copy_if(processes_.begin(), processes_.end(), std::back_inserter(running),
               [](const auto& p) { return p.isRunning; });
  return running;
}

std::optional<AudioProcessInfo> AudioProcessManager::getProcess(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  for (const auto& p : processes_) {
    if (p.id == id) return p;
  }
  return std::nullopt;
}

std::vector<AudioProcessInfo> AudioProcessManager::getProcessesByName(
    const std::string& name) const {
  std::vector<AudioProcessInfo> found;
  if (name.empty()) return found;
  const std::string needle = utf8::toLower(name);
  std::lock_guard lock(mutex_);
  for (const auto& p : processes_) {
    if (utf8::toLower(p.name).find(needle) != std::string::npos) found.push_back(p);
  }
  return found;
}

std::set<AudioObjectID> AudioProcessManager::currentIDs() const {
  std::lock_guard lock(mutex_);
  std::set<AudioObjectID> ids;
  for (const auto& p : processes_) ids.insert(p.id);
  return ids;
}

void AudioProcessManager::emitProcessList() {
  auto processes = getAllProcesses();
  eventEmitter_.emitEvent("audioProcessList", {{"processes", toDictionaries(processes)},
                                               {"count", processes.size()},
                                               {"runningCount", runningCount(processes)}});
}

void AudioProcessManager::setDelegate(std::weak_ptr<AudioProcessMonitorDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

// --- HAL listener -----------------------------------------------------------

void AudioProcessManager::startListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (isListening_) return;
    block = makeListenerBlock(
        [weak = weak_from_this()](UInt32 count, const AudioObjectPropertyAddress* addresses) {
          for (UInt32 i = 0; i < count; ++i) {
            if (addresses[i].mSelector != kAudioHardwarePropertyProcessObjectList) continue;
            asio::post(runtime::mainQueue(), [weak] {
              if (auto self = weak.lock()) self->processListChanged();
            });
          }
        });
    propertyListenerToken_ = block;
    isListening_ = true;
  }
  hal_.addPropertyListenerBlock(kAudioObjectSystemObject, processListAddress_, runtime::mainQueue(),
                                block);
  eventEmitter_.logToStderr("Started listening for process changes");
}

void AudioProcessManager::stopListening() {
  AudioObjectPropertyListenerBlock block;
  {
    std::lock_guard lock(mutex_);
    if (!isListening_ || !propertyListenerToken_) return;
    block = std::move(propertyListenerToken_);
    propertyListenerToken_.reset();
    isListening_ = false;
  }
  hal_.removePropertyListenerBlock(kAudioObjectSystemObject, processListAddress_,
                                   runtime::mainQueue(), block);
  eventEmitter_.logToStderr("Stopped listening for process changes");
}

void AudioProcessManager::processListChanged() {
  const auto before = currentIDs();
  loadProcessList();
  const auto after = currentIDs();
  std::vector<AudioObjectID> added, removed;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(removed));
  if (added.empty() && removed.empty()) return;
  eventEmitter_.logToStderr("Process list changed: +" + std::to_string(added.size()) + " -" +
                            std::to_string(removed.size()));
  emitProcessList();
  for (AudioObjectID id : added) {
    if (auto process = getProcess(id))
      eventEmitter_.emitEvent("audioProcessAdded", process->toDictionary());
  }
  for (AudioObjectID id : removed) eventEmitter_.emitEvent("audioProcessRemoved", {{"id", id}});
}

// --- Process monitor --------------------------------------------------------

void AudioProcessManager::startProcessMonitoring() {
  stopProcessMonitoring();
  const double interval = monitoringInterval();
  eventEmitter_.logToStderr(
      "Starting process monitoring (interval: " + formatShortestDouble(interval) + " seconds)");
  monitorTimer_.start(std::chrono::duration<double>(interval), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->checkForProcessChanges();
  });
}

void AudioProcessManager::stopProcessMonitoring() { monitorTimer_.stop(); }

double AudioProcessManager::clampInterval(double interval) {
  // NaN compares false, so it falls back to the minimum too.
  return interval > kMinimumMonitoringInterval ? interval : kMinimumMonitoringInterval;
}

double AudioProcessManager::monitoringInterval() const {
  std::lock_guard lock(mutex_);
  return monitoringInterval_;
}

void AudioProcessManager::setMonitoringInterval(double interval) {
  {
    std::lock_guard lock(mutex_);
    monitoringInterval_ = clampInterval(interval);
  }
  if (monitorTimer_.isActive()) startProcessMonitoring();
}

void AudioProcessManager::checkForProcessChanges() {
  loadProcessList();
  const auto processes = getAllProcesses();
  const auto current = currentIDs();
  std::set<AudioObjectID> last;
  std::shared_ptr<AudioProcessMonitorDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    last = lastProcessIDs_;
    delegate = delegate_.lock();
  }

  std::vector<AudioObjectID> addedIDs, removedIDs;
  std::set_difference(current.begin(), current.end(), last.begin(), last.end(),
                      std::back_inserter(addedIDs));
  std::set_difference(last.begin(), last.end(), current.begin(), current.end(),
                      std::back_inserter(removedIDs));

  AudioProcessChanges changes;
  for (AudioObjectID id : addedIDs) {
    auto it =
        std::find_if(processes.begin(), processes.end(), [&](const auto& p) { return p.id == id; });
    if (it != processes.end()) changes.addedProcesses.push_back(*it);
  }
  changes.removedProcesses = removedIDs;
  changes.totalCount = static_cast<std::int32_t>(processes.size());
  changes.runningCount = static_cast<std::int32_t>(runningCount(processes));
  changes.timestamp = std::chrono::system_clock::now();

  if (changes.isSignificant()) {
    eventEmitter_.logToStderr("Process changes detected: +" + std::to_string(addedIDs.size()) +
                              " -" + std::to_string(removedIDs.size()));
    for (const auto& p : changes.addedProcesses) {
      eventEmitter_.logToStderr("New audio process: " + p.name + " (ID: " + std::to_string(p.id) +
                                ", Running: " + (p.isRunning ? "true" : "false") + ")");
    }
    emitProcessChanges(changes);
    if (delegate) delegate->processMonitorDidDetectChanges(changes);
  }
  std::lock_guard lock(mutex_);
  lastProcessIDs_ = current;
}

void AudioProcessManager::emitProcessChanges(const AudioProcessChanges& changes) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(changes.timestamp.time_since_epoch())
          .count();
  eventEmitter_.emitEvent("audioProcessChanges",
                          {{"addedProcesses", toDictionaries(changes.addedProcesses)},
                           {"removedProcessIDs", changes.removedProcesses},
                           {"totalCount", changes.totalCount},
                           {"runningCount", changes.runningCount},
                           {"timestamp", seconds}});
}

// --- Running status ---------------------------------------------------------

void AudioProcessManager::startRunningStatusTimer() {
  runningStatusTimer_.start(std::chrono::duration<double>(kRunningStatusPeriod),
                            [weak = weak_from_this()] {
                              if (auto self = weak.lock()) self->checkRunningStatus();
                            });
}

void AudioProcessManager::checkRunningStatus() {
  // Read the flags without the lock (HAL calls), then apply them to the
  // records that are still there.
  std::vector<std::pair<AudioObjectID, bool>> flags;
  for (const auto& p : getAllProcesses()) flags.emplace_back(p.id, isProcessRunning(p.id));

  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < processes_.size() && i < flags.size(); ++i) {
      auto& record = processes_[i];
      if (record.id != flags[i].first || record.isRunning == flags[i].second) continue;
      record.isRunning = flags[i].second;
      lines.push_back("Process running status changed: " + record.name + " is now " +
                      (record.isRunning ? "running" : "not running"));
    }
  }
  if (lines.empty()) return;
  for (const auto& line : lines) eventEmitter_.logToStderr(line);
  emitProcessList();
  auto running = getRunningProcesses();
  eventEmitter_.emitEvent("runningAudioProcesses",
                          {{"processes", toDictionaries(running)}, {"count", running.size()}});
}

}  // namespace velmar
