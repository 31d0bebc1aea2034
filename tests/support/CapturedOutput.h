#pragma once

#include <memory>

#include "support/Frames.h"

namespace velmar::testing {

// Points the process streams at pipes for the lifetime of the object, so a
// test can read back the frames and log lines written in-process.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();

  const LineCollector& out() const { return *out_; }
  const LineCollector& err() const { return *err_; }
  const FrameReader& frames() const { return frames_; }
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 5s) const {
    return err_->waitForLineContaining(text, timeout);
  }

 private:
  int outWrite_ = -1;
  int errWrite_ = -1;
  std::unique_ptr<LineCollector> out_;
  std::unique_ptr<LineCollector> err_;
  FrameReader frames_;
};

}  // namespace velmar::testing
