#include "protocol/DiagnosticLog.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "protocol/WriteFully.h"
#include "runtime/ThreadName.h"

namespace velmar {

namespace {
constexpr int kLockAttempts = 64;

// A spin hint, not a system call: real-time callers must not be descheduled.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}
}  // namespace

DiagnosticLog::DiagnosticLog(int fd, std::size_t capacity, std::size_t essentialReserve)
    : capacity_(capacity),
      essentialReserve_(std::min(essentialReserve, capacity / 2)),
      ring_(new char[capacity]),
      fd_(fd) {
  // Touched up front, so a real-time caller never takes a page fault in it.
  std::memset(ring_.get(), 0, capacity_);
  thread_ = std::thread([this] {
    runtime::nameThisThread("stderr-writer");
    run();
  });
}

DiagnosticLog::~DiagnosticLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.forceNotify();
  thread_.join();
}

void DiagnosticLog::write(std::string_view line, LinePriority priority) {
  {
    std::lock_guard lock(mutex_);
    // The notice of earlier drops goes in front of an essential line too, so
    // what the host reads stays in the order it happened.
    reportDropsLocked(priority);
    if (!appendLocked(line, priority)) drop();
  }
  wake_.notify();
}

void DiagnosticLog::tryWrite(std::string_view line) {
  {
    // The lock is held only to copy a line in or out, so a short bounded spin
    // nearly always gets it.
    std::unique_lock lock(mutex_, std::try_to_lock);
    for (int attempt = 0; !lock && attempt < kLockAttempts; ++attempt) {
      cpuRelax();
      lock.try_lock();
    }
    if (!lock) {
      contended_.fetch_add(1, std::memory_order_relaxed);
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    reportDropsLocked(LinePriority::ordinary);
    if (!appendLocked(line, LinePriority::ordinary)) drop();
  }
  wake_.notify();
}

void DiagnosticLog::drop() {
  ++unreported_;
  dropped_.fetch_add(1, std::memory_order_relaxed);
}

bool DiagnosticLog::appendLocked(std::string_view line, LinePriority priority) {
  const std::size_t size = line.size() + 1;
  const std::size_t room =
      priority == LinePriority::essential ? capacity_ : capacity_ - essentialReserve_;
  // Essential lines may already fill part of the reserve: compare without
  // subtracting, so the ordinary room cannot underflow.
  if (head_ - tail_ + size > room) return false;
  const std::size_t start = head_ % capacity_;
  const std::size_t first = std::min(line.size(), capacity_ - start);
  std::memcpy(ring_.get() + start, line.data(), first);
  std::memcpy(ring_.get(), line.data() + first, line.size() - first);
  ring_[(head_ + line.size()) % capacity_] = '\n';
  head_ += size;
  return true;
}

void DiagnosticLog::reportDropsLocked(LinePriority priority) {
  unreported_ += contended_.exchange(0, std::memory_order_relaxed);
  if (unreported_ == 0) return;
  // Formatted on the stack: this also runs on real-time threads.
  char notice[96];
  constexpr std::string_view kHead = "⚠️ ";
  constexpr std::string_view kTail = " diagnostic lines dropped: standard error was not read";
  char* at = std::copy(kHead.begin(), kHead.end(), notice);
  at = std::to_chars(at, notice + sizeof notice, unreported_).ptr;
  at = std::copy(kTail.begin(), kTail.end(), at);
  if (appendLocked(std::string_view(notice, static_cast<std::size_t>(at - notice)), priority)) {
    unreported_ = 0;
  }
}

void DiagnosticLog::run() {
  // While lines keep coming the writer polls instead of sleeping until woken:
  // waking a sleeping thread costs its caller a system call and, on a
  // virtual machine, tens of microseconds, which a real-time caller must not
  // pay once per IO cycle. It also gathers a burst into one write. After a
  // quiet second it sleeps until the next line wakes it.
  using Clock = std::chrono::steady_clock;
  constexpr auto kPollInterval = std::chrono::milliseconds(20);
  constexpr auto kPollingSpan = std::chrono::seconds(1);
  auto lastWrite = Clock::now();
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (head_ == tail_ && Clock::now() - lastWrite < kPollingSpan) {
      lock.unlock();
      std::this_thread::sleep_for(kPollInterval);
      lock.lock();
      continue;
    }
    if (head_ == tail_) {
      lock.unlock();
      const auto token = wake_.prepareWait();
      lock.lock();
      if (head_ != tail_ || stopping_) {
        wake_.cancelWait();
        continue;
      }
      lock.unlock();
      wake_.wait(token);
      lock.lock();
      lastWrite = Clock::now();
      continue;
    }
    // One contiguous run of whole lines (split only where the ring wraps);
    // it stays reserved while it is written without the lock.
    const std::size_t start = tail_ % capacity_;
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(head_ - tail_, capacity_ - start));
    const int fd = fd_;
    lock.unlock();
    // A stream that fails (the reader is gone) loses these lines; nobody is
    // left to read them.
    writeFully(fd, std::string_view(ring_.get() + start, size));
    lock.lock();
    lastWrite = Clock::now();
    tail_ += size;
    reportDropsLocked(LinePriority::ordinary);
    progress_.notify_all();
  }
}

bool DiagnosticLog::flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = head_;
  return progress_.wait_for(lock, timeout, [&] { return tail_ >= target; });
}

void DiagnosticLog::redirect(int fd, std::chrono::milliseconds timeout) {
  flush(timeout);
  std::lock_guard lock(mutex_);
  fd_ = fd;
}

}  // namespace velmar
