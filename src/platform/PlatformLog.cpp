#include "platform/PlatformLog.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "protocol/ProcessStreams.h"

namespace velmar::platform {

namespace {

constexpr int kLineBytes = 1024;

// Formats on the stack and hands the line to `sink`.
void logWith(void (*sink)(std::string_view), const char* format, va_list args) {
  char buffer[kLineBytes];
  const int written = std::vsnprintf(buffer, kLineBytes, format, args);
  if (written < 0) return;
  sink({buffer, static_cast<std::size_t>(written < kLineBytes ? written : kLineBytes - 1)});
}

}  // namespace

void platformLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  logWith([](std::string_view line) { ProcessStreams::writeLine(line); }, format, args);
  va_end(args);
}

void platformLogRealtime(const char* format, ...) {
  va_list args;
  va_start(args, format);
  logWith(&ProcessStreams::tryWriteLine, format, args);
  va_end(args);
}

}  // namespace velmar::platform
