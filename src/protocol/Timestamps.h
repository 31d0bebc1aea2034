#pragma once

#include <chrono>
#include <cstdint>

namespace velmar {

// Wall-clock milliseconds since the Unix epoch, truncated toward zero: the
// timestamp of every frame and of most event data.
inline std::int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Wall-clock seconds since the epoch as a double.
inline double nowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace velmar
