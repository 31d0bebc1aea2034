#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "recording/AudioDataDelegate.h"
#include "recording/PcmConverter.h"

namespace velmar {

class RecorderManager;

// The engine's delegate: turns each captured float buffer into 16-bit PCM
// and hands it to the recorder manager, which streams it to the host. Runs
// on the IO thread only (the engine delivers one buffer at a time); its
// lines go through the real-time logging call, which never waits. Buffers
// are sized by prepareForBuffers(); a buffer larger than announced goes out
// as several events of whole frames rather than allocating.
class AudioDataBridge : public AudioDataDelegate {
 public:
  explicit AudioDataBridge(std::weak_ptr<RecorderManager> recorderManager);

  void didReceiveAudioData(const audiohal::AudioBufferList& bufferList,
                           audiohal::UInt32 streamIndex, audiohal::Float64 sampleRate) override;
  void prepareForBuffers(std::size_t maxSamples) override;
  void beginCycle(double hostSeconds) override { cycleHostSeconds_ = hostSeconds; }

  // Any thread; only the IO thread counts.
  std::int64_t bufferCount() const { return bufferCount_.load(std::memory_order_relaxed); }

 private:
  std::weak_ptr<RecorderManager> recorderManager_;
  PcmConverter converter_;  // reserved up front, reused per buffer
  std::atomic<std::int64_t> bufferCount_{0};
  double cycleHostSeconds_ = 0;  // IO thread only
};

}  // namespace velmar
