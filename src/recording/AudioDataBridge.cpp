#include "recording/AudioDataBridge.h"

#include "platform/PlatformLog.h"
#include "recording/RecorderManager.h"

namespace velmar {

using platform::platformLogRealtime;

AudioDataBridge::AudioDataBridge(std::weak_ptr<RecorderManager> recorderManager)
    : recorderManager_(std::move(recorderManager)) {}

void AudioDataBridge::didReceiveAudioData(const coreaudio::AudioBufferList& bufferList,
                                          coreaudio::UInt32 streamIndex,
                                          coreaudio::Float64 sampleRate) {
  auto manager = recorderManager_.lock();
  if (!manager) {
    platformLogRealtime("❌ AudioDataBridge: No recorder manager!");
    return;
  }
  if (!manager->audioStreamingEnabled()) {
    if (bufferCount_ % 100 == 0)
      platformLogRealtime("⚠️ AudioDataBridge: Audio streaming not enabled");
    ++bufferCount_;
    return;
  }
  platformLogRealtime("🎵 Processing %s - will send to host",
                      streamIndex == 0 ? "Stream 0 (Left Channel)" : "Stream 1 (Right Channel)");
  if (bufferList.mBuffers.empty()) return;
  const coreaudio::AudioBuffer& buffer = bufferList.mBuffers[0];
  if (buffer.mData == nullptr || buffer.mDataByteSize == 0) return;
  const auto pcm = converter_.convert(buffer.mData, buffer.mDataByteSize);
  ++bufferCount_;
  manager->streamAudioBuffer(pcm, sampleRate, streamIndex,
                             static_cast<std::int64_t>(buffer.mNumberChannels));
}

}  // namespace velmar
