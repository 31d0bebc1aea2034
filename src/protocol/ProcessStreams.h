#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "protocol/LinePriority.h"

namespace velmar {

// The two process streams every emitter writes.
//
// Standard output: each frame is written whole by its caller, under one lock,
// with a write loop that finishes partial writes, so frames never interleave.
// A caller waits there while the host is not reading; callers must not hold
// a manager's lock, and real-time threads hand their frames to an
// AudioFrameQueue instead.
//
// Standard error: lines go through a DiagnosticLog, so a caller never waits
// on the stream (ordinary lines are dropped and counted when the host does
// not read it; essential ones have a reserve of their own).
class ProcessStreams {
 public:
  // One complete frame on standard output.
  static void writeFrame(std::string_view frame);
  // One diagnostic line on standard error; the line feed is added here.
  static void writeLine(std::string_view line, LinePriority priority = LinePriority::ordinary);
  // The same for real-time threads: never waits for another thread either.
  static void tryWriteLine(std::string_view line);

  // Waits until the queued diagnostic lines are written, at most `timeout`
  // (process exit: a host that does not read is waited for no longer).
  static bool flushLines(std::chrono::milliseconds timeout);
  static std::uint64_t droppedLineCount();

  // Points the streams at other descriptors (tests capture output this way),
  // once the lines already queued have gone to the old one.
  static void redirect(int outFd, int errFd);
  static void restoreDefaults();
};

}  // namespace velmar
