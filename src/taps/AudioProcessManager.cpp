#include "taps/AudioProcessManager.h"

#include <algorithm>
#include <condition_variable>
#include <utility>

#include "platform/Platform.h"
#include "protocol/NumberFormat.h"
#include "protocol/Utf8.h"
#include "runtime/Queues.h"

namespace velmar {

using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertyListenerBlock;
using audiohal::AudioObjectPropertySelector;
using audiohal::globalAddress;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyProcessObjectList;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioProcessPropertyBundleID;
using audiohal::kAudioProcessPropertyIsRunning;
using audiohal::kAudioProcessPropertyPID;
using audiohal::makeListenerBlock;
using audiohal::PropertyValue;
using audiohal::SInt32;
using audiohal::UInt32;

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

std::set<AudioObjectID> idsOf(const std::vector<AudioProcessInfo>& processes) {
  std::set<AudioObjectID> ids;
  for (const auto& p : processes) ids.insert(p.id);
  return ids;
}

const AudioProcessInfo* findByID(const std::vector<AudioProcessInfo>& processes, AudioObjectID id) {
  for (const auto& p : processes) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

}  // namespace

struct AudioProcessManager::NameLookups {
  struct Answer {
    std::int32_t pid = 0;
    std::optional<std::string> name;  // none: the workspace does not name it
  };
  std::mutex mutex;
  std::condition_variable finished;
  std::map<AudioObjectID, Answer> answers;
  bool inFlight = false;
  std::chrono::steady_clock::time_point deadline;
};

namespace {

using Listed = std::vector<std::pair<AudioObjectID, std::int32_t>>;

// Names for the listed process objects: the workspace's, from one search on
// the utility pool for all processes it has not answered for yet, awaited at
// most kNameLookupTimeout overall (and not at all when an earlier search has
// already overrun); otherwise the kernel's command name, or "Unknown Process".
// Object IDs are never reused, so an answer stays right while its object is
// listed with the same PID.
std::vector<std::string> resolveNames(
    const std::shared_ptr<AudioProcessManager::NameLookups>& names, const Listed& listed) {
  auto& system = platform::Platform::shared().system();
  std::vector<std::optional<std::string>> found(listed.size());
  {
    std::unique_lock lock(names->mutex);
    // Answers for objects no longer listed are dropped.
    std::map<AudioObjectID, AudioProcessManager::NameLookups::Answer> kept;
    for (const auto& [id, pid] : listed) {
      if (auto known = names->answers.find(id); known != names->answers.end()) kept.insert(*known);
    }
    names->answers = std::move(kept);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(AudioProcessManager::kNameLookupTimeout));
    for (;;) {
      Listed missing;
      for (const auto& [id, pid] : listed) {
        auto known = names->answers.find(id);
        if (known == names->answers.end() || known->second.pid != pid)
          missing.emplace_back(id, pid);
      }
      if (missing.empty()) break;
      if (!names->inFlight) {
        names->inFlight = true;
        names->deadline = until;
        asio::post(runtime::utilityPool(), [names, missing, &system] {
          const auto applications = system.runningApplications();
          std::lock_guard lock(names->mutex);
          for (const auto& [id, pid] : missing) {
            auto& answer = names->answers[id];
            answer = {pid, std::nullopt};
            // The first application with this PID and a name.
            for (const auto& app : applications) {
              if (app.processIdentifier == pid && app.localizedName &&
                  !app.localizedName->empty()) {
                answer.name = app.localizedName;
                break;
              }
            }
          }
          names->inFlight = false;
          names->finished.notify_all();
        });
      } else if (names->deadline <= std::chrono::steady_clock::now()) {
        break;  // an earlier search overran: the workspace is slow, do not wait again
      }
      if (!names->finished.wait_until(lock, std::min(names->deadline, until),
                                      [&] { return !names->inFlight; })) {
        break;
      }
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
      auto known = names->answers.find(listed[i].first);
      if (known != names->answers.end() && known->second.pid == listed[i].second)
        found[i] = known->second.name;
    }
  }
  std::vector<std::string> result;
  result.reserve(listed.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (found[i]) {
      result.push_back(std::move(*found[i]));
    } else if (auto command = system.kernelCommandName(listed[i].second)) {
      result.push_back(std::move(*command));
    } else {
      result.push_back("Unknown Process");
    }
  }
  return result;
}

}  // namespace

AudioProcessManager::AudioProcessManager()
    : hal_(platform::Platform::shared().hal()),
      names_(std::make_shared<NameLookups>()),
      processListAddress_(globalAddress(kAudioHardwarePropertyProcessObjectList)) {}

std::shared_ptr<AudioProcessManager> AudioProcessManager::create() {
  std::shared_ptr<AudioProcessManager> manager(new AudioProcessManager());
  manager->loadProcessList();
  manager->startRunningStatusTimer();
  std::lock_guard lock(manager->mutex_);
  manager->lastProcessIDs_ = idsOf(manager->processes_);
  manager->listenerProcessIDs_ = manager->lastProcessIDs_;
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

std::string AudioProcessManager::getProcessName(AudioObjectID id, std::int32_t pid) {
  return resolveNames(std::make_shared<NameLookups>(), {{id, pid}}).front();
}

// --- Registry ---------------------------------------------------------------

std::vector<AudioProcessInfo> AudioProcessManager::reloadLocked() {
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
  Listed listed;
  for (AudioObjectID id : ids) {
    const auto pid = getProcessPID(id);
    loaded.emplace_back(id, pid, std::string(), getProcessBundleID(id), isProcessRunning(id));
    listed.emplace_back(id, pid);
  }
  auto resolved = resolveNames(names_, listed);
  for (std::size_t i = 0; i < loaded.size(); ++i) loaded[i].name = std::move(resolved[i]);
  std::stable_sort(loaded.begin(), loaded.end(),
                   [](const auto& a, const auto& b) { return a.name < b.name; });

  std::lock_guard lock(mutex_);
  processes_ = loaded;
  // The running-status tick reports changes against what it last knew; a
  // process new to the registry starts from the state it was loaded with.
  std::map<AudioObjectID, bool> running;
  for (const auto& p : processes_) {
    auto known = reportedRunning_.find(p.id);
    running.emplace(p.id, known != reportedRunning_.end() ? known->second : p.isRunning);
  }
  reportedRunning_ = std::move(running);
  return loaded;
}

void AudioProcessManager::logLoaded(std::size_t count) {
  eventEmitter_.logToStderr("Loaded " + std::to_string(count) + " audio processes");
}

void AudioProcessManager::loadProcessList() {
  std::size_t count;
  {
    std::lock_guard update(updateMutex_);
    count = reloadLocked().size();
  }
  logLoaded(count);
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
  if (const auto* p = findByID(processes_, id)) return *p;
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
  std::vector<AudioProcessInfo> loaded;
  std::set<AudioObjectID> before;
  std::shared_ptr<AudioProcessMonitorDelegate> delegate;
  {
    std::lock_guard update(updateMutex_);
    loaded = reloadLocked();
    std::lock_guard lock(mutex_);
    before = std::exchange(listenerProcessIDs_, idsOf(loaded));
    delegate = delegate_.lock();
  }
  logLoaded(loaded.size());
  const auto after = idsOf(loaded);
  std::vector<AudioObjectID> added, removed;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(removed));
  if (added.empty() && removed.empty()) return;
  eventEmitter_.logToStderr("Process list changed: +" + std::to_string(added.size()) + " -" +
                            std::to_string(removed.size()));
  emitProcessList();
  // The records of this reload: a newer one may already have replaced them.
  for (AudioObjectID id : added) {
    if (const auto* process = findByID(loaded, id))
      eventEmitter_.emitEvent("audioProcessAdded", process->toDictionary());
  }
  for (AudioObjectID id : removed) eventEmitter_.emitEvent("audioProcessRemoved", {{"id", id}});
  if (delegate) delegate->processListDidChange(added, removed);
}

// --- Process monitor --------------------------------------------------------

double AudioProcessManager::clampInterval(double interval) {
  // NaN compares false, so it falls back to the minimum too.
  return interval > kMinimumMonitoringInterval ? interval : kMinimumMonitoringInterval;
}

std::string AudioProcessManager::restartMonitorLocked(double interval) {
  monitorTimer_.start(std::chrono::duration<double>(interval), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->checkForProcessChanges();
  });
  return "Starting process monitoring (interval: " + formatShortestDouble(interval) + " seconds)";
}

void AudioProcessManager::publishMonitoring(MonitoringStatus status) {
  std::lock_guard lock(mutex_);
  monitoring_ = status;
}

AudioProcessManager::MonitoringStatus AudioProcessManager::monitoringStatus() const {
  std::lock_guard lock(mutex_);
  return monitoring_;
}

AudioProcessManager::MonitoringStatus AudioProcessManager::startProcessMonitoring() {
  return enableProcessMonitoring(std::nullopt);
}

AudioProcessManager::MonitoringStatus AudioProcessManager::enableProcessMonitoring(
    std::optional<double> interval) {
  std::vector<std::string> lines;
  MonitoringStatus status;
  {
    std::lock_guard control(monitorControlMutex_);
    status = monitoringStatus();
    if (interval) {
      status.interval = clampInterval(*interval);
      // A running monitor restarts with the new period first.
      if (status.enabled) lines.push_back(restartMonitorLocked(status.interval));
    }
    lines.push_back(restartMonitorLocked(status.interval));
    status.enabled = true;
    publishMonitoring(status);
  }
  for (const auto& line : lines) eventEmitter_.logToStderr(line);
  return status;
}

void AudioProcessManager::stopProcessMonitoring() {
  std::lock_guard control(monitorControlMutex_);
  monitorTimer_.stop();
  auto status = monitoringStatus();
  status.enabled = false;
  publishMonitoring(status);
}

AudioProcessManager::MonitoringStatus AudioProcessManager::setMonitoringInterval(double interval) {
  std::optional<std::string> line;
  MonitoringStatus status;
  {
    std::lock_guard control(monitorControlMutex_);
    status = monitoringStatus();
    status.interval = clampInterval(interval);
    // A stopped monitor stays stopped.
    if (status.enabled) line = restartMonitorLocked(status.interval);
    publishMonitoring(status);
  }
  if (line) eventEmitter_.logToStderr(*line);
  return status;
}

void AudioProcessManager::checkForProcessChanges() {
  std::vector<AudioProcessInfo> processes;
  std::set<AudioObjectID> last;
  std::shared_ptr<AudioProcessMonitorDelegate> delegate;
  {
    std::lock_guard update(updateMutex_);
    processes = reloadLocked();
    std::lock_guard lock(mutex_);
    last = std::exchange(lastProcessIDs_, idsOf(processes));
    delegate = delegate_.lock();
  }
  logLoaded(processes.size());
  const auto current = idsOf(processes);

  std::vector<AudioObjectID> addedIDs, removedIDs;
  std::set_difference(current.begin(), current.end(), last.begin(), last.end(),
                      std::back_inserter(addedIDs));
  std::set_difference(last.begin(), last.end(), current.begin(), current.end(),
                      std::back_inserter(removedIDs));

  AudioProcessChanges changes;
  for (AudioObjectID id : addedIDs) {
    if (const auto* p = findByID(processes, id)) changes.addedProcesses.push_back(*p);
  }
  changes.removedProcesses = removedIDs;
  changes.totalCount = static_cast<std::int32_t>(processes.size());
  changes.runningCount = static_cast<std::int32_t>(runningCount(processes));
  changes.timestamp = std::chrono::system_clock::now();
  if (!changes.isSignificant()) return;

  eventEmitter_.logToStderr("Process changes detected: +" + std::to_string(addedIDs.size()) + " -" +
                            std::to_string(removedIDs.size()));
  for (const auto& p : changes.addedProcesses) {
    eventEmitter_.logToStderr("New audio process: " + p.name + " (ID: " + std::to_string(p.id) +
                              ", Running: " + (p.isRunning ? "true" : "false") + ")");
  }
  emitProcessChanges(changes);
  if (delegate) delegate->processMonitorDidDetectChanges(changes);
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
  std::vector<std::string> lines;
  {
    // Serialised with reloads, so the flags read here are not applied over
    // a newer reload's.
    std::lock_guard update(updateMutex_);
    const auto processes = getAllProcesses();
    std::vector<bool> flags;
    flags.reserve(processes.size());
    for (const auto& p : processes) flags.push_back(isProcessRunning(p.id));

    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      auto& record = processes_[i];
      record.isRunning = flags[i];
      bool& reported = reportedRunning_[record.id];
      if (reported == record.isRunning) continue;
      reported = record.isRunning;
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
