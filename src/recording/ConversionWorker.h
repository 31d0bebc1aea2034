#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "protocol/AudioFrameQueue.h"
#include "recording/AudioDataFrame.h"
#include "recording/ConversionRing.h"
#include "recording/StreamConverter.h"

namespace velmar {

// Turns captured buffers into the "audioData" events a host asked for with
// `convert` or `chunkMs`, on its own thread ("audio-convert"), so the IO
// thread only copies each buffer into ring() and returns.
//
// Per stream it resamples and mixes (StreamConverter, made when a stream's
// first buffer or a new format arrives), joins the results into chunks of
// `chunkMs` when asked, and pushes each delivered buffer into the audio frame
// queue with its own numbering: `sequence` and `frames` count delivered
// buffers and their frames at the delivered rate, and `hostTime` is the IO
// cycle time of the input buffer the chunk's first frame came from.
//
// Buffers the ring refused are announced like buffers the frame queue drops:
// the worker sees the hole in a stream's input numbering (or, after a
// stream's last record, in the ring's marks), delivers what it had before the
// hole, and skips as many delivered numbers as the lost audio would have
// filled (its input buffers, or whole chunks when chunking, at least one),
// with their frames. The frame queue's writer then writes the "audioGap";
// lostCount() says how many numbers were skipped.
class ConversionWorker {
 public:
  // Settings that do not change the audio, so they apply from the next
  // delivered buffer on.
  struct Settings {
    std::string format = "pcm16";
    bool timeline = false;
  };

  explicit ConversionWorker(AudioFrameQueue& queue,
                            std::size_t ringBytes = ConversionRing::kDefaultCapacityBytes);
  // Stops the thread; buffers still in the ring are not delivered.
  ~ConversionWorker();
  ConversionWorker(const ConversionWorker&) = delete;
  ConversionWorker& operator=(const ConversionWorker&) = delete;

  // IO thread: the producer's side.
  ConversionRing& ring() { return ring_; }

  // Command side.
  void setSettings(Settings settings);
  // Once the ring has been drained: deliver what every stream still holds
  // (the resampler's tail, a partial chunk). For the end of a stream's
  // audio: IO stopped, or streaming switched off.
  void requestFlush();
  // Delivered numbers skipped for buffers lost before conversion.
  std::uint64_t lostCount() const { return lost_.load(std::memory_order_relaxed); }

 private:
  struct Target {
    bool convert = false;
    double rate = 0;
    std::uint32_t channels = 0;
    std::size_t chunkFrames = 0;  // 0: one delivered buffer per input buffer
  };
  struct Stream {
    bool seen = false;  // a record of this generation arrived
    std::uint64_t nextInSequence = 0;
    std::uint64_t nextInFrame = 0;
    double inRate = 0;
    std::uint32_t inChannels = 0;
    Target target;
    StreamConverter converter;
    std::vector<std::int16_t> pending;  // the chunk being filled
    double pendingHostTime = 0;
    // Since the converter last started afresh: where each input buffer
    // begins (in input frames) and its cycle time, and the frames taken in
    // and given out, so a delivered frame can be dated by its input buffer.
    std::deque<std::pair<std::uint64_t, double>> inputTimes;
    std::uint64_t framesIn = 0;
    std::uint64_t framesOut = 0;
    std::uint64_t nextOutSequence = 0;
    std::uint64_t outFramesBefore = 0;
  };

  void run();
  void refreshSettings();
  void handle(const ConversionRing::Record& record, std::span<const std::int16_t> pcm);
  Target targetOf(const ConversionRing::Record& record) const;
  void reshape(std::uint32_t index, const ConversionRing::Record& record, const Target& target);
  void deliver(std::uint32_t index, std::span<const std::int16_t> samples);
  // The cycle time of the input buffer that delivered frame `frame` (since
  // the converter started afresh) came from.
  double timeOfFrame(Stream& stream, std::uint64_t frame) const;
  void restart(Stream& stream);
  void emit(std::uint32_t index, std::span<const std::int16_t> samples, double hostTime);
  // Everything the stream holds goes out.
  void finish(std::uint32_t index);
  void skip(std::uint32_t index, std::uint64_t buffers, std::uint64_t inFrames);
  void announceTrailingLosses();
  void startGeneration(std::uint32_t generation);

  AudioFrameQueue& queue_;
  ConversionRing ring_;
  std::unique_ptr<Stream[]> streams_;
  std::uint32_t generation_ = 0;
  bool anyRecord_ = false;
  AudioDataFrame frame_;
  Settings settings_;  // the worker's copy

  std::mutex settingsMutex_;
  Settings latestSettings_;  // guarded by settingsMutex_
  std::atomic<std::uint64_t> settingsVersion_{0};
  std::uint64_t seenSettingsVersion_ = 0;

  std::atomic<std::uint64_t> flushRequests_{0};
  std::uint64_t flushesDone_ = 0;
  std::atomic<std::uint64_t> lost_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace velmar
