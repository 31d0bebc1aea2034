#include "recording/ConversionWorker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>

#include "runtime/ThreadName.h"

namespace velmar {

namespace {

bool sameTarget(const auto& a, const auto& b) {
  return a.convert == b.convert && a.rate == b.rate && a.channels == b.channels &&
         a.chunkFrames == b.chunkFrames;
}

}  // namespace

ConversionWorker::ConversionWorker(AudioFrameQueue& queue, std::size_t ringBytes)
    : queue_(queue), ring_(ringBytes), streams_(new Stream[ConversionRing::kMaxStreams]) {
  thread_ = std::thread([this] {
    runtime::nameThisThread("audio-convert");
    run();
  });
}

ConversionWorker::~ConversionWorker() {
  stopping_.store(true, std::memory_order_seq_cst);
  ring_.wake().forceNotify();
  thread_.join();
}

void ConversionWorker::setSettings(Settings settings) {
  {
    std::lock_guard lock(settingsMutex_);
    latestSettings_ = std::move(settings);
  }
  settingsVersion_.fetch_add(1, std::memory_order_release);
}

void ConversionWorker::requestFlush() {
  flushRequests_.fetch_add(1, std::memory_order_seq_cst);
  ring_.wake().forceNotify();
}

void ConversionWorker::refreshSettings() {
  const std::uint64_t version = settingsVersion_.load(std::memory_order_acquire);
  if (version == seenSettingsVersion_) return;
  std::lock_guard lock(settingsMutex_);
  settings_ = latestSettings_;
  seenSettingsVersion_ = version;
}

void ConversionWorker::run() {
  using Clock = std::chrono::steady_clock;
  // While audio flows the worker polls, so the IO thread never pays for a
  // wake-up; after a quiet second it sleeps until the next push.
  constexpr auto kPollInterval = std::chrono::milliseconds(10);
  constexpr auto kPollingSpan = std::chrono::seconds(1);
  auto lastRecord = Clock::now() - kPollingSpan;
  ConversionRing::Record record;
  std::vector<std::int16_t> pcm;
  while (!stopping_.load(std::memory_order_seq_cst)) {
    if (ring_.pop(record, pcm)) {
      refreshSettings();
      handle(record, pcm);
      lastRecord = Clock::now();
      continue;
    }
    announceTrailingLosses();
    const std::uint64_t flushes = flushRequests_.load(std::memory_order_seq_cst);
    if (flushes != flushesDone_ && ring_.empty()) {
      refreshSettings();
      for (std::uint32_t i = 0; i < ConversionRing::kMaxStreams; ++i) finish(i);
      flushesDone_ = flushes;
      continue;
    }
    if (Clock::now() - lastRecord < kPollingSpan) {
      std::this_thread::sleep_for(kPollInterval);
      continue;
    }
    const auto token = ring_.wake().prepareWait();
    if (!ring_.empty() || stopping_.load(std::memory_order_seq_cst) ||
        flushRequests_.load(std::memory_order_seq_cst) != flushesDone_) {
      ring_.wake().cancelWait();
    } else {
      ring_.wake().wait(token);
    }
  }
}

void ConversionWorker::startGeneration(std::uint32_t generation) {
  // What the old numbering still holds goes out under it first.
  for (std::uint32_t i = 0; i < ConversionRing::kMaxStreams; ++i) {
    finish(i);
    Stream& stream = streams_[i];
    stream.seen = false;
    stream.nextInSequence = 0;
    stream.nextInFrame = 0;
    stream.nextOutSequence = 0;
    stream.outFramesBefore = 0;
  }
  generation_ = generation;
  anyRecord_ = true;
}

ConversionWorker::Target ConversionWorker::targetOf(const ConversionRing::Record& record) const {
  Target target;
  target.convert = record.convert;
  target.rate = record.convert ? record.outRate : record.sampleRate;
  target.channels =
      std::max<std::uint32_t>(record.convert ? record.outChannels : record.channels, 1);
  if (record.chunkMs > 0 && target.rate > 0) {
    // A chunk is one event in the queue: at most half of it, so other
    // streams' chunks fit beside it (the Base64 text is 4/3 of the PCM).
    const std::size_t frameRoom = queue_.capacityBytes() / 2 - AudioDataFrame::frameBytesFor(0);
    const std::size_t maxFrames = frameRoom / 4 * 3 / (2 * target.channels);
    const auto asked =
        static_cast<std::size_t>(std::llround(target.rate * record.chunkMs / 1000.0));
    target.chunkFrames = std::clamp<std::size_t>(asked, 1, std::max<std::size_t>(maxFrames, 1));
  }
  return target;
}

void ConversionWorker::reshape(std::uint32_t index, const ConversionRing::Record& record,
                               const Target& target) {
  finish(index);
  Stream& stream = streams_[index];
  stream.seen = true;
  stream.inRate = record.sampleRate;
  stream.inChannels = std::max<std::uint32_t>(record.channels, 1);
  stream.target = target;
  if (target.convert && !stream.converter.configuredFor(stream.inRate, stream.inChannels,
                                                        target.rate, target.channels)) {
    stream.converter.configure(stream.inRate, stream.inChannels, target.rate, target.channels);
  }
  stream.pending.clear();
  stream.pending.reserve(target.chunkFrames * target.channels);
  restart(stream);
}

void ConversionWorker::handle(const ConversionRing::Record& record,
                              std::span<const std::int16_t> pcm) {
  if (record.stream >= ConversionRing::kMaxStreams) return;
  if (!anyRecord_ || record.generation != generation_) startGeneration(record.generation);
  const std::uint32_t index = record.stream;
  Stream& stream = streams_[index];
  const Target target = targetOf(record);
  if (!stream.seen || stream.inRate != record.sampleRate ||
      stream.inChannels != std::max<std::uint32_t>(record.channels, 1) ||
      !sameTarget(stream.target, target)) {
    reshape(index, record, target);
  }
  if (record.sequence > stream.nextInSequence) {
    skip(index, record.sequence - stream.nextInSequence,
         record.framesBefore - std::min(record.framesBefore, stream.nextInFrame));
  }
  stream.nextInSequence = record.sequence + 1;
  stream.nextInFrame = record.framesBefore + record.frames;
  const std::size_t samples =
      std::min<std::size_t>(pcm.size(), std::size_t{record.frames} * stream.inChannels);
  const std::size_t frames = samples / stream.inChannels;
  if (frames == 0) return;
  stream.inputTimes.emplace_back(stream.framesIn, record.hostTime);
  stream.framesIn += frames;
  if (target.convert) {
    deliver(index, stream.converter.convert(pcm.data(), frames));
  } else {
    deliver(index, pcm.first(samples));
  }
}

double ConversionWorker::timeOfFrame(Stream& stream, std::uint64_t frame) const {
  if (stream.inputTimes.empty()) return 0;
  // The resampler keeps output aligned with input, so frame k out is frame
  // k × in/out in; buffers before the one holding it are no longer needed.
  const double ratio = stream.target.rate > 0 ? stream.inRate / stream.target.rate : 1.0;
  const auto input = static_cast<std::uint64_t>(static_cast<double>(frame) * ratio);
  while (stream.inputTimes.size() > 1 && stream.inputTimes[1].first <= input) {
    stream.inputTimes.pop_front();
  }
  return stream.inputTimes.front().second;
}

void ConversionWorker::restart(Stream& stream) {
  stream.inputTimes.clear();
  stream.framesIn = 0;
  stream.framesOut = 0;
}

void ConversionWorker::deliver(std::uint32_t index, std::span<const std::int16_t> samples) {
  Stream& stream = streams_[index];
  const std::size_t channels = stream.target.channels;
  if (samples.size() < channels) return;
  if (stream.target.chunkFrames == 0) {
    const double hostTime = timeOfFrame(stream, stream.framesOut);
    stream.framesOut += samples.size() / channels;
    emit(index, samples, hostTime);
    return;
  }
  const std::size_t chunkSamples = stream.target.chunkFrames * channels;
  while (samples.size() >= channels) {
    // A chunk's time is that of the input buffer its first frame came from.
    if (stream.pending.empty()) stream.pendingHostTime = timeOfFrame(stream, stream.framesOut);
    const std::size_t take =
        std::min(chunkSamples - stream.pending.size(), samples.size() / channels * channels);
    stream.pending.insert(stream.pending.end(), samples.begin(),
                          samples.begin() + static_cast<std::ptrdiff_t>(take));
    samples = samples.subspan(take);
    stream.framesOut += take / channels;
    if (stream.pending.size() == chunkSamples) {
      emit(index, stream.pending, stream.pendingHostTime);
      stream.pending.clear();
    }
  }
}

void ConversionWorker::emit(std::uint32_t index, std::span<const std::int16_t> samples,
                            double hostTime) {
  Stream& stream = streams_[index];
  const std::uint32_t channels = stream.target.channels;
  const auto frames = static_cast<std::uint32_t>(samples.size() / channels);
  const AudioFrameQueue::StreamPosition position{.stream = index,
                                                 .generation = generation_,
                                                 .sequence = stream.nextOutSequence++,
                                                 .framesBefore = stream.outFramesBefore,
                                                 .frames = frames};
  stream.outFramesBefore += frames;
  std::optional<AudioDataFields::Timeline> timeline;
  if (settings_.timeline) {
    timeline = AudioDataFields::Timeline{
        .sequence = position.sequence, .hostTime = hostTime, .frames = frames};
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(samples.data()),
                                            std::size_t{frames} * channels * sizeof(std::int16_t));
  const FrameBuilder& built = frame_.build({.pcm = bytes,
                                            .format = settings_.format,
                                            .sampleRate = stream.target.rate,
                                            .channels = channels,
                                            .streamIndex = index,
                                            .actualChannels = channels,
                                            .timeline = timeline});
  queue_.push(built, position);
}

void ConversionWorker::finish(std::uint32_t index) {
  Stream& stream = streams_[index];
  if (!stream.seen) return;
  if (stream.target.convert) deliver(index, stream.converter.drain());
  if (!stream.pending.empty()) {
    emit(index, stream.pending, stream.pendingHostTime);
    stream.pending.clear();
  }
  restart(stream);
}

void ConversionWorker::skip(std::uint32_t index, std::uint64_t buffers, std::uint64_t inFrames) {
  // What came before the hole goes out whole; what follows it is a new
  // signal, not a continuation.
  finish(index);
  Stream& stream = streams_[index];
  const Target& target = stream.target;
  const double ratio = stream.inRate > 0 ? target.rate / stream.inRate : 1.0;
  const auto lostFrames =
      static_cast<std::uint64_t>(std::llround(static_cast<double>(inFrames) * ratio));
  std::uint64_t numbers = buffers;
  if (target.chunkFrames > 0) {
    numbers =
        std::max<std::uint64_t>(1, (lostFrames + target.chunkFrames - 1) / target.chunkFrames);
  }
  stream.nextOutSequence += numbers;
  stream.outFramesBefore += lostFrames;
  lost_.fetch_add(numbers, std::memory_order_relaxed);
  queue_.markSkipped({.stream = index,
                      .generation = generation_,
                      .sequence = stream.nextOutSequence - 1,
                      .framesBefore = stream.outFramesBefore,
                      .frames = 0});
}

void ConversionWorker::announceTrailingLosses() {
  if (!anyRecord_) return;
  std::array<std::optional<ConversionRing::Mark>, ConversionRing::kMaxStreams> marks;
  for (std::uint32_t i = 0; i < ConversionRing::kMaxStreams; ++i) marks[i] = ring_.mark(i);
  // Records pushed after these marks announce any hole before them.
  if (!ring_.empty()) return;
  for (std::uint32_t i = 0; i < ConversionRing::kMaxStreams; ++i) {
    const auto& mark = marks[i];
    Stream& stream = streams_[i];
    if (!mark || !stream.seen || mark->generation != generation_ ||
        mark->nextSequence <= stream.nextInSequence) {
      continue;
    }
    skip(i, mark->nextSequence - stream.nextInSequence,
         mark->nextFrame - std::min(mark->nextFrame, stream.nextInFrame));
    stream.nextInSequence = mark->nextSequence;
    stream.nextInFrame = mark->nextFrame;
  }
}

}  // namespace velmar
