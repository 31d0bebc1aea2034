#pragma once

// What an IO procedure receives, for tests that run one on a HAL: the first
// channel of each input stream, whether a stream carried anything but
// zeros, and whether a cycle came after the test said it stopped.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "audiohal/AudioHardware.h"

namespace velmar::testing {

struct IOCapture {
  std::mutex mutex;
  std::condition_variable arrived;
  int cycles = 0;
  std::vector<audiohal::UInt32> channels;  // of the last cycle
  std::vector<std::vector<float>> streams;
  std::vector<bool> sounded;
  std::atomic<bool> calledAfterStop{false};
  std::atomic<bool> stopped{false};

  static audiohal::OSStatus ioProc(audiohal::AudioObjectID, const audiohal::AudioTimeStamp*,
                                   const audiohal::AudioBufferList* input,
                                   const audiohal::AudioTimeStamp*, audiohal::AudioBufferList*,
                                   const audiohal::AudioTimeStamp*, void* clientData) {
    auto* capture = static_cast<IOCapture*>(clientData);
    if (capture->stopped) capture->calledAfterStop = true;
    std::lock_guard lock(capture->mutex);
    ++capture->cycles;
    capture->channels.clear();
    capture->streams.resize(input->numberBuffers());
    capture->sounded.resize(input->numberBuffers());
    for (audiohal::UInt32 i = 0; i < input->numberBuffers(); ++i) {
      const audiohal::AudioBuffer& buffer = input->mBuffers[i];
      capture->channels.push_back(buffer.mNumberChannels);
      const auto* samples = static_cast<const float*>(buffer.mData);
      const audiohal::UInt32 count = buffer.mDataByteSize / 4;
      for (audiohal::UInt32 at = 0; at < count; at += buffer.mNumberChannels)
        capture->streams[i].push_back(samples[at]);
      if (std::any_of(samples, samples + count, [](float v) { return v != 0; }))
        capture->sounded[i] = true;
    }
    capture->arrived.notify_all();
    return 0;
  }

  // Until the first stream holds `frames` frames; false after ten seconds.
  bool waitForFrames(std::size_t frames) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(10),
                            [&] { return !streams.empty() && streams[0].size() >= frames; });
  }
};

}  // namespace velmar::testing
