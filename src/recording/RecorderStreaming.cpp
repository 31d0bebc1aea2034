// The streaming half of RecorderManager: the three streaming commands and the
// IO thread's path from PCM bytes to a queued "audioData" frame.
#include <algorithm>
#include <cmath>

#include "commands/CommandParameters.h"
#include "platform/PlatformLog.h"
#include "recording/RecorderManager.h"

namespace velmar {

using nlohmann::json;

namespace {

// At most one mismatch warning per process, whatever later settings say.
std::atomic<bool> sampleRateWarningLogged{false};

// The integer part of a real rate, or nothing for a rate that has none
// worth comparing (NaN, infinite, zero or negative, or beyond 64 bits).
std::optional<std::int64_t> rateIntegerPart(double rate) {
  if (!std::isfinite(rate) || rate <= 0 || rate >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(rate);
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
  // The queue's slots and writer thread come up here, never on the IO
  // thread. Queue and settings first, then the switch: the IO thread never
  // sees the switch on without them.
  if (audioQueue_.load() == nullptr) audioQueue_.store(&AudioFrameQueue::shared());
  streamingSettings_.publish({*format, *sampleRate, channels, timeline});
  audioStreamingEnabled_.store(true, std::memory_order_release);
  eventEmitter_.logToStderr("Audio streaming enabled: format=" + *format + ", sampleRate=" +
                            std::to_string(*sampleRate) + ", channels=" + std::to_string(channels));
  json data{{"format", *format}, {"sampleRate", *sampleRate}, {"channels", channels}};
  if (timeline) data["timeline"] = true;
  eventEmitter_.sendResponse(commandId, true, data);
  eventEmitter_.emitEvent("audioStreamingEnabled", data);
}

void RecorderManager::disableAudioStreaming(const json& /*params*/, const std::string& commandId) {
  audioStreamingEnabled_.store(false, std::memory_order_release);
  eventEmitter_.logToStderr("Audio streaming disabled");
  eventEmitter_.sendResponse(commandId, true);
  eventEmitter_.emitEvent("audioStreamingDisabled", json::object());
}

void RecorderManager::getAudioStreamingStatus(const json& /*params*/,
                                              const std::string& commandId) {
  const StreamingSettings& settings = streamingSettings_.latest();
  eventEmitter_.sendResponse(commandId, true,
                             json{{"enabled", audioStreamingEnabled()},
                                  {"format", settings.format},
                                  {"sampleRate", settings.sampleRate},
                                  {"channels", settings.channels},
                                  // Audio frames lost because the host fell behind.
                                  {"droppedBuffers", droppedBuffers()}});
}

std::uint64_t RecorderManager::droppedBuffers() const {
  const AudioFrameQueue* queue = audioQueue_.load();
  return queue == nullptr ? 0 : queue->droppedCount();
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
  if (actualSampleRate && !sampleRateWarningLogged.load(std::memory_order_relaxed)) {
    const auto actual = rateIntegerPart(*actualSampleRate);
    if (actual && *actual != settings->sampleRate &&
        !sampleRateWarningLogged.exchange(true, std::memory_order_relaxed)) {
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

}  // namespace velmar
