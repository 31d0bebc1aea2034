#include "protocol/ProcessStreams.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

namespace velmar {

namespace {

std::atomic<int> gOutFd{STDOUT_FILENO};
std::atomic<int> gErrFd{STDERR_FILENO};

std::mutex& outMutex() {
  static auto* m = new std::mutex;
  return *m;
}

std::mutex& errMutex() {
  static auto* m = new std::mutex;
  return *m;
}

// Writes everything, retrying on interruption and partial writes. A stream
// left non-blocking by the parent is waited on rather than dropped. Other
// errors (the reader went away) end the attempt: there is no one to tell.
void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    return;
  }
}

}  // namespace

void ProcessStreams::writeFrame(std::string_view frame) {
  std::lock_guard lock(outMutex());
  writeAll(gOutFd.load(std::memory_order_relaxed), frame.data(), frame.size());
}

void ProcessStreams::writeLine(std::string_view line) {
  // Assembled first so the line and its line feed go out in one write.
  thread_local std::string buffer;
  buffer.assign(line);
  buffer.push_back('\n');
  std::lock_guard lock(errMutex());
  writeAll(gErrFd.load(std::memory_order_relaxed), buffer.data(), buffer.size());
}

void ProcessStreams::redirect(int outFd, int errFd) {
  std::scoped_lock lock(outMutex(), errMutex());
  gOutFd = outFd;
  gErrFd = errFd;
}

void ProcessStreams::restoreDefaults() { redirect(STDOUT_FILENO, STDERR_FILENO); }

}  // namespace velmar
