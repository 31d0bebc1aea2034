#include "recording/AudioDataBridge.h"

#include <algorithm>

#include "platform/PlatformLog.h"
#include "recording/RecorderManager.h"

namespace velmar {

using platform::platformLogRealtime;

AudioDataBridge::AudioDataBridge(std::weak_ptr<RecorderManager> recorderManager)
    : recorderManager_(std::move(recorderManager)) {}

void AudioDataBridge::didReceiveAudioData(const audiohal::AudioBufferList& bufferList,
                                          audiohal::UInt32 streamIndex,
                                          audiohal::Float64 sampleRate) {
  auto manager = recorderManager_.lock();
  if (!manager) {
    platformLogRealtime("❌ AudioDataBridge: No recorder manager!");
    return;
  }
  // Streaming or not, whether the stream carries a signal is noted.
  if (!bufferList.mBuffers.empty() && bufferList.mBuffers[0].mData != nullptr) {
    const audiohal::AudioBuffer& buffer = bufferList.mBuffers[0];
    const std::size_t count = wholeSampleCount(buffer.mDataByteSize);
    manager->signalWatch().noteBuffer(streamIndex, static_cast<const float*>(buffer.mData), count,
                                      count / std::max<std::size_t>(buffer.mNumberChannels, 1));
  }
  if (!manager->audioStreamingEnabled()) {
    // Only this thread writes the count: a plain load and store suffice.
    const std::int64_t count = bufferCount_.load(std::memory_order_relaxed);
    if (count % 100 == 0)
      platformLogRealtime("⚠️ AudioDataBridge: Audio streaming not enabled");
    bufferCount_.store(count + 1, std::memory_order_relaxed);
    return;
  }
  platformLogRealtime("🎵 Processing %s - will send to host",
                      streamIndex == 0 ? "Stream 0 (Left Channel)" : "Stream 1 (Right Channel)");
  if (bufferList.mBuffers.empty()) return;
  const audiohal::AudioBuffer& buffer = bufferList.mBuffers[0];
  if (buffer.mData == nullptr || buffer.mDataByteSize == 0) return;
  bufferCount_.store(bufferCount_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  const std::size_t samples = wholeSampleCount(buffer.mDataByteSize);
  const std::size_t channels = std::max<std::size_t>(buffer.mNumberChannels, 1);
  // Whole frames per event; one event unless the buffer outgrew what was
  // prepared.
  std::size_t piece = converter_.capacity() / channels * channels;
  if (piece == 0 || samples <= converter_.capacity()) piece = samples;
  const auto* data = static_cast<const float*>(buffer.mData);
  std::size_t done = 0;
  do {  // once at least: a buffer of less than one sample still makes its event
    const std::size_t count = std::min(piece, samples - done);
    const auto pcm = converter_.convert(data + done, count * sizeof(float));
    manager->streamAudioBuffer(pcm, sampleRate, streamIndex,
                               static_cast<std::int64_t>(buffer.mNumberChannels),
                               cycleHostSeconds_);
    done += count;
  } while (done < samples);
}

void AudioDataBridge::prepareForBuffers(std::size_t maxSamples) {
  converter_.reserve(maxSamples);
  if (auto manager = recorderManager_.lock()) {
    manager->prepareForBuffers(converter_.capacity() * sizeof(std::int16_t));
  }
}

}  // namespace velmar
