#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "runtime/ByteRing.h"
#include "runtime/WakeSignal.h"

namespace velmar {

// Captured buffers on their way from the IO thread to the conversion worker:
// one producer (the IO thread), one consumer (the worker), a preallocated
// byte ring of variable-size records. The producer copies and returns: no
// lock, no allocation, at most a futex wake. A buffer that does not fit is
// refused (the newest gives way here, so what the worker already has stays
// continuous) and counted.
//
// Every push, kept or refused, also leaves the stream's position (a sequence
// lock of atomics), so the worker can tell buffers that were refused after a
// stream's last record from buffers that never came.
class ConversionRing {
 public:
  static constexpr std::size_t kDefaultCapacityBytes = 1024 * 1024;
  static constexpr std::uint32_t kMaxStreams = 64;

  // What travels with each buffer: its place in the stream's input
  // numbering, its format, and the shape the host asked for when the IO
  // thread took it.
  struct Record {
    std::uint32_t stream = 0;
    std::uint32_t generation = 0;
    std::uint64_t sequence = 0;
    std::uint64_t framesBefore = 0;
    std::uint32_t frames = 0;
    std::uint32_t channels = 0;
    double sampleRate = 0;
    double hostTime = 0;
    bool convert = false;
    std::uint32_t outRate = 0;
    std::uint32_t outChannels = 0;
    std::uint32_t chunkMs = 0;
    std::uint32_t bytes = 0;  // PCM bytes after the record
  };

  // Where a stream's input numbering has got to.
  struct Mark {
    std::uint32_t generation = 0;
    std::uint64_t nextSequence = 0;
    std::uint64_t nextFrame = 0;
  };

  // The ring is touched here, so the producer takes no page faults.
  explicit ConversionRing(std::size_t capacityBytes = kDefaultCapacityBytes);
  ConversionRing(const ConversionRing&) = delete;
  ConversionRing& operator=(const ConversionRing&) = delete;

  // Producer (IO thread). False when refused.
  bool push(const Record& record, std::span<const std::uint8_t> pcm);

  // Consumer. Takes the oldest record and its PCM (as 16-bit samples).
  bool pop(Record& record, std::vector<std::int16_t>& pcm);
  bool empty() const;
  // The stream's latest mark; nothing while the producer is writing it.
  std::optional<Mark> mark(std::uint32_t stream) const;

  std::uint64_t refusedCount() const { return refused_.load(std::memory_order_relaxed); }
  runtime::WakeSignal& wake() { return wake_; }
  std::size_t capacityBytes() const { return ring_.capacity(); }

 private:
  void leaveMark(const Record& record);

  struct StreamMark {
    std::atomic<std::uint32_t> version{0};
    std::atomic<std::uint32_t> generation{0};
    std::atomic<std::uint64_t> nextSequence{0};
    std::atomic<std::uint64_t> nextFrame{0};
  };
  std::unique_ptr<StreamMark[]> marks_;
  runtime::ByteRing ring_;
  std::atomic<std::uint64_t> head_{0};  // producer's
  std::atomic<std::uint64_t> tail_{0};  // consumer's
  std::atomic<std::uint64_t> refused_{0};
  runtime::WakeSignal wake_;
};

}  // namespace velmar
