#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace velmar::runtime {

// At most `limit` pieces of work taken and not yet finished. A producer that
// would exceed it waits in acquire() until slots are given back, so whoever
// feeds it (a reader of a pipe) is slowed rather than anything being queued
// without bound. A slot is given back when the last copy of it goes away.
// A waiting producer is woken once a quarter of the slots are free again, not
// for each one, so a full limit costs a wake-up per batch rather than a
// thread switch per piece of work.
class InFlightLimit {
 public:
  using Slot = std::shared_ptr<void>;
  // Called (outside the lock, on the thread that gave back the last slot)
  // when the count falls to zero; `peak` is the highest count since the
  // previous call.
  using IdleCallback = std::function<void(std::size_t peak)>;

  explicit InFlightLimit(std::size_t limit, IdleCallback onIdle = {})
      : state_(std::make_shared<State>(limit, std::move(onIdle))) {}

  // Waits while `limit` slots are out, then takes one.
  Slot acquire() {
    {
      std::unique_lock lock(state_->mutex);
      if (state_->inFlight >= state_->limit) {
        ++state_->waiting;
        state_->changed.wait(lock, [&] { return state_->inFlight <= state_->resumeAt; });
        --state_->waiting;
      }
      ++state_->inFlight;
      if (state_->inFlight > state_->peak) state_->peak = state_->inFlight;
    }
    // The slot holds the state, so it may outlive the limit object.
    return Slot(nullptr, [state = state_](void*) { state->release(); });
  }

  std::size_t limit() const { return state_->limit; }
  std::size_t inFlight() const {
    std::lock_guard lock(state_->mutex);
    return state_->inFlight;
  }

 private:
  struct State {
    State(std::size_t l, IdleCallback idle)
        : limit(l == 0 ? 1 : l), resumeAt(limit - (limit + 3) / 4), onIdle(std::move(idle)) {}
    void release() {
      std::size_t idlePeak = 0;
      bool wake = false;
      {
        std::lock_guard lock(mutex);
        --inFlight;
        if (inFlight == 0) {
          idlePeak = peak;
          peak = 0;
        }
        wake = waiting > 0 && inFlight == resumeAt;
      }
      if (wake) changed.notify_all();
      if (idlePeak > 0 && onIdle) onIdle(idlePeak);
    }

    const std::size_t limit;
    const std::size_t resumeAt;  // a waiting producer goes on at this count
    const IdleCallback onIdle;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::size_t inFlight = 0;
    std::size_t peak = 0;
    std::size_t waiting = 0;  // producers in acquire()
  };
  std::shared_ptr<State> state_;
};

}  // namespace velmar::runtime
