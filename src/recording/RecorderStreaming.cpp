// The streaming half of RecorderManager: the three streaming commands and the
// IO thread's path from PCM bytes to a queued "audioData" frame.
#include <algorithm>
#include <cmath>
#include <tuple>

#include "commands/CommandParameters.h"
#include "platform/PlatformLog.h"
#include "recording/RecorderManager.h"

namespace velmar {

using nlohmann::json;

namespace {

// The integer part of a real rate, or nothing for a rate that has none
// worth comparing (NaN, infinite, zero or negative, or beyond 64 bits).
std::optional<std::int64_t> rateIntegerPart(double rate) {
  if (!std::isfinite(rate) || rate <= 0 || rate >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(rate);
}

// With `convert`, rates soxr is asked for: from telephone speech to twice the
// highest rate audio hardware runs at.
constexpr std::int64_t kMinConvertRate = 1000;
constexpr std::int64_t kMaxConvertRate = 768000;
constexpr std::int64_t kMaxConvertChannels = 32;
constexpr std::int64_t kMinChunkMs = 10;
constexpr std::int64_t kMaxChunkMs = 5000;

// `convert` and `chunkMs` into `settings`; the reason when they are not
// usable.
std::optional<std::string> readShape(const json& params,
                                     RecorderManager::StreamingSettings& settings) {
  if (params.contains("convert")) {
    if (!params["convert"].is_boolean()) return "Invalid convert: must be true or false";
    settings.convert = params["convert"].get<bool>();
  }
  if (params.contains("chunkMs")) {
    const auto chunkMs = parameters::integer(params, "chunkMs");
    if (!chunkMs || *chunkMs < kMinChunkMs || *chunkMs > kMaxChunkMs) {
      return "Invalid chunkMs: must be a whole number of milliseconds from " +
             std::to_string(kMinChunkMs) + " to " + std::to_string(kMaxChunkMs);
    }
    settings.chunkMs = chunkMs;
  }
  if (!settings.convert.value_or(false)) return std::nullopt;
  if (settings.sampleRate < kMinConvertRate || settings.sampleRate > kMaxConvertRate) {
    return "Invalid sampleRate for convert: must be from " + std::to_string(kMinConvertRate) +
           " to " + std::to_string(kMaxConvertRate) + " Hz";
  }
  if (settings.channels < 1 || settings.channels > kMaxConvertChannels) {
    return "Invalid channels for convert: must be from 1 to " + std::to_string(kMaxConvertChannels);
  }
  if (settings.chunkMs) {
    // A chunk travels as one event through the audio queue.
    const auto pcmBytes = static_cast<std::size_t>(settings.sampleRate * *settings.chunkMs / 1000 *
                                                   settings.channels * 2);
    const std::size_t limit = AudioFrameQueue::kDefaultCapacityBytes / 2;
    if (AudioDataFrame::frameBytesFor(pcmBytes) > limit) {
      return "Invalid chunkMs: " + std::to_string(*settings.chunkMs) + " ms at " +
             std::to_string(settings.sampleRate) + " Hz and " + std::to_string(settings.channels) +
             " channels make events over " + std::to_string(limit) + " bytes";
    }
  }
  return std::nullopt;
}

// What is made of the audio for the host: without conversion or chunks
// every such setting is the same (the audio as captured).
auto shapeOf(const RecorderManager::StreamingSettings& settings) {
  const bool convert = settings.convert.value_or(false);
  return std::tuple(settings.reshapes(), convert, settings.chunkMs,
                    convert ? settings.sampleRate : 0, convert ? settings.channels : 0);
}

}  // namespace

void RecorderManager::enableAudioStreaming(const json& params, const std::string& commandId) {
  const auto format = parameters::string(params, "format");
  const auto sampleRate = parameters::integer(params, "sampleRate");
  if (!format || !sampleRate) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt,
                               "Missing parameters: format and sampleRate required");
    return;
  }
  const std::int64_t channels = parameters::integer(params, "channels").value_or(1);
  const bool timeline = parameters::flag(params, "timeline").value_or(false);
  StreamingSettings next;
  next.format = *format;
  next.sampleRate = *sampleRate;
  next.channels = channels;
  next.timeline = timeline;
  if (const auto error = readShape(params, next)) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt, *error);
    return;
  }
  const StreamingSettings& previous = streamingSettings_.latest();
  next.shapeEpoch = previous.shapeEpoch + (shapeOf(previous) == shapeOf(next) ? 0 : 1);
  // The queue's slots and writer thread come up here, never on the IO
  // thread, and so does the conversion worker. Queue, worker and settings
  // first, then the switch: the IO thread never sees the switch on without
  // them.
  if (audioQueue_.load() == nullptr) audioQueue_.store(&AudioFrameQueue::shared());
  if (next.reshapes() && !conversionWorker_) {
    conversionWorker_ = std::make_unique<ConversionWorker>(*audioQueue_.load());
    conversion_.store(conversionWorker_.get(), std::memory_order_release);
  }
  if (conversionWorker_) conversionWorker_->setSettings({next.format, next.timeline});
  streamingSettings_.publish(next);
  audioStreamingEnabled_.store(true, std::memory_order_release);
  eventEmitter_.logToStderr("Audio streaming enabled: format=" + *format + ", sampleRate=" +
                            std::to_string(*sampleRate) + ", channels=" + std::to_string(channels));
  json data{{"format", *format}, {"sampleRate", *sampleRate}, {"channels", channels}};
  if (timeline) data["timeline"] = true;
  if (next.convert) data["convert"] = *next.convert;
  if (next.chunkMs) data["chunkMs"] = *next.chunkMs;
  eventEmitter_.sendResponse(commandId, true, data);
  eventEmitter_.emitEvent("audioStreamingEnabled", data);
}

void RecorderManager::disableAudioStreaming(const json& /*params*/, const std::string& commandId) {
  audioStreamingEnabled_.store(false, std::memory_order_release);
  flushConversion();
  eventEmitter_.logToStderr("Audio streaming disabled");
  eventEmitter_.sendResponse(commandId, true);
  eventEmitter_.emitEvent("audioStreamingDisabled", json::object());
}

void RecorderManager::getAudioStreamingStatus(const json& /*params*/,
                                              const std::string& commandId) {
  const StreamingSettings& settings = streamingSettings_.latest();
  json data{{"enabled", audioStreamingEnabled()},
            {"format", settings.format},
            {"sampleRate", settings.sampleRate},
            {"channels", settings.channels},
            // Audio frames lost because the host fell behind.
            {"droppedBuffers", droppedBuffers()}};
  if (settings.convert) data["convert"] = *settings.convert;
  if (settings.chunkMs) data["chunkMs"] = *settings.chunkMs;
  eventEmitter_.sendResponse(commandId, true, data);
}

std::uint64_t RecorderManager::droppedBuffers() const {
  const AudioFrameQueue* queue = audioQueue_.load();
  // Buffers the conversion worker could not take are counted in the
  // delivered buffers they would have made, as their gaps are.
  const std::uint64_t lostBeforeConversion = conversionWorker_ ? conversionWorker_->lostCount() : 0;
  return (queue == nullptr ? 0 : queue->droppedCount()) + lostBeforeConversion;
}

void RecorderManager::flushConversion() {
  if (conversionWorker_) conversionWorker_->requestFlush();
}

void RecorderManager::prepareForBuffers(std::size_t pcmBytes) {
  frame_.reserve(pcmBytes);
  // Stream i may be another source now: its silence starts afresh.
  signalWatch_.reset();
  silenceTracker_.reset();
  // Streams were (re)cataloged: their numbering starts again from 0.
  nextSequence_.fill(0);
  framesStreamed_.fill(0);
  ++timelineGeneration_;
  const AudioFrameQueue* queue = audioQueue_.load();
  const std::size_t frameBytes = AudioDataFrame::frameBytesFor(pcmBytes);
  if (queue != nullptr && frameBytes > queue->maxFrameBytes()) {
    eventEmitter_.logToStderr("⚠️ Audio frames of up to " + std::to_string(frameBytes) +
                              " bytes exceed the audio queue (" +
                              std::to_string(queue->maxFrameBytes()) + " bytes per frame)");
  }
}

void RecorderManager::streamAudioBuffer(std::span<const std::uint8_t> pcm,
                                        std::optional<double> actualSampleRate,
                                        std::optional<std::uint32_t> streamIndex,
                                        std::optional<std::int64_t> channelCount,
                                        double cycleHostSeconds) {
  if (!audioStreamingEnabled()) return;
  const auto settings = streamingSettings_.read();
  const double rate = actualSampleRate.value_or(static_cast<double>(settings->sampleRate));
  const std::int64_t channels = channelCount.value_or(settings->channels);
  if (settings->shapeEpoch != seenShapeEpoch_) {
    // What the host receives changed shape (conversion on or off, another
    // rate or chunk): each stream's numbering starts again.
    seenShapeEpoch_ = settings->shapeEpoch;
    nextSequence_.fill(0);
    framesStreamed_.fill(0);
    ++timelineGeneration_;
  }
  const bool converting = settings->convert.value_or(false);
  if (actualSampleRate && !converting &&
      !sampleRateWarningLogged_.load(std::memory_order_relaxed)) {
    const auto actual = rateIntegerPart(*actualSampleRate);
    if (actual && *actual != settings->sampleRate &&
        !sampleRateWarningLogged_.exchange(true, std::memory_order_relaxed)) {
      platform::platformLogRealtime("⚠️ Sample rate mismatch: configured=%lld, actual=%lld",
                                    static_cast<long long>(settings->sampleRate),
                                    static_cast<long long>(*actual));
    }
  }
  // Each buffer of a cataloged stream takes its number whether or not it
  // reaches the host; the queue announces the ones it loses.
  std::optional<AudioFrameQueue::StreamPosition> position;
  if (streamIndex && *streamIndex < AudioFrameQueue::kMaxTimelineStreams) {
    const std::uint32_t stream = *streamIndex;
    const auto frames =
        static_cast<std::uint32_t>(pcm.size() / sizeof(std::int16_t) /
                                   static_cast<std::size_t>(std::max<std::int64_t>(channels, 1)));
    position = AudioFrameQueue::StreamPosition{.stream = stream,
                                               .generation = timelineGeneration_,
                                               .sequence = nextSequence_[stream]++,
                                               .framesBefore = framesStreamed_[stream],
                                               .frames = frames};
    framesStreamed_[stream] += frames;
  }
  if (settings->reshapes()) {
    // The worker numbers what it delivers; the input numbering here lets it
    // see what this thread could not hand over.
    if (position) {
      queueForConversion(pcm, *settings, rate, channels, *position, cycleHostSeconds);
    }
    return;
  }
  std::optional<AudioDataFields::Timeline> timeline;
  if (settings->timeline && position) {
    timeline = AudioDataFields::Timeline{
        .sequence = position->sequence, .hostTime = cycleHostSeconds, .frames = position->frames};
  }
  const FrameBuilder& built = frame_.build({.pcm = pcm,
                                            .format = settings->format,
                                            .sampleRate = rate,
                                            .channels = channels,
                                            .streamIndex = streamIndex,
                                            .actualChannels = channelCount,
                                            .timeline = timeline});
  // The host is written to by the queue's own thread; a full queue drops the
  // oldest audio, never blocks here.
  AudioFrameQueue* queue = audioQueue_.load(std::memory_order_acquire);
  if (queue == nullptr) return;
  if (position) {
    queue->push(built, *position);
  } else {
    queue->push(built);
  }
}

void RecorderManager::queueForConversion(std::span<const std::uint8_t> pcm,
                                         const StreamingSettings& settings, double rate,
                                         std::int64_t channels,
                                         const AudioFrameQueue::StreamPosition& position,
                                         double hostSeconds) {
  ConversionWorker* worker = conversion_.load(std::memory_order_acquire);
  if (worker == nullptr) return;
  const bool convert = settings.convert.value_or(false);
  worker->ring().push({.stream = position.stream,
                       .generation = position.generation,
                       .sequence = position.sequence,
                       .framesBefore = position.framesBefore,
                       .frames = position.frames,
                       .channels = static_cast<std::uint32_t>(std::max<std::int64_t>(channels, 1)),
                       .sampleRate = rate,
                       .hostTime = hostSeconds,
                       .convert = convert,
                       .outRate = convert ? static_cast<std::uint32_t>(settings.sampleRate) : 0,
                       .outChannels = convert ? static_cast<std::uint32_t>(settings.channels) : 0,
                       .chunkMs = static_cast<std::uint32_t>(settings.chunkMs.value_or(0))},
                      pcm);
}

}  // namespace velmar
