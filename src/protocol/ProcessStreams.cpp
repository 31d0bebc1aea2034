#include "protocol/ProcessStreams.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "protocol/DiagnosticLog.h"
#include "protocol/WriteFully.h"

namespace velmar {

namespace {

using namespace std::chrono_literals;

// Long enough for a test's reader to take what is queued before a redirect.
constexpr auto kRedirectTimeout = 5s;

std::atomic<int> gOutFd{STDOUT_FILENO};

std::mutex& outMutex() {
  static auto* m = new std::mutex;
  return *m;
}

// Never destroyed: lines may be logged until the process exits.
DiagnosticLog& diagnostics() {
  static auto* log = new DiagnosticLog(STDERR_FILENO);
  return *log;
}

}  // namespace

void ProcessStreams::writeFrame(std::string_view frame) {
  std::lock_guard lock(outMutex());
  writeFully(gOutFd.load(std::memory_order_relaxed), frame);
}

void ProcessStreams::writeLine(std::string_view line, LinePriority priority) {
  diagnostics().write(line, priority);
}

void ProcessStreams::tryWriteLine(std::string_view line) { diagnostics().tryWrite(line); }

bool ProcessStreams::flushLines(std::chrono::milliseconds timeout) {
  return diagnostics().flush(timeout);
}

std::uint64_t ProcessStreams::droppedLineCount() { return diagnostics().droppedCount(); }

void ProcessStreams::redirect(int outFd, int errFd) {
  diagnostics().redirect(errFd, kRedirectTimeout);
  std::lock_guard lock(outMutex());
  gOutFd = outFd;
}

void ProcessStreams::restoreDefaults() { redirect(STDOUT_FILENO, STDERR_FILENO); }

}  // namespace velmar
