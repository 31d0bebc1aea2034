#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "runtime/WakeSignal.h"

namespace velmar {

class FrameBuilder;

// Captured-audio frames on their way from a real-time thread to standard
// output. The real-time side copies a finished frame into a preallocated slot
// and returns: no lock shared with any other thread, no allocation, no system
// call that can wait. The queue's own writer thread writes the frames, whole
// and in order, through ProcessStreams, then logs the usual "Emitted event"
// line for each.
//
// When the host falls behind (it stops reading standard output, or reads too
// slowly), the queue keeps the newest frames: a push into a full queue drops
// the oldest frame waiting. Every frame that does not reach the stream is
// counted in droppedCount(); the producer logs one line when a run of drops
// starts, and the writer one with the count when it gets going again.
//
// Use:
//   auto& queue = AudioFrameQueue::shared();  // once, off the real-time thread
//   // on the IO thread, per buffer:
//   FrameBuilder& f = FrameBuilder::forThisThread();
//   f.beginEvent("audioData", nowMillis()); ...; f.finishEvent();
//   queue.push(f);
//   // later, anywhere: queue.droppedCount()
class AudioFrameQueue {
 public:
  // 512 slots hold about 2.5 s of 10 ms buffers of two streams.
  static constexpr std::size_t kDefaultSlots = 512;
  // A 32 KiB frame carries about 12,000 16-bit samples.
  static constexpr std::size_t kDefaultSlotBytes = 32 * 1024;
  static constexpr std::size_t kMaxEventNameBytes = 31;

  // The process-wide queue. The first call allocates the slots and starts
  // the writer thread: make it before audio starts, not on a real-time
  // thread. Never destroyed.
  static AudioFrameQueue& shared();

  explicit AudioFrameQueue(std::size_t slots = kDefaultSlots,
                           std::size_t slotBytes = kDefaultSlotBytes);
  // Stops the writer; frames still queued are not written (flush() first).
  ~AudioFrameQueue();
  AudioFrameQueue(const AudioFrameQueue&) = delete;
  AudioFrameQueue& operator=(const AudioFrameQueue&) = delete;

  // Real-time side. Meant for one producing thread at a time: a push that
  // overlaps another push is refused rather than waited for. False when the
  // frame was refused (also larger than a slot, or its slot was being read
  // out at that instant); refusals count as drops. Never blocks.
  bool push(const FrameBuilder& frame);
  bool push(std::string_view frame, std::string_view eventName, std::size_t dataFields);

  // Frames that did not and will not reach the stream: the oldest ones
  // dropped for newer ones, and refused pushes. Any thread.
  std::uint64_t droppedCount() const { return dropped_.load(std::memory_order_relaxed); }
  // Frames written to the stream.
  std::uint64_t writtenCount() const { return written_.load(std::memory_order_relaxed); }

  // Waits until every frame pushed before the call is written or dropped.
  // Gives up (false) once the writer has made no progress for `idleTimeout`.
  bool flush(std::chrono::milliseconds idleTimeout);

  std::size_t slotCount() const { return slotCount_; }
  std::size_t slotBytes() const { return slotBytes_; }

 private:
  struct Slot;
  Slot& slotAt(std::uint64_t position);
  void run();
  void moveTo(std::uint64_t position);
  void noteDrop();

  const std::size_t slotCount_;
  const std::size_t slotBytes_;
  std::unique_ptr<char[]> storage_;
  std::unique_ptr<Slot[]> slots_;

  // Positions of frames, counted from the start. head_: the next position
  // the producer writes (the producer's own); the writer reads from its own
  // position, which it publishes in readPosition_ for flush().
  std::atomic<std::uint64_t> head_{0};
  std::atomic<bool> pushing_{false};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> dropping_{false};  // a run of drops not yet reported
  std::atomic<std::uint64_t> written_{0};
  std::atomic<bool> stopping_{false};
  runtime::WakeSignal wake_;

  std::mutex progressMutex_;
  std::condition_variable progress_;
  std::uint64_t readPosition_ = 0;  // guarded by progressMutex_

  std::thread thread_;
};

}  // namespace velmar
