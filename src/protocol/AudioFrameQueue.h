#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/ByteRing.h"
#include "runtime/WakeSignal.h"

namespace velmar {

class FrameBuilder;

// Captured-audio frames on their way from a real-time thread to standard
// output. The real-time side copies a finished frame into a preallocated byte
// ring and returns: no lock shared with any other thread, no allocation, no
// system call that can wait. The queue's own writer thread writes the frames,
// whole and in order, through ProcessStreams, then logs the usual "Emitted
// event" line for each.
//
// Frames are variable-size records in one ring, so a frame takes the bytes it
// needs: many small frames, or a few large ones (a cycle of 8192 frames of 16
// channels makes an event of about 350 KB), within the same memory.
//
// When the host falls behind (it stops reading standard output, or reads too
// slowly), the queue keeps the newest frames: a push that does not fit drops
// the oldest frames waiting until it does. Every frame that does not reach the
// stream is counted in droppedCount(); the producer logs one line when a run of
// drops starts, and the writer one with the count when it gets going again.
//
// Frames of a captured stream may carry their place on the stream's timeline
// (a StreamPosition). The writer then announces every run of such frames of one
// stream that did not reach the host with one "audioGap" event, written just
// before the stream's next frame that does: the holes in a stream's sequence
// are exactly the announced gaps, and their counts add up to droppedCount().
// Gap events never go through the ring, so they are never dropped.
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
  // 2 MiB hold about 3.5 s of 10 ms buffers of two 48 kHz stereo streams,
  // or five of the largest events (8192 frames of 16 channels).
  static constexpr std::size_t kDefaultCapacityBytes = 2 * 1024 * 1024;
  static constexpr std::size_t kMaxEventNameBytes = 31;
  // Streams whose frames can carry a position; the writer keeps a fixed
  // slot for each.
  static constexpr std::uint32_t kMaxTimelineStreams = 64;

  // Where a frame sits on its stream: `sequence` counts the stream's frames
  // from 0, `framesBefore` the audio frames before this one, `frames` those
  // in it. `generation` changes when the numbering starts again.
  struct StreamPosition {
    std::uint32_t stream = 0;
    std::uint32_t generation = 0;
    std::uint64_t sequence = 0;
    std::uint64_t framesBefore = 0;
    std::uint32_t frames = 0;
  };

  // The process-wide queue. The first call allocates the ring and starts the
  // writer thread: make it before audio starts, not on a real-time thread.
  // Never destroyed.
  static AudioFrameQueue& shared();

  // The whole ring is touched here, so the producer takes no page faults.
  explicit AudioFrameQueue(std::size_t capacityBytes = kDefaultCapacityBytes);
  // Stops the writer; frames still queued are not written (flush() first).
  ~AudioFrameQueue();
  AudioFrameQueue(const AudioFrameQueue&) = delete;
  AudioFrameQueue& operator=(const AudioFrameQueue&) = delete;

  // Real-time side. Meant for one producing thread at a time: a push that
  // overlaps another push is refused rather than waited for. False when the
  // frame was refused (also larger than maxFrameBytes(), or when the only
  // room left is what the writer is claiming or copying out at that
  // instant); refusals count as drops. Never blocks.
  bool push(const FrameBuilder& frame);
  bool push(std::string_view frame, std::string_view eventName, std::size_t dataFields,
            const StreamPosition* position = nullptr);
  bool push(const FrameBuilder& frame, const StreamPosition& position);
  // The producer's numbering of a stream has moved past `last` without a
  // frame for it (the producer lost it before it was built): a gap is
  // announced for it like for a dropped frame.
  void markSkipped(const StreamPosition& last);

  // Frames that did not and will not reach the stream: the oldest ones
  // dropped for newer ones, and refused pushes. Any thread.
  std::uint64_t droppedCount() const { return dropped_.load(std::memory_order_relaxed); }
  // Frames written to the stream.
  std::uint64_t writtenCount() const { return written_.load(std::memory_order_relaxed); }

  // Waits until every frame pushed before the call is written or dropped.
  // Gives up (false) once the writer has made no progress for `idleTimeout`.
  bool flush(std::chrono::milliseconds idleTimeout);

  std::size_t capacityBytes() const { return ring_.capacity(); }
  // The largest frame a push accepts.
  std::size_t maxFrameBytes() const;

 private:
  struct Header;
  void run();
  void moveTo(std::uint64_t position);
  void noteDrop();
  // Writer thread: what it has seen of each stream's numbering.
  struct StreamTrack {
    std::uint32_t generation = 0;
    std::uint64_t nextSequence = 0;
    std::uint64_t nextFrame = 0;
  };
  void appendGapIfAny(const Header& header, std::vector<StreamTrack>& tracks, std::string& batch,
                      std::size_t& gaps);
  // With the ring empty: the frames pushed after a stream's last written one
  // were all dropped, so their gap is announced now.
  void announceTrailingGaps(std::vector<StreamTrack>& tracks);
  bool pushRecord(std::string_view frame, std::string_view eventName, std::size_t dataFields,
                  const StreamPosition* position);
  void markPushed(const StreamPosition& position);
  // Per stream, where the producer's numbering has got to (after the push,
  // kept or not). A sequence lock: the producer makes `version` odd while it
  // writes, so the writer never takes a torn mark.
  struct PushedMark {
    std::atomic<std::uint32_t> version{0};
    std::atomic<std::uint32_t> generation{0};
    std::atomic<std::uint64_t> nextSequence{0};
    std::atomic<std::uint64_t> nextFrame{0};
  };
  std::unique_ptr<PushedMark[]> marks_;

  runtime::ByteRing ring_;

  // Byte positions counted from the start; a record at position p lives at
  // ring_ at p modulo its capacity, wrapping at the end. head_: where the producer
  // writes next (only the producer stores it). tail_: the oldest record
  // neither written out nor dropped; the writer advances it to claim
  // records, the producer to drop them. busy_: while the writer copies
  // claimed records out, where they start (kIdle otherwise); the producer
  // never writes over them.
  static constexpr std::uint64_t kIdle = ~std::uint64_t{0};
  std::atomic<std::uint64_t> head_{0};
  std::atomic<std::uint64_t> tail_{0};
  std::atomic<std::uint64_t> busy_{kIdle};
  std::atomic<bool> pushing_{false};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> dropping_{false};  // a run of drops not yet reported
  std::atomic<std::uint64_t> written_{0};
  std::atomic<bool> stopping_{false};
  runtime::WakeSignal wake_;

  std::mutex progressMutex_;
  std::condition_variable progress_;
  std::uint64_t readPosition_ = 0;  // guarded by progressMutex_; the writer's tail

  std::thread thread_;
};

}  // namespace velmar
