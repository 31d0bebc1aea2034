#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "protocol/LinePriority.h"
#include "runtime/WakeSignal.h"

namespace velmar {

// Diagnostic lines on their way to a descriptor (standard error): a bounded
// ring of whole lines that one writer thread drains. Callers only copy their
// line into the ring, so no thread but the writer ever waits on the stream:
// a host that never reads standard error cannot stall the service.
//
// When the ring is full (the stream is not being drained), lines that do not
// fit are dropped and counted; once room returns, one line says how many were
// dropped. Part of the ring's room is reserved for essential lines (ordinary
// ones cannot use it), so those are queued even then. Lines that are written
// are whole and in the order they were queued, whatever their priority.
class DiagnosticLog {
 public:
  // About 3,500 lines: several seconds of streaming while nobody reads. It
  // is resident all the time (real-time writers must not fault), so no more.
  static constexpr std::size_t kDefaultCapacity = 256 * 1024;
  // Start-up and shutdown lines come to a few hundred bytes; this holds them
  // many times over, with the drop notices in front of them.
  static constexpr std::size_t kDefaultEssentialReserve = 8 * 1024;

  // The reserve is at most half the capacity.
  explicit DiagnosticLog(int fd, std::size_t capacity = kDefaultCapacity,
                         std::size_t essentialReserve = kDefaultEssentialReserve);
  // Stops the writer; lines still queued are not written (flush() first).
  ~DiagnosticLog();
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  // Queues `line` and a line feed, or drops it when it does not fit (an
  // essential line may use the reserve too). Waits for nothing but the
  // ring's lock, which is held only to copy.
  void write(std::string_view line, LinePriority priority = LinePriority::ordinary);
  // The same for real-time threads: rather than wait for the ring's lock
  // while another thread copies, the line is dropped (and counted). Never
  // allocates.
  void tryWrite(std::string_view line);

  // Waits until every line queued before the call is written, at most
  // `timeout` in all (false when it gave up).
  bool flush(std::chrono::milliseconds timeout);
  // Sends later lines to `fd`, after what is queued has gone to the old one
  // (or the flush gave up).
  void redirect(int fd, std::chrono::milliseconds timeout);

  // Lines dropped since construction.
  std::uint64_t droppedCount() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void run();
  bool appendLocked(std::string_view line, LinePriority priority);
  void reportDropsLocked(LinePriority priority);
  void drop();

  const std::size_t capacity_;
  const std::size_t essentialReserve_;
  std::unique_ptr<char[]> ring_;

  std::mutex mutex_;
  std::condition_variable progress_;  // the writer moved tail_ (flush waits on it)
  // Byte positions, counted from the start: [tail_, head_) is queued; the
  // writer's chunk in flight stays reserved until tail_ passes it.
  std::uint64_t head_ = 0;
  std::uint64_t tail_ = 0;
  std::uint64_t unreported_ = 0;  // drops not yet announced by a line
  int fd_;
  bool stopping_ = false;

  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> contended_{0};  // tryWrite drops, folded into unreported_
  runtime::WakeSignal wake_;
  std::thread thread_;
};

}  // namespace velmar
