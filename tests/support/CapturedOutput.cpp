#include "support/CapturedOutput.h"

#include <unistd.h>

#include <cstdlib>

#include "protocol/ProcessStreams.h"

namespace velmar::testing {

CapturedOutput::CapturedOutput() {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
  outWrite_ = out[1];
  errWrite_ = err[1];
  collect(out[0], err[0]);
  ProcessStreams::redirect(outWrite_, errWrite_);
}

CapturedOutput::~CapturedOutput() {
  ProcessStreams::restoreDefaults();
  ::close(outWrite_);
  ::close(errWrite_);
  stopCollecting();
}

}  // namespace velmar::testing
