#pragma once

// What a source says the audio objects of the machine look like: plain
// values it hands to hal::ModelAudioHardware when objects appear or change.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "audiohal/HalTypes.h"

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::AudioValueRange;
using audiohal::Float64;
using audiohal::OSStatus;
using audiohal::UInt32;

// How a device exposes its clock source ('csrc').
enum class ClockSourceProperty { kAbsent, kReadOnly, kSettable };

// Exact-rate ranges, one per rate. (A function, not a brace initialiser:
// GCC 12 warns falsely about brace-initialised ranges in default member
// initialisers.)
inline std::vector<AudioValueRange> exactRates(std::initializer_list<Float64> rates) {
  std::vector<AudioValueRange> ranges;
  for (Float64 rate : rates) ranges.push_back(AudioValueRange{rate, rate});
  return ranges;
}

// Whether `rate` lies in one of the ranges.
inline bool supportsRate(const std::vector<AudioValueRange>& ranges, Float64 rate) {
  for (const auto& range : ranges) {
    if (range.mMinimum <= rate && rate <= range.mMaximum) return true;
  }
  return false;
}

struct DeviceConfig {
  std::string uid;
  std::string name;
  UInt32 transport = audiohal::kAudioDeviceTransportTypeUnknown;
  std::vector<UInt32> inputStreams;   // channels per input stream
  std::vector<UInt32> outputStreams;  // channels per output stream
  std::vector<AudioValueRange> sampleRateRanges = exactRates({48000});
  Float64 nominalSampleRate = 48000;
  ClockSourceProperty clockSource = ClockSourceProperty::kSettable;
  bool alive = true;
  // Some other program is capturing from it ('gone' on input).
  bool inUseElsewhere = false;
};

struct ProcessConfig {
  std::int32_t pid = 0;
  std::string bundleID;
  // The application's name; nullopt when nobody names it (daemons, helpers).
  std::optional<std::string> name;
  bool running = false;  // doing audio I/O
  // UID of the output device it plays on; nullopt plays on the default output.
  std::optional<std::string> outputDeviceUID = std::nullopt;
};

// An aggregate device that exists before the service starts (a public one,
// made by another program or left from an earlier session).
struct AggregateConfig {
  std::string uid;
  std::string name;
  std::vector<std::string> subDevices;  // UIDs, in order
  std::vector<std::string> taps;        // UIDs, in order
  bool isPrivate = false;
  std::string mainSubDevice;
  // UID of the clocking device (possibly gone, or ""); nullopt = unset.
  std::optional<std::string> clockDevice;
};

}  // namespace velmar::hal
