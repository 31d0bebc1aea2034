#include "sim/ScenarioTimeline.h"

#include "sim/SimulatedSystemServices.h"

namespace velmar::sim {

ScenarioTimeline::ScenarioTimeline(std::vector<ScenarioEvent> events,
                                   SimulatedAudioHardware& hardware,
                                   SimulatedSystemServices& system)
    : events_(std::move(events)), hardware_(hardware), system_(system) {}

ScenarioTimeline::~ScenarioTimeline() { stop(); }

void ScenarioTimeline::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable() || events_.empty()) return;
  stopping_ = false;
  thread_ = std::thread([this, origin = std::chrono::steady_clock::now()] { run(origin); });
}

void ScenarioTimeline::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  stopRequested_.notify_all();
  if (thread.joinable()) thread.join();
}

size_t ScenarioTimeline::advanceTo(double seconds) {
  std::lock_guard lock(mutex_);
  size_t applied = 0;
  while (next_ < events_.size() && events_[next_].at <= seconds) {
    events_[next_++].apply(hardware_, system_);
    ++applied;
  }
  return applied;
}

size_t ScenarioTimeline::appliedCount() const {
  std::lock_guard lock(mutex_);
  return next_;
}

void ScenarioTimeline::run(std::chrono::steady_clock::time_point origin) {
  auto dueOf = [origin](const ScenarioEvent& event) {
    return origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(event.at));
  };
  std::unique_lock lock(mutex_);
  while (!stopping_ && next_ < events_.size()) {
    if (stopRequested_.wait_until(lock, dueOf(events_[next_]), [this] { return stopping_; })) {
      return;
    }
    // advanceTo() may have moved on while we waited; apply only what is due.
    // The machine never calls back into the timeline, so applying under the
    // lock cannot deadlock.
    if (next_ < events_.size() && std::chrono::steady_clock::now() >= dueOf(events_[next_])) {
      events_[next_++].apply(hardware_, system_);
    }
  }
}

}  // namespace velmar::sim
