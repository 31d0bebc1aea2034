#pragma once

#include <cmath>
#include <numbers>
#include <vector>

namespace velmar::testing {

// Power of one frequency in a block of samples (Goertzel), normalised so a
// full-scale sine at that frequency gives about 0.25.
inline double tonePower(const std::vector<float>& samples, double frequency, double rate) {
  const double omega = 2 * std::numbers::pi * frequency / rate;
  const double coefficient = 2 * std::cos(omega);
  double previous = 0;
  double beforePrevious = 0;
  for (float sample : samples) {
    double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  double power = previous * previous + beforePrevious * beforePrevious -
                 coefficient * previous * beforePrevious;
  double n = static_cast<double>(samples.size());
  return power / (n * n);
}

// Whether `frequency` is clearly present (amplitude of roughly 0.1 or more).
inline bool hasTone(const std::vector<float>& samples, double frequency, double rate) {
  return tonePower(samples, frequency, rate) > 0.002;
}

}  // namespace velmar::testing
