#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/MachineScenario.h"

namespace velmar::sim {

class SimulatedSystemServices;

// Plays a scenario's timeline against the simulated machine: either in real
// time on its own thread, counted from start(), or step by step through
// advanceTo() (tests). Each event is applied once, in time order.
class ScenarioTimeline {
 public:
  ScenarioTimeline(std::vector<ScenarioEvent> events, SimulatedAudioHardware& hardware,
                   SimulatedSystemServices& system);
  ~ScenarioTimeline();
  ScenarioTimeline(const ScenarioTimeline&) = delete;
  ScenarioTimeline& operator=(const ScenarioTimeline&) = delete;

  // Starts the real-time thread; events are due relative to this call.
  void start();
  void stop();
  // Applies every pending event due at or before `seconds`; returns how
  // many were applied.
  size_t advanceTo(double seconds);
  size_t appliedCount() const;
  size_t eventCount() const { return events_.size(); }

 private:
  void run(std::chrono::steady_clock::time_point origin);

  const std::vector<ScenarioEvent> events_;
  SimulatedAudioHardware& hardware_;
  SimulatedSystemServices& system_;
  mutable std::mutex mutex_;
  std::condition_variable stopRequested_;
  size_t next_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace velmar::sim
