#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "aggregate/AggregateDeviceManager.h"
#include "audiohal/AudioHardware.h"
#include "protocol/AudioFrameQueue.h"
#include "protocol/EventEmitter.h"
#include "recording/AudioDataBridge.h"
#include "recording/AudioDataFrame.h"
#include "recording/AudioRecorder.h"
#include "recording/ConversionWorker.h"
#include "recording/SilenceTracker.h"
#include "recording/StreamSignalWatch.h"
#include "runtime/PublishedValue.h"
#include "runtime/Queues.h"
#include "runtime/RepeatingTimer.h"

namespace velmar {

// The command side of recording and streaming: owns the capture engine and
// its delegate, answers the recording and streaming commands, keeps the pause
// bookkeeping for the active duration, and protects the recorded aggregate
// device while it records. Captured audio reaches the host only as
// "audioData" events.
//
// Threads: every handler runs on commandQueue(), one at a time, which is the
// one guard of the manager's and the engine's command-side state; the
// engine's device-lost notice and the silence checks are posted there too.
// The IO thread reads only the streaming switch (an atomic) and the
// published streaming settings, notes in the signal watch whether each
// buffer carried anything but zeros, and hands finished frames to the audio
// frame queue: it never writes to the host itself, never locks and never
// allocates after the first frames.
class RecorderManager : public std::enable_shared_from_this<RecorderManager> {
 public:
  using Clock = std::chrono::steady_clock;

  struct StreamingSettings {
    std::string format = "pcm16";
    std::int64_t sampleRate = 16000;
    std::int64_t channels = 1;
    bool timeline = false;  // "audioData" carries `sequence`, `hostTime`, `frames`
    // As the host gave them (echoed only then). With either, buffers go
    // through the conversion worker: `convert` brings them to `sampleRate`
    // and `channels`, `chunkMs` joins them into chunks of that many ms.
    std::optional<bool> convert;
    std::optional<std::int64_t> chunkMs;
    // Changes whenever what the worker makes of the audio changes, so the
    // IO thread starts a new numbering.
    std::uint32_t shapeEpoch = 0;

    bool reshapes() const { return convert.value_or(false) || chunkMs.has_value(); }
  };

  // `audioQueue` carries the audio frames to standard output; without one,
  // the shared queue is made when streaming is first enabled (so a service
  // that never streams does not hold its memory).
  static std::shared_ptr<RecorderManager> create(
      std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager, audiohal::AudioHardware& hal,
      AudioFrameQueue* audioQueue = nullptr);
  ~RecorderManager();
  RecorderManager(const RecorderManager&) = delete;
  RecorderManager& operator=(const RecorderManager&) = delete;

  // Where the handlers must run.
  runtime::SerialQueue& commandQueue() { return commandQueue_; }

  // The recording and streaming actions, bound by name in the action table.
  // Each runs on commandQueue() and answers its command itself, failures
  // included.
  void startRecording(const nlohmann::json& params, const std::string& commandId);
  void stopRecording(const nlohmann::json& params, const std::string& commandId);
  void pauseRecording(const nlohmann::json& params, const std::string& commandId);
  void resumeRecording(const nlohmann::json& params, const std::string& commandId);
  void getRecordingStatus(const nlohmann::json& params, const std::string& commandId);
  void enableAudioStreaming(const nlohmann::json& params, const std::string& commandId);
  void disableAudioStreaming(const nlohmann::json& params, const std::string& commandId);
  void getAudioStreamingStatus(const nlohmann::json& params, const std::string& commandId);

  double getActiveRecordingDuration();

  // IO thread: one "audioData" event for `pcm` while streaming is enabled.
  void streamAudioBuffer(std::span<const std::uint8_t> pcm,
                         std::optional<double> actualSampleRate = std::nullopt,
                         std::optional<std::uint32_t> streamIndex = std::nullopt,
                         std::optional<std::int64_t> channelCount = std::nullopt,
                         double cycleHostSeconds = 0);
  // Off the IO thread, while IO is stopped: room for buffers of up to
  // `pcmBytes` PCM bytes, so the IO thread builds their frames without
  // allocating.
  void prepareForBuffers(std::size_t pcmBytes);
  bool audioStreamingEnabled() const {
    return audioStreamingEnabled_.load(std::memory_order_acquire);
  }

  AudioRecorder& recorder() { return *recorder_; }
  // IO thread: notes each buffer of each stream.
  StreamSignalWatch& signalWatch() { return signalWatch_; }

  // How often a recording's streams are checked for silence.
  static constexpr std::chrono::milliseconds kSilenceCheckPeriod{250};

 private:
  RecorderManager(std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager,
                  audiohal::AudioHardware& hal, AudioFrameQueue* audioQueue);
  void start();

  void failStart(const std::string& commandId, const std::string& message,
                 const std::optional<std::string>& code = std::nullopt);
  bool deviceExists(audiohal::AudioObjectID id);
  // "recordingStarted" with the device and the map of its input streams.
  void emitRecordingStarted(const std::vector<AggregateDeviceInfo>& devices);
  nlohmann::json streamMap() const;
  void handleDeviceLost(audiohal::AudioObjectID device);
  void handleStreamsChanged(audiohal::AudioObjectID device);
  // Ends a recording whose audio can no longer come, and tells the host.
  void endRecordingAfterLoss(audiohal::AudioObjectID device, const std::string& message,
                             const std::string& why);

  // While recording: every kSilenceCheckPeriod, on the command queue, the
  // streams' silences are looked at and reported ("audioSilenceDetected",
  // "audioSignalRestored").
  void startSilenceChecks();
  void stopSilenceChecks();
  void checkSilence(std::uint64_t generation);

  std::uint64_t droppedBuffers() const;
  // IO thread: hands the buffer to the conversion worker.
  void queueForConversion(std::span<const std::uint8_t> pcm, const StreamingSettings& settings,
                          double rate, std::int64_t channels,
                          const AudioFrameQueue::StreamPosition& position, double hostSeconds);
  // The end of the audio the worker may still hold (IO stopped, streaming off).
  void flushConversion();
  nlohmann::json deviceInfo(const std::vector<AggregateDeviceInfo>& devices) const;
  std::string deviceNameOrUnknown() const;

  EventEmitter eventEmitter_;
  std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager_;
  audiohal::AudioHardware& hal_;
  // Set before streaming is first switched on (on the command queue), read
  // by the IO thread only while streaming is on.
  std::atomic<AudioFrameQueue*> audioQueue_;
  runtime::SerialQueue commandQueue_ = runtime::makeSerialQueue();

  // Command queue only.
  bool isPaused_ = false;
  double pausedDuration_ = 0;
  std::optional<Clock::time_point> pauseStartTime_;

  // Written on the command queue, read on the IO thread.
  std::atomic<bool> audioStreamingEnabled_{false};
  runtime::PublishedValue<StreamingSettings> streamingSettings_{StreamingSettings{}};

  // IO thread only, reset while IO is stopped (prepareForBuffers): each
  // stream's next sequence number and the audio frames streamed so far.
  // Every buffer that goes towards the host is numbered, so the writer can
  // tell the host which ones it lost.
  AudioDataFrame frame_;
  std::array<std::uint64_t, AudioFrameQueue::kMaxTimelineStreams> nextSequence_{};
  std::array<std::uint64_t, AudioFrameQueue::kMaxTimelineStreams> framesStreamed_{};
  std::uint32_t timelineGeneration_ = 0;
  std::uint32_t seenShapeEpoch_ = 0;

  // Made (on the command queue) when a host first asks for conversion or
  // chunks; read by the IO thread only while such settings are published.
  std::unique_ptr<ConversionWorker> conversionWorker_;
  std::atomic<ConversionWorker*> conversion_{nullptr};

  // IO thread: at most one rate-mismatch warning, whatever later settings
  // say (the service has one manager for its whole life, so one per process).
  std::atomic<bool> sampleRateWarningLogged_{false};

  // Written by the IO thread, reset with the catalog (IO stopped).
  StreamSignalWatch signalWatch_;
  // Command queue only; the timer's ticks only post there.
  SilenceTracker silenceTracker_;
  std::uint64_t silenceGeneration_ = 0;
  runtime::RepeatingTimer silenceTimer_;

  // Declared last so that the engine, and with it IO, stops before the
  // delegate and the frame go.
  std::shared_ptr<AudioDataBridge> audioDataBridge_;
  std::unique_ptr<AudioRecorder> recorder_;
};

}  // namespace velmar
