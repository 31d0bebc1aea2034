#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "coreaudio/AudioHardware.h"
#include "protocol/EventEmitter.h"
#include "runtime/RepeatingTimer.h"
#include "taps/AudioProcessChanges.h"
#include "taps/AudioProcessInfo.h"

namespace velmar {

// The registry of the HAL's audio processes and its three watchers: the HAL
// listener on the process list (additions and removals as they happen), the
// process monitor (a repeating comparison against the previous tick, reported
// to the delegate), and the 2-second running-status timer.
//
// Thread safety: `mutex_` guards the registry, the monitor baseline, the
// interval and the delegate. HAL reads and output happen outside it.
class AudioProcessManager : public std::enable_shared_from_this<AudioProcessManager> {
 public:
  static constexpr double kDefaultMonitoringInterval = 5.0;
  static constexpr double kMinimumMonitoringInterval = 1.0;
  static constexpr double kRunningStatusPeriod = 2.0;
  static constexpr double kNameLookupTimeout = 1.0;

  // Loads the list, starts the running-status timer, takes the baseline.
  static std::shared_ptr<AudioProcessManager> create();
  ~AudioProcessManager();

  void startRunningStatusTimer();
  void startProcessMonitoring();
  void stopProcessMonitoring();
  void setMonitoringInterval(double interval);
  double monitoringInterval() const;
  bool isMonitoring() const { return monitorTimer_.isActive(); }

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

 private:
  AudioProcessManager();
  std::set<AudioObjectID> currentIDs() const;

  EventEmitter eventEmitter_;
  coreaudio::AudioHardware& hal_;

  mutable std::mutex mutex_;
  std::vector<AudioProcessInfo> processes_;  // sorted by name
  std::set<AudioObjectID> lastProcessIDs_;
  double monitoringInterval_ = kDefaultMonitoringInterval;
  std::weak_ptr<AudioProcessMonitorDelegate> delegate_;
  bool isListening_ = false;
  coreaudio::AudioObjectPropertyListenerBlock propertyListenerToken_;

  const coreaudio::AudioObjectPropertyAddress processListAddress_;
  runtime::RepeatingTimer monitorTimer_;
  runtime::RepeatingTimer runningStatusTimer_;
};

}  // namespace velmar
