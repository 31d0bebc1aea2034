#pragma once

#include <atomic>
#include <chrono>

#include "microphone/MonitorClock.h"

namespace velmar::testing {

// A clock the test moves by hand. Wall time stands still until advanced;
// every steady-clock read moves the steady clock on by `perSteadyRead`, so
// anything timed between two reads appears to take exactly that long. Wall
// time may instead follow the steady clock (it reads the last steady read).
class FakeMonitorClock {
 public:
  using Wall = std::chrono::system_clock;
  using Steady = std::chrono::steady_clock;

  // 2027-01-15 08:00:00 UTC.
  static constexpr std::int64_t kStartMillis = 1800000000000;

  MonitorClock clock() {
    return {[this] {
              const std::int64_t followed =
                  wallFollowsSteady_ ? (steadyNanos_ - perSteadyReadNanos_) / 1000000 : 0;
              return Wall::time_point(std::chrono::milliseconds(wallMillis_ + followed));
            },
            [this] {
              return Steady::time_point(std::chrono::nanoseconds(
                  steadyNanos_.fetch_add(perSteadyReadNanos_.load()) + 1000000000000));
            }};
  }

  void advance(std::chrono::milliseconds by) { wallMillis_ += by.count(); }
  void setPerSteadyRead(std::chrono::nanoseconds step) { perSteadyReadNanos_ = step.count(); }
  void setWallFollowsSteady() { wallFollowsSteady_ = true; }

 private:
  std::atomic<std::int64_t> wallMillis_{kStartMillis};
  std::atomic<std::int64_t> steadyNanos_{0};
  std::atomic<std::int64_t> perSteadyReadNanos_{0};
  std::atomic<bool> wallFollowsSteady_{false};
};

}  // namespace velmar::testing
