#include "protocol/NumberFormat.h"

#include <charconv>
#include <cstdio>

namespace velmar {

std::string formatShortestDouble(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::string formatTwoDecimals(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

}  // namespace velmar
