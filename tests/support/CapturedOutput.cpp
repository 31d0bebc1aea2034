#include "support/CapturedOutput.h"

#include <unistd.h>

#include "protocol/ProcessStreams.h"

namespace velmar::testing {

namespace {
std::unique_ptr<LineCollector> openPipe(int& writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  writeEnd = fds[1];
  return std::make_unique<LineCollector>(fds[0]);
}
}  // namespace

CapturedOutput::CapturedOutput()
    : out_(openPipe(outWrite_)), err_(openPipe(errWrite_)), frames_(out_.get()) {
  ProcessStreams::redirect(outWrite_, errWrite_);
}

CapturedOutput::~CapturedOutput() {
  ProcessStreams::restoreDefaults();
  ::close(outWrite_);
  ::close(errWrite_);
  out_.reset();
  err_.reset();
}

}  // namespace velmar::testing
