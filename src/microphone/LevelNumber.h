#pragma once

#include <charconv>
#include <system_error>

namespace velmar {

// A 32-bit level as the JSON number a reader would write for it: the shortest
// decimal that reads back as the same float (0.36, not 0.36000001430511475).
inline double levelNumber(float value) {
  char text[32];
  auto written = std::to_chars(text, text + sizeof(text), value);
  if (written.ec != std::errc()) return value;
  double number = value;
  std::from_chars(text, written.ptr, number);
  return number;
}

}  // namespace velmar
