#pragma once

#include <cstddef>

#include "audiohal/HalTypes.h"

namespace velmar {

// Receives the capture engine's input buffers on the real-time IO thread, one
// stream's buffer per call. `bufferList` holds exactly one buffer of 32-bit
// float samples (interleaved when it has more than one channel); the pointer
// and the samples are valid only during the call, so copy what you keep.
// Implementations must not block, lock or allocate.
class AudioDataDelegate {
 public:
  virtual ~AudioDataDelegate() = default;
  virtual void didReceiveAudioData(const audiohal::AudioBufferList& bufferList,
                                   audiohal::UInt32 streamIndex, audiohal::Float64 sampleRate) = 0;

  // IO thread, before a cycle's buffers: the cycle's time stamp in seconds
  // of the platform's host clock, shared by every stream of the cycle.
  virtual void beginCycle(double hostSeconds) { (void)hostSeconds; }

  // Called off the IO thread while IO is stopped, before buffers of up to
  // `maxSamples` samples (frames × channels of the largest cycle the device
  // announces) arrive: size here what the IO thread will need.
  virtual void prepareForBuffers(std::size_t maxSamples) { (void)maxSamples; }
};

}  // namespace velmar
