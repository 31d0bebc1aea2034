#include "protocol/AudioFrameQueue.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/FrameBuilder.h"
#include "protocol/ProcessStreams.h"
#include "protocol/Timestamps.h"
#include "runtime/ThreadName.h"

namespace velmar {

// A record: its header, then the frame's bytes, padded to a multiple of 8.
struct AudioFrameQueue::Header {
  std::uint32_t size = 0;
  std::uint32_t dataFields = 0;
  std::uint32_t nameSize = 0;
  char name[kMaxEventNameBytes + 1] = {};
  std::uint32_t positioned = 0;  // 1 when `position` holds the frame's place
  StreamPosition position;
};

namespace {

constexpr std::uint64_t recordBytes(std::size_t frameSize, std::size_t headerSize) {
  return (headerSize + frameSize + 7) / 8 * 8;
}

}  // namespace

AudioFrameQueue& AudioFrameQueue::shared() {
  static auto* queue = new AudioFrameQueue();
  return *queue;
}

AudioFrameQueue::AudioFrameQueue(std::size_t capacityBytes)
    : marks_(new PushedMark[kMaxTimelineStreams]),
      ring_(std::max<std::size_t>(capacityBytes / 8 * 8, 2 * sizeof(Header))) {
  thread_ = std::thread([this] {
    runtime::nameThisThread("audio-out");
    run();
  });
}

AudioFrameQueue::~AudioFrameQueue() {
  stopping_.store(true, std::memory_order_seq_cst);
  wake_.forceNotify();
  thread_.join();
}

std::size_t AudioFrameQueue::maxFrameBytes() const { return ring_.capacity() - sizeof(Header); }

bool AudioFrameQueue::push(const FrameBuilder& frame) {
  return push(frame.frame(), frame.eventName(), frame.dataFieldCount());
}

bool AudioFrameQueue::push(const FrameBuilder& frame, const StreamPosition& position) {
  return push(frame.frame(), frame.eventName(), frame.dataFieldCount(), &position);
}

bool AudioFrameQueue::push(std::string_view frame, std::string_view eventName,
                           std::size_t dataFields, const StreamPosition* position) {
  const bool kept = pushRecord(frame, eventName, dataFields, position);
  if (position != nullptr && position->stream < kMaxTimelineStreams) markPushed(*position);
  return kept;
}

void AudioFrameQueue::markSkipped(const StreamPosition& last) {
  if (last.stream < kMaxTimelineStreams) markPushed(last);
}

void AudioFrameQueue::markPushed(const StreamPosition& position) {
  PushedMark& mark = marks_[position.stream];
  const std::uint32_t version = mark.version.load(std::memory_order_relaxed);
  mark.version.store(version + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  mark.generation.store(position.generation, std::memory_order_relaxed);
  mark.nextSequence.store(position.sequence + 1, std::memory_order_relaxed);
  mark.nextFrame.store(position.framesBefore + position.frames, std::memory_order_relaxed);
  mark.version.store(version + 2, std::memory_order_release);
}

bool AudioFrameQueue::pushRecord(std::string_view frame, std::string_view eventName,
                                 std::size_t dataFields, const StreamPosition* position) {
  auto refuse = [this] {
    noteDrop();
    return false;
  };
  if (pushing_.exchange(true, std::memory_order_acquire)) return refuse();
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag.store(false, std::memory_order_release); }
  } release{pushing_};
  if (frame.size() > maxFrameBytes()) return refuse();

  const std::uint64_t need = recordBytes(frame.size(), sizeof(Header));
  const std::uint64_t head = head_.load(std::memory_order_relaxed);
  // Room is made by dropping the oldest records the writer has not claimed.
  // The producer wrote every header itself and only it writes the ring, so
  // reading one here is safe even if the writer claims it meanwhile.
  std::uint64_t tail = tail_.load(std::memory_order_seq_cst);
  while (head + need - tail > ring_.capacity()) {
    // The writer is claiming these very records: let it, rather than make
    // it start over (a producer that keeps dropping under it could keep it
    // from ever writing); this frame gives way instead.
    if (busy_.load(std::memory_order_seq_cst) == tail) return refuse();
    Header oldest;
    ring_.copyOut(tail, &oldest, sizeof oldest);
    const std::uint64_t next = tail + recordBytes(oldest.size, sizeof(Header));
    if (tail_.compare_exchange_strong(tail, next, std::memory_order_seq_cst)) {
      noteDrop();
      tail = next;
    }  // else the writer claimed it: `tail` now holds the new value
  }
  // Records the writer claimed are off limits until it has copied them out.
  const std::uint64_t busy = busy_.load(std::memory_order_seq_cst);
  if (busy != kIdle && head + need - busy > ring_.capacity()) return refuse();

  Header header;
  header.size = static_cast<std::uint32_t>(frame.size());
  header.dataFields = static_cast<std::uint32_t>(dataFields);
  header.nameSize = static_cast<std::uint32_t>(std::min(eventName.size(), kMaxEventNameBytes));
  std::memcpy(header.name, eventName.data(), header.nameSize);
  if (position != nullptr && position->stream < kMaxTimelineStreams) {
    header.positioned = 1;
    header.position = *position;
  }
  ring_.copyIn(head, &header, sizeof header);
  ring_.copyIn(head + sizeof header, frame.data(), frame.size());
  head_.store(head + need, std::memory_order_seq_cst);
  wake_.notify();
  return true;
}

void AudioFrameQueue::noteDrop() {
  dropped_.fetch_add(1, std::memory_order_relaxed);
  // One line when a run of drops starts; the writer reports the count once
  // it gets going again.
  if (!dropping_.exchange(true, std::memory_order_relaxed)) {
    ProcessStreams::tryWriteLine(
        "⚠️ Host is not reading audio fast enough: dropping the oldest audio frames");
  }
}

void AudioFrameQueue::appendGapIfAny(const Header& header, std::vector<StreamTrack>& tracks,
                                     std::string& batch, std::size_t& gaps) {
  if (header.positioned == 0) return;
  const StreamPosition& at = header.position;
  StreamTrack& track = tracks[at.stream];
  // A straggler of an older numbering (its producer was still finishing
  // while a new one began): written, but its numbering is over.
  if (at.generation < track.generation) return;
  if (track.generation != at.generation) track = {at.generation, 0, 0};
  if (at.sequence > track.nextSequence) {
    // Every frame of the stream between the last one written and this one
    // was dropped: one event for the run.
    FrameBuilder gap;
    gap.beginEvent("audioGap", nowMillis());
    gap.plainKey("count");
    gap.value(at.sequence - track.nextSequence);
    gap.plainKey("frames");
    gap.value(at.framesBefore - std::min(at.framesBefore, track.nextFrame));
    gap.plainKey("fromSequence");
    gap.value(track.nextSequence);
    gap.plainKey("streamIndex");
    gap.value(static_cast<std::uint64_t>(at.stream));
    gap.finishEvent();
    batch.append(gap.frame());
    ++gaps;
  }
  track.nextSequence = at.sequence + 1;
  track.nextFrame = at.framesBefore + at.frames;
}

void AudioFrameQueue::announceTrailingGaps(std::vector<StreamTrack>& tracks) {
  struct Mark {
    bool taken = false;
    StreamPosition next;
  };
  std::array<Mark, kMaxTimelineStreams> marks{};
  for (std::uint32_t stream = 0; stream < kMaxTimelineStreams; ++stream) {
    const PushedMark& mark = marks_[stream];
    const std::uint32_t before = mark.version.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;  // being written: the next look sees it
    Mark& taken = marks[stream];
    taken.next.stream = stream;
    taken.next.generation = mark.generation.load(std::memory_order_relaxed);
    taken.next.sequence = mark.nextSequence.load(std::memory_order_relaxed);
    taken.next.framesBefore = mark.nextFrame.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    taken.taken = mark.version.load(std::memory_order_relaxed) == before;
  }
  // Frames pushed since are still to be written: they announce any gap
  // before them themselves.
  if (tail_.load(std::memory_order_seq_cst) < head_.load(std::memory_order_seq_cst)) return;
  std::string out;
  std::size_t gaps = 0;
  for (const Mark& mark : marks) {
    if (!mark.taken || mark.next.sequence == 0) continue;
    // A header positioned just past the last pushed frame, with no frame of
    // its own: only the gap before it is written.
    Header past;
    past.positioned = 1;
    past.position = mark.next;
    const StreamTrack& track = tracks[mark.next.stream];
    if (mark.next.generation < track.generation) continue;
    if (track.generation == mark.next.generation && track.nextSequence >= mark.next.sequence) {
      continue;
    }
    appendGapIfAny(past, tracks, out, gaps);
    // The mark is where numbering goes on, not a frame that was written.
    tracks[mark.next.stream].nextSequence = mark.next.sequence;
    tracks[mark.next.stream].nextFrame = mark.next.framesBefore;
  }
  if (gaps == 0) return;
  ProcessStreams::writeFrame(out);
  for (std::size_t i = 0; i < gaps; ++i) {
    ProcessStreams::writeLine("Emitted event: audioGap with 4 data fields");
  }
}

void AudioFrameQueue::moveTo(std::uint64_t position) {
  {
    std::lock_guard lock(progressMutex_);
    if (position <= readPosition_) return;
    readPosition_ = position;
  }
  progress_.notify_all();
}

void AudioFrameQueue::run() {
  // Frames that are ready together go out in one write (each whole, so
  // nothing tears); their log lines follow. A batch holds at least one
  // frame, however large.
  constexpr std::size_t kBatchFrames = 32;
  constexpr std::size_t kBatchBytes = 64 * 1024;
  std::string batch;
  batch.reserve(kBatchBytes);
  struct Written {
    char name[kMaxEventNameBytes];
    std::size_t nameSize;
    std::size_t fields;
  };
  std::vector<Written> written(kBatchFrames);
  std::vector<Header> claimed(kBatchFrames);
  std::vector<StreamTrack> tracks(kMaxTimelineStreams);
  std::vector<std::size_t> gapsBefore(kBatchFrames);
  // While audio flows the writer polls rather than sleeping until woken, so
  // the real-time producer never pays for waking it (a system call, and on a
  // virtual machine tens of microseconds). After a quiet second it sleeps.
  using Clock = std::chrono::steady_clock;
  constexpr auto kPollInterval = std::chrono::milliseconds(20);
  constexpr auto kPollingSpan = std::chrono::seconds(1);
  auto lastFrame = Clock::now() - kPollingSpan;
  std::uint64_t reportedDrops = 0;
  while (!stopping_.load(std::memory_order_seq_cst)) {
    const std::uint64_t tail = tail_.load(std::memory_order_seq_cst);
    const std::uint64_t head = head_.load(std::memory_order_seq_cst);
    if (tail >= head) {
      announceTrailingGaps(tracks);
      moveTo(tail);  // frames dropped while waiting count as gone for flush()
      if (Clock::now() - lastFrame < kPollingSpan) {
        std::this_thread::sleep_for(kPollInterval);
        continue;
      }
      const auto token = wake_.prepareWait();
      if (head_.load(std::memory_order_seq_cst) > tail ||
          stopping_.load(std::memory_order_seq_cst)) {
        wake_.cancelWait();
      } else {
        wake_.wait(token);
      }
      continue;
    }
    // Pin the records from `tail` on, then check the producer has not
    // dropped them meanwhile: from here on it leaves them alone.
    busy_.store(tail, std::memory_order_seq_cst);
    if (tail_.load(std::memory_order_seq_cst) != tail) {
      busy_.store(kIdle, std::memory_order_seq_cst);
      continue;
    }
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::uint64_t end = tail;
    while (end < head && count < kBatchFrames) {
      Header& header = claimed[count];
      ring_.copyOut(end, &header, sizeof header);
      if (count > 0 && bytes + header.size > kBatchBytes) break;
      bytes += header.size;
      end += recordBytes(header.size, sizeof(Header));
      ++count;
    }
    std::uint64_t expected = tail;
    if (!tail_.compare_exchange_strong(expected, end, std::memory_order_seq_cst)) {
      busy_.store(kIdle, std::memory_order_seq_cst);  // dropped under our feet
      continue;
    }
    batch.clear();
    std::uint64_t position = tail;
    for (std::size_t i = 0; i < count; ++i) {
      const Header& header = claimed[i];
      gapsBefore[i] = 0;
      appendGapIfAny(header, tracks, batch, gapsBefore[i]);
      const std::size_t at = batch.size();
      batch.resize(at + header.size);
      ring_.copyOut(position + sizeof(Header), batch.data() + at, header.size);
      position += recordBytes(header.size, sizeof(Header));
      Written& entry = written[i];
      entry.nameSize = header.nameSize;
      std::memcpy(entry.name, header.name, header.nameSize);
      entry.fields = header.dataFields;
    }
    busy_.store(kIdle, std::memory_order_seq_cst);

    lastFrame = Clock::now();
    ProcessStreams::writeFrame(batch);
    written_.fetch_add(count, std::memory_order_relaxed);
    moveTo(end);
    for (std::size_t i = 0; i < count; ++i) {
      if (gapsBefore[i] > 0)
        ProcessStreams::writeLine("Emitted event: audioGap with 4 data fields");
      ProcessStreams::writeLine(
          "Emitted event: " + std::string(written[i].name, written[i].nameSize) + " with " +
          std::to_string(written[i].fields) + " data fields");
    }
    // Cleared before the count is read: a drop after this point starts a new
    // run with a line of its own.
    if (dropping_.load(std::memory_order_relaxed))
      dropping_.store(false, std::memory_order_seq_cst);
    const std::uint64_t drops = dropped_.load(std::memory_order_seq_cst);
    if (drops > reportedDrops) {
      ProcessStreams::writeLine(
          "⚠️ Host fell behind reading audio: " + std::to_string(drops - reportedDrops) +
          " audio frames dropped (" + std::to_string(drops) + " in total)");
      reportedDrops = drops;
    }
  }
}

bool AudioFrameQueue::flush(std::chrono::milliseconds idleTimeout) {
  const std::uint64_t target = head_.load(std::memory_order_seq_cst);
  std::unique_lock lock(progressMutex_);
  while (readPosition_ < target) {
    const std::uint64_t seen = readPosition_;
    if (!progress_.wait_for(lock, idleTimeout, [&] { return readPosition_ != seen; })) {
      return false;
    }
  }
  return true;
}

}  // namespace velmar
