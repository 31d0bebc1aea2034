#include "recording/ConversionRing.h"

#include <algorithm>
#include <cstring>

namespace velmar {

namespace {

constexpr std::uint64_t recordBytes(std::size_t pcmBytes) {
  return (sizeof(ConversionRing::Record) + pcmBytes + 7) / 8 * 8;
}

}  // namespace

ConversionRing::ConversionRing(std::size_t capacityBytes)
    : marks_(new StreamMark[kMaxStreams]),
      ring_(std::max<std::size_t>(capacityBytes / 8 * 8, 2 * sizeof(Record))) {}

bool ConversionRing::push(const Record& record, std::span<const std::uint8_t> pcm) {
  const std::uint64_t need = recordBytes(pcm.size());
  const std::uint64_t head = head_.load(std::memory_order_relaxed);
  const std::uint64_t tail = tail_.load(std::memory_order_acquire);
  bool kept = false;
  if (head + need - tail <= ring_.capacity()) {
    Record header = record;
    header.bytes = static_cast<std::uint32_t>(pcm.size());
    ring_.copyIn(head, &header, sizeof header);
    ring_.copyIn(head + sizeof header, pcm.data(), pcm.size());
    head_.store(head + need, std::memory_order_seq_cst);
    kept = true;
  } else {
    refused_.fetch_add(1, std::memory_order_relaxed);
  }
  // After the record: a consumer that reads this mark and then finds the
  // ring empty has taken every record kept before it.
  leaveMark(record);
  if (kept) wake_.notify();
  return kept;
}

void ConversionRing::leaveMark(const Record& record) {
  if (record.stream >= kMaxStreams) return;
  StreamMark& mark = marks_[record.stream];
  const std::uint32_t version = mark.version.load(std::memory_order_relaxed);
  mark.version.store(version + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  mark.generation.store(record.generation, std::memory_order_relaxed);
  mark.nextSequence.store(record.sequence + 1, std::memory_order_relaxed);
  mark.nextFrame.store(record.framesBefore + record.frames, std::memory_order_relaxed);
  mark.version.store(version + 2, std::memory_order_seq_cst);
}

std::optional<ConversionRing::Mark> ConversionRing::mark(std::uint32_t stream) const {
  if (stream >= kMaxStreams) return std::nullopt;
  const StreamMark& mark = marks_[stream];
  const std::uint32_t before = mark.version.load(std::memory_order_seq_cst);
  if (before % 2 != 0) return std::nullopt;
  Mark taken{mark.generation.load(std::memory_order_relaxed),
             mark.nextSequence.load(std::memory_order_relaxed),
             mark.nextFrame.load(std::memory_order_relaxed)};
  std::atomic_thread_fence(std::memory_order_acquire);
  if (mark.version.load(std::memory_order_relaxed) != before) return std::nullopt;
  return taken;
}

bool ConversionRing::empty() const {
  return tail_.load(std::memory_order_relaxed) >= head_.load(std::memory_order_seq_cst);
}

bool ConversionRing::pop(Record& record, std::vector<std::int16_t>& pcm) {
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (tail >= head_.load(std::memory_order_seq_cst)) return false;
  ring_.copyOut(tail, &record, sizeof record);
  pcm.resize(record.bytes / sizeof(std::int16_t));
  ring_.copyOut(tail + sizeof record, pcm.data(), pcm.size() * sizeof(std::int16_t));
  tail_.store(tail + recordBytes(record.bytes), std::memory_order_release);
  return true;
}

}  // namespace velmar
