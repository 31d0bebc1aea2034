#pragma once

#include <chrono>
#include <vector>

#include "taps/AudioProcessInfo.h"

namespace velmar {

// The report of one process-monitor tick.
struct AudioProcessChanges {
  std::vector<AudioProcessInfo> addedProcesses;
  std::vector<AudioObjectID> removedProcesses;
  std::int32_t totalCount = 0;
  std::int32_t runningCount = 0;
  std::chrono::system_clock::time_point timestamp;

  bool isSignificant() const { return !addedProcesses.empty() || !removedProcesses.empty(); }
};

// Told about significant monitor reports, on the monitor's (main) thread.
class AudioProcessMonitorDelegate {
 public:
  virtual ~AudioProcessMonitorDelegate() = default;
  virtual void processMonitorDidDetectChanges(const AudioProcessChanges& changes) = 0;
  // The HAL's process list changed (main thread, as it happens, before the
  // monitor's next report).
  virtual void processListDidChange(const std::vector<AudioObjectID>& added,
                                    const std::vector<AudioObjectID>& removed) {
    (void)added;
    (void)removed;
  }
};

}  // namespace velmar
