#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/EventEmitter.h"
#include "support/Frames.h"

namespace velmar::testing {

// Output written in-process reaches the test through a pipe and a reader
// thread. These write a marker after it and wait for that, so everything
// written before is there to be looked at, and nothing later is counted.
inline std::string nextMarker() {
  static std::atomic<int> counter{0};
  return "test-marker-" + std::to_string(++counter);
}

inline std::vector<std::string> logLinesSoFar(const CollectedOutput& output) {
  const std::string marker = nextMarker();
  EventEmitter().logToStderr(marker);
  EXPECT_TRUE(output.waitForLog(marker));
  std::vector<std::string> lines;
  for (const auto& line : output.err().lines()) {
    if (line.rfind("test-marker-", 0) != 0) lines.push_back(line);
  }
  return lines;
}

inline std::vector<Frame> eventsSoFar(const CollectedOutput& output, const std::string& name) {
  const std::string marker = nextMarker();
  EventEmitter().emitEvent("testMarker", {{"marker", marker}});
  EXPECT_TRUE(output.frames().waitForFrame([&](const Frame& f) {
    return f.isEvent("testMarker") && f.body["data"]["marker"] == marker;
  }));
  std::vector<Frame> events;
  for (const auto& frame : output.frames().frames()) {
    if (frame.isEvent(name)) events.push_back(frame);
  }
  return events;
}

}  // namespace velmar::testing
