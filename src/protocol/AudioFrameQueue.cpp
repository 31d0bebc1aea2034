#include "protocol/AudioFrameQueue.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/FrameBuilder.h"
#include "protocol/ProcessStreams.h"

namespace velmar {

namespace {

// A slot's life: free -> writing (producer) -> ready -> reading (writer
// thread, only while it copies the frame out) -> free. A ready slot that the
// producer claims again holds the oldest frame, which it drops.
enum SlotState : std::uint32_t { kFree, kWriting, kReady, kReading };

constexpr std::size_t kPage = 4096;

}  // namespace

struct AudioFrameQueue::Slot {
  std::atomic<std::uint32_t> state{kFree};
  std::atomic<std::uint64_t> position{0};
  // Written only in kWriting, read only in kReading.
  char* data = nullptr;
  std::size_t size = 0;
  std::size_t dataFields = 0;
  char name[kMaxEventNameBytes + 1] = {};
  std::size_t nameSize = 0;
};

AudioFrameQueue::Slot& AudioFrameQueue::slotAt(std::uint64_t position) {
  return slots_[position % slotCount_];
}

AudioFrameQueue& AudioFrameQueue::shared() {
  static auto* queue = new AudioFrameQueue();
  return *queue;
}

AudioFrameQueue::AudioFrameQueue(std::size_t slots, std::size_t slotBytes)
    : slotCount_(std::max<std::size_t>(slots, 1)),
      slotBytes_(slotBytes),
      storage_(new char[slotCount_ * slotBytes_ + kPage]),
      slots_(new Slot[slotCount_]) {
  // The first page of every slot, which holds a typical frame, is touched
  // now so the real-time producer does not take the page faults; the rest of
  // a slot stays untouched (and out of memory) until a larger frame needs it.
  // Slots start on page boundaries, or that first page would span two.
  const auto raw = reinterpret_cast<std::uintptr_t>(storage_.get());
  char* const base = storage_.get() + ((kPage - raw % kPage) % kPage);
  for (std::size_t i = 0; i < slotCount_; ++i) {
    slots_[i].data = base + i * slotBytes_;
    std::memset(slots_[i].data, 0, std::min(slotBytes_, kPage));
  }
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "audio-out");
    run();
  });
}

AudioFrameQueue::~AudioFrameQueue() {
  stopping_.store(true, std::memory_order_seq_cst);
  wake_.forceNotify();
  thread_.join();
}

bool AudioFrameQueue::push(const FrameBuilder& frame) {
  return push(frame.frame(), frame.eventName(), frame.dataFieldCount());
}

bool AudioFrameQueue::push(std::string_view frame, std::string_view eventName,
                           std::size_t dataFields) {
  auto refuse = [this] {
    noteDrop();
    return false;
  };
  if (pushing_.exchange(true, std::memory_order_acquire)) return refuse();
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag.store(false, std::memory_order_release); }
  } release{pushing_};
  if (frame.size() > slotBytes_) return refuse();

  const std::uint64_t position = head_.load(std::memory_order_relaxed);
  Slot& slot = slotAt(position);
  std::uint32_t state = slot.state.load(std::memory_order_acquire);
  if (state == kReady) {
    // Full: this slot holds the oldest frame still waiting.
    if (!slot.state.compare_exchange_strong(state, kWriting, std::memory_order_acquire)) {
      return refuse();  // the writer is taking it out right now
    }
    noteDrop();
  } else if (state == kFree) {
    slot.state.store(kWriting, std::memory_order_relaxed);
  } else {
    return refuse();
  }

  std::memcpy(slot.data, frame.data(), frame.size());
  slot.size = frame.size();
  slot.dataFields = dataFields;
  slot.nameSize = std::min(eventName.size(), kMaxEventNameBytes);
  std::memcpy(slot.name, eventName.data(), slot.nameSize);
  slot.position.store(position, std::memory_order_relaxed);
  slot.state.store(kReady, std::memory_order_release);
  head_.store(position + 1, std::memory_order_seq_cst);
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

void AudioFrameQueue::moveTo(std::uint64_t position) {
  {
    std::lock_guard lock(progressMutex_);
    readPosition_ = position;
  }
  progress_.notify_all();
}

void AudioFrameQueue::run() {
  // Frames that are ready together go out in one write (each whole, so
  // nothing tears); their log lines follow.
  constexpr std::size_t kBatchFrames = 32;
  std::string batch;
  batch.reserve(std::max<std::size_t>(slotBytes_, 64 * 1024));
  struct Written {
    char name[kMaxEventNameBytes];
    std::size_t nameSize;
    std::size_t fields;
  };
  std::vector<Written> written(kBatchFrames);
  // While audio flows the writer polls rather than sleeping until woken, so
  // the real-time producer never pays for waking it (a system call, and on a
  // virtual machine tens of microseconds). After a quiet second it sleeps.
  using Clock = std::chrono::steady_clock;
  constexpr auto kPollInterval = std::chrono::milliseconds(20);
  constexpr auto kPollingSpan = std::chrono::seconds(1);
  auto lastFrame = Clock::now() - kPollingSpan;
  std::uint64_t next = 0;
  std::uint64_t reportedDrops = 0;
  while (!stopping_.load(std::memory_order_seq_cst)) {
    std::uint64_t head = head_.load(std::memory_order_seq_cst);
    if (next >= head && Clock::now() - lastFrame < kPollingSpan) {
      std::this_thread::sleep_for(kPollInterval);
      continue;
    }
    if (next >= head) {
      const auto token = wake_.prepareWait();
      if (head_.load(std::memory_order_seq_cst) > next ||
          stopping_.load(std::memory_order_seq_cst)) {
        wake_.cancelWait();
      } else {
        wake_.wait(token);
      }
      continue;
    }
    batch.clear();
    std::size_t count = 0;
    while (next < head && count < kBatchFrames) {
      // Positions more than a queue behind were overwritten (and counted).
      if (head - next > slotCount_) next = head - slotCount_;
      Slot& slot = slotAt(next);
      std::uint32_t expected = kReady;
      if (!slot.state.compare_exchange_strong(expected, kReading, std::memory_order_acquire)) {
        ++next;  // the producer is overwriting this one with a newer frame
        continue;
      }
      if (slot.position.load(std::memory_order_relaxed) != next) {
        // Already holds a newer frame, whose turn comes later.
        slot.state.store(kReady, std::memory_order_release);
        ++next;
        continue;
      }
      if (count > 0 && batch.size() + slot.size > batch.capacity()) {
        slot.state.store(kReady, std::memory_order_release);
        break;
      }
      batch.append(slot.data, slot.size);
      Written& entry = written[count++];
      entry.nameSize = slot.nameSize;
      std::memcpy(entry.name, slot.name, slot.nameSize);
      entry.fields = slot.dataFields;
      slot.state.store(kFree, std::memory_order_release);
      ++next;
      head = head_.load(std::memory_order_seq_cst);
    }
    if (count > 0) {
      lastFrame = Clock::now();
      ProcessStreams::writeFrame(batch);
      written_.fetch_add(count, std::memory_order_relaxed);
    }
    moveTo(next);
    for (std::size_t i = 0; i < count; ++i) {
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
