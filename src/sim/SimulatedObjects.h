#pragma once

// Descriptions of the things a simulated machine is built from: what a
// scenario file or a test says a device or an audio process looks like.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "coreaudio/CoreAudioTypes.h"

namespace velmar::sim {

using coreaudio::AudioObjectID;
using coreaudio::AudioValueRange;
using coreaudio::Float64;
using coreaudio::OSStatus;
using coreaudio::UInt32;

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

// The shape of what a device's microphone picks up.
enum class Waveform { kSine, kSquare };

struct SimulatedDeviceConfig {
  std::string uid;
  std::string name;
  UInt32 transport = coreaudio::kAudioDeviceTransportTypeUnknown;
  std::vector<UInt32> inputStreams;   // channels per input stream
  std::vector<UInt32> outputStreams;  // channels per output stream
  std::vector<AudioValueRange> sampleRateRanges = exactRates({48000});
  Float64 nominalSampleRate = 48000;
  ClockSourceProperty clockSource = ClockSourceProperty::kSettable;
  // Tone the device's microphone picks up, Hz; 0 derives one from the UID.
  Float64 toneFrequency = 0;
  // Its peak amplitude; above 1 it models an overdriven float stream, which
  // is delivered unclipped.
  float toneAmplitude = 0.25f;
  Waveform waveform = Waveform::kSine;
  bool alive = true;
  // Some other program is capturing from it ('gone' on input).
  bool inUseElsewhere = false;
};

struct SimulatedProcessConfig {
  std::int32_t pid = 0;
  std::string bundleID;
  // Localized name in the workspace's application list; nullopt when the
  // workspace does not list the process (daemons, helpers).
  std::optional<std::string> name;
  // Kernel short command name; nullopt derives it from `name`.
  std::optional<std::string> commandName;
  bool running = false;  // doing audio I/O
  // Tone the process plays while running, Hz; 0 derives one from the PID.
  Float64 toneFrequency = 0;
  // UID of the output device it plays on; nullopt plays on the default output.
  std::optional<std::string> outputDeviceUID = std::nullopt;
};

// How the user answers a capture-access prompt, and how long it stays up.
struct AuthorizationRequestAnswer {
  enum class Kind { kGrant, kDeny, kNever };
  Kind kind = Kind::kGrant;
  double delaySeconds = 0.05;
};

// An aggregate device that exists on the machine before the service starts
// (a public one, made by another program or left from an earlier session).
struct SimulatedAggregateConfig {
  std::string uid;
  std::string name;
  std::vector<std::string> subDevices;  // UIDs, in order
  std::vector<std::string> taps;        // UIDs, in order
  bool isPrivate = false;
  std::string mainSubDevice;
  // UID of the clocking device (possibly gone, or ""); nullopt = unset.
  std::optional<std::string> clockDevice;
};

// Operations whose answers a test can force.
enum class HalOperation {
  kGetPropertyDataSize,
  kGetPropertyData,
  kSetPropertyData,
  kHasProperty,
  kIsPropertySettable,
  kAddPropertyListener,  // blocks and functions
  kRemovePropertyListener,
  kCreateProcessTap,
  kDestroyProcessTap,
  kCreateAggregateDevice,
  kDestroyAggregateDevice,
  kCreateIOProcID,
  kDestroyIOProcID,
  kDeviceStart,
  kDeviceStop,
};

// Makes matching calls fail with `status` (hasProperty answers false). A
// rule without selector or object matches every selector or object.
struct FailureRule {
  HalOperation operation = HalOperation::kGetPropertyData;
  std::optional<UInt32> selector;
  std::optional<AudioObjectID> object;
  OSStatus status = coreaudio::kAudioHardwareUnspecifiedError;
  // How many calls fail before the rule lapses; nullopt = every call.
  std::optional<int> times;

  static FailureRule when(HalOperation operation, std::optional<UInt32> selector = std::nullopt,
                          std::optional<AudioObjectID> object = std::nullopt,
                          OSStatus status = coreaudio::kAudioHardwareUnspecifiedError,
                          std::optional<int> times = std::nullopt) {
    return FailureRule{operation, selector, object, status, times};
  }
};

}  // namespace velmar::sim
