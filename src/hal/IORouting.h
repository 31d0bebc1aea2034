#pragma once

// What an IO cycle needs to know, published by hal::ModelAudioHardware as an
// immutable snapshot so that the backend's IO thread reads it without a lock.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audiohal/AudioHardware.h"

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::Float64;
using audiohal::UInt32;

// A process a tap captures right now.
struct CapturedProcess {
  AudioObjectID object = 0;
  std::int32_t pid = 0;
  bool running = false;
};

// Where one input stream of a device gets its samples.
struct StreamRoute {
  enum class Source { kDevice, kTap } source = Source::kDevice;
  std::string uid;  // of the device or the tap
  UInt32 channels = 0;
  // Device streams: whether that device is alive (a dead one is silent).
  bool sourceAlive = true;
  // Tap streams: the tap's description and the processes it captures now
  // (all running or not, the listed ones or, exclusive, all the others).
  std::vector<AudioObjectID> tapProcesses;
  bool tapExclusive = false;
  bool tapMixdown = false;
  bool tapMono = false;
  std::vector<CapturedProcess> captured;
};

// Buffers one device's cycles are delivered in. Written only by the IO
// thread; allocated (and kept across snapshots while the layout stays) by
// the model, off the IO thread.
struct IOScratch {
  UInt32 framesCapacity = 0;
  std::vector<UInt32> channels;  // per input stream
  std::vector<float> samples;
  std::vector<std::size_t> offsets;  // of each stream in `samples`
  audiohal::AudioBufferList input;
  audiohal::AudioBufferList output;
};

// A device with started IO procedures.
struct DeviceRoute {
  AudioObjectID device = 0;
  Float64 sampleRate = 0;                                            // nominal
  std::vector<StreamRoute> streams;                                  // its input streams, in order
  std::vector<std::pair<audiohal::AudioDeviceIOProc, void*>> procs;  // started ones
  std::shared_ptr<IOScratch> scratch;
};

struct IORouting {
  std::vector<DeviceRoute> devices;  // in the HAL's device order
};

// Writes one input stream's samples for a cycle: `frames` interleaved frames
// of `channels` float32 samples at `sampleTime`. A source without data this
// cycle writes silence; buffer i is always stream i. Called on the IO thread:
// no lock shared with command threads, no allocation, no waiting.
class StreamFiller {
 public:
  virtual ~StreamFiller() = default;
  virtual void fill(const StreamRoute& route, Float64 sampleRate, Float64 sampleTime, UInt32 frames,
                    UInt32 channels, float* out) = 0;
};

}  // namespace velmar::hal
