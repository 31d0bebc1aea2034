#pragma once

#include <string>

namespace velmar {

// Shortest decimal that reads back exactly, always with a fractional part:
// 5 is written "5.0", 2.5 stays "2.5". Used for intervals in log lines.
std::string formatShortestDouble(double value);

// printf "%.2f": durations in METRIC and warning lines.
std::string formatTwoDecimals(double value);

}  // namespace velmar
