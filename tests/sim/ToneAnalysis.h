#pragma once

#include <cmath>
#include <numbers>
#include <vector>

namespace velmar::testing {

// Whether `frequency` is clearly present in a block of samples (an amplitude
// of roughly 0.1 or more): its power by Goertzel, normalised so a full-scale
// sine at that frequency gives about 0.25.
inline bool hasTone(const std::vector<float>& samples, double frequency, double rate) {
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
  double previous = 0;
  double beforePrevious = 0;
  for (float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious -
                       coefficient * previous * beforePrevious;
  const double n = static_cast<double>(samples.size());
  return power / (n * n) > 0.002;
}

}  // namespace velmar::testing
