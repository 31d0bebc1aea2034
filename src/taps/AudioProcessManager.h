#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audiohal/AudioHardware.h"
#include "protocol/EventEmitter.h"
#include "runtime/RepeatingTimer.h"
#include "taps/AudioProcessChanges.h"
#include "taps/AudioProcessInfo.h"

namespace velmar {

// The registry of the HAL's audio processes and its three watchers: the HAL
// listener on the process list (additions and removals as they happen), the
// process monitor (a repeating comparison against the previous tick, reported
// to the delegate), and the 2-second running-status timer. Each watcher
// compares against a baseline of its own, so a reload by anyone else (a
// command, another watcher) never hides a change from it.
//
// Thread safety:
// - `updateMutex_` serialises every update from the HAL (reloads and the
//   running-status tick), HAL reads included, so a newer read is never
//   overwritten by an older one. Nothing is emitted under it.
// - `mutex_` guards the registry, the three baselines, the monitoring state
//   and the delegate; it is held only to copy or swap them.
// - `names_` has a mutex of its own, for the workspace's answers and the
//   lookup in flight; it is never held while calling the platform.
// - `monitorControlMutex_` serialises starting, stopping and re-timing the
//   monitor, so its timer and the state reported for it change in one step.
// Locks are taken in that order (control, update, registry); events and log
// lines go out after all are released.
class AudioProcessManager : public std::enable_shared_from_this<AudioProcessManager> {
 public:
  static constexpr double kDefaultMonitoringInterval = 5.0;
  static constexpr double kMinimumMonitoringInterval = 1.0;
  static constexpr double kRunningStatusPeriod = 2.0;
  // How long one reload waits for the workspace's names, whatever the number
  // of processes; names that come later serve the next reloads.
  static constexpr double kNameLookupTimeout = 1.0;

  // What the process monitor does: whether it runs, and its period.
  struct MonitoringStatus {
    bool enabled = false;
    double interval = kDefaultMonitoringInterval;
  };

  // Loads the list, starts the running-status timer, takes the baselines.
  static std::shared_ptr<AudioProcessManager> create();
  ~AudioProcessManager();

  void startRunningStatusTimer();
  // (Re)starts the monitor at the current interval.
  MonitoringStatus startProcessMonitoring();
  // Sets the interval when one is given (floored, restarting a running
  // monitor), then (re)starts the monitor, in one step.
  MonitoringStatus enableProcessMonitoring(std::optional<double> interval);
  void stopProcessMonitoring();
  // Floors the interval at the minimum; restarts a running monitor.
  MonitoringStatus setMonitoringInterval(double interval);
  MonitoringStatus monitoringStatus() const;
  double monitoringInterval() const { return monitoringStatus().interval; }
  bool isMonitoring() const { return monitoringStatus().enabled; }

  void checkForProcessChanges();
  void emitProcessChanges(const AudioProcessChanges& changes);
  void checkRunningStatus();

  void loadProcessList();
  std::vector<AudioProcessInfo> getAllProcesses() const;
  std::vector<AudioProcessInfo> getRunningProcesses() const;
  std::optional<AudioProcessInfo> getProcess(AudioObjectID id) const;
  std::vector<AudioProcessInfo> getProcessesByName(const std::string& name) const;

  void startListening();
  void stopListening();
  void emitProcessList();
  void processListChanged();

  void setDelegate(std::weak_ptr<AudioProcessMonitorDelegate> delegate);

  // The interval actually used for a requested one: never below the minimum.
  static double clampInterval(double interval);

  static std::int32_t getProcessPID(AudioObjectID id);
  static std::string getProcessBundleID(AudioObjectID id);
  static bool isProcessRunning(AudioObjectID id);
  static std::string getProcessName(AudioObjectID id, std::int32_t pid);

  // The workspace's answers for listed process objects, and the one lookup
  // that may be in flight; shared with that lookup, which can outlive the
  // reload that stopped waiting for it.
  struct NameLookups;

 private:
  AudioProcessManager();
  // Reads the HAL's list and installs it; the caller holds updateMutex_.
  std::vector<AudioProcessInfo> reloadLocked();
  // Starts the monitor's timer; the caller holds monitorControlMutex_.
  std::string restartMonitorLocked(double interval);
  void publishMonitoring(MonitoringStatus status);
  void logLoaded(std::size_t count);

  EventEmitter eventEmitter_;
  audiohal::AudioHardware& hal_;
  const std::shared_ptr<NameLookups> names_;

  std::mutex monitorControlMutex_;
  std::mutex updateMutex_;
  mutable std::mutex mutex_;
  std::vector<AudioProcessInfo> processes_;        // sorted by name
  std::set<AudioObjectID> lastProcessIDs_;         // the monitor's baseline
  std::set<AudioObjectID> listenerProcessIDs_;     // the listener's baseline
  std::map<AudioObjectID, bool> reportedRunning_;  // the running-status tick's baseline
  MonitoringStatus monitoring_;
  std::weak_ptr<AudioProcessMonitorDelegate> delegate_;
  bool isListening_ = false;
  audiohal::AudioObjectPropertyListenerBlock propertyListenerToken_;

  const audiohal::AudioObjectPropertyAddress processListAddress_;
  runtime::RepeatingTimer monitorTimer_;
  runtime::RepeatingTimer runningStatusTimer_;
};

}  // namespace velmar
