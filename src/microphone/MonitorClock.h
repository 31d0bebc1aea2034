#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace velmar {

// The clocks the microphone monitors read: wall time for schedules and event
// timestamps, a steady clock for measuring how long work took. Injected so
// tests can drive the schedules without waiting. Both functions must be safe
// to call from a real-time thread (no allocation, no lock).
struct MonitorClock {
  std::function<std::chrono::system_clock::time_point()> wallNow;
  std::function<std::chrono::steady_clock::time_point()> steadyNow;

  static MonitorClock system() {
    return {[] { return std::chrono::system_clock::now(); },
            [] { return std::chrono::steady_clock::now(); }};
  }
};

// Milliseconds since 1970 of a wall time, truncated toward zero.
inline std::int64_t millisSinceEpoch(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

inline double secondsSinceEpoch(std::chrono::system_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

}  // namespace velmar
