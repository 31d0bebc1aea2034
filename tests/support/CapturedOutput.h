#pragma once

#include "support/Frames.h"

namespace velmar::testing {

// Points the process streams at pipes for the lifetime of the object, so a
// test can read back the frames and log lines written in-process.
class CapturedOutput : public CollectedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();

 private:
  int outWrite_ = -1;
  int errWrite_ = -1;
};

}  // namespace velmar::testing
