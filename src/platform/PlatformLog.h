#pragma once

namespace velmar::platform {

// The platform's logging call: one printf-style line on standard error.
// Formats into a fixed stack buffer (lines are cut at 1 KiB), so it never
// allocates, and never waits on the stream (lines go through the diagnostic
// ring; see ProcessStreams).
void platformLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for real-time threads: never waits on another thread either, so
// under contention the line may be dropped (and counted).
void platformLogRealtime(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmar::platform
