#include "platform/PlatformLog.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "protocol/ProcessStreams.h"

namespace velmar::platform {

namespace {

constexpr int kLineBytes = 1024;

std::string_view formatLine(char (&buffer)[kLineBytes], const char* format, va_list args) {
  const int written = std::vsnprintf(buffer, kLineBytes, format, args);
  if (written < 0) return {};
  return {buffer, static_cast<std::size_t>(written < kLineBytes ? written : kLineBytes - 1)};
}

}  // namespace

void platformLog(const char* format, ...) {
  char buffer[kLineBytes];
  va_list args;
  va_start(args, format);
  const std::string_view line = formatLine(buffer, format, args);
  va_end(args);
  ProcessStreams::writeLine(line);
}

void platformLogRealtime(const char* format, ...) {
  char buffer[kLineBytes];
  va_list args;
  va_start(args, format);
  const std::string_view line = formatLine(buffer, format, args);
  va_end(args);
  ProcessStreams::tryWriteLine(line);
}

}  // namespace velmar::platform
