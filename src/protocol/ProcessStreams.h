#pragma once

#include <string_view>

namespace velmar {

// The two process streams every emitter writes. Each call reaches its stream
// as one unbroken run of bytes (one lock per stream, a write() loop that
// finishes partial writes), so frames and log lines never interleave.
class ProcessStreams {
 public:
  // One complete frame on standard output.
  static void writeFrame(std::string_view frame);
  // One diagnostic line on standard error; the line feed is added here.
  static void writeLine(std::string_view line);

  // Points the streams at other descriptors (tests capture output this way).
  static void redirect(int outFd, int errFd);
  static void restoreDefaults();
};

}  // namespace velmar
