#pragma once

// Descriptions of the things a simulated machine is built from: what a
// scenario file or a test says a device or an audio process looks like.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "audiohal/HalTypes.h"
#include "hal/FaultInjectingAudioHardware.h"
#include "hal/ModelObjects.h"

namespace velmar::sim {

using audiohal::AudioObjectID;
using audiohal::AudioValueRange;
using audiohal::Float64;
using audiohal::OSStatus;
using audiohal::UInt32;

// The model's vocabulary, under the names scenarios and tests use.
using hal::ClockSourceProperty;
using hal::exactRates;
using hal::FailureRule;
using hal::HalOperation;
using hal::supportsRate;
using SimulatedAggregateConfig = hal::AggregateConfig;

// The shape of what a device's microphone picks up.
enum class Waveform { kSine, kSquare };

// A device as the model knows it, plus what its microphone picks up.
struct SimulatedDeviceConfig : hal::DeviceConfig {
  // Tone the device's microphone picks up, Hz; 0 derives one from the UID.
  Float64 toneFrequency = 0;
  // Its peak amplitude; above 1 it models an overdriven float stream, which
  // is delivered unclipped.
  float toneAmplitude = 0.25f;
  Waveform waveform = Waveform::kSine;
};

// An audio process: what the model knows of it (model()), plus its kernel
// name and the tone it plays.
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
  // Its peak amplitude; 0 plays digital silence while running.
  float amplitude = 0.25f;
  // UID of the output device it plays on; nullopt plays on the default output.
  std::optional<std::string> outputDeviceUID = std::nullopt;

  hal::ProcessConfig model() const { return {pid, bundleID, name, running, outputDeviceUID}; }
};

// How the user answers a capture-access prompt, and how long it stays up.
struct AuthorizationRequestAnswer {
  enum class Kind { kGrant, kDeny, kNever };
  Kind kind = Kind::kGrant;
  double delaySeconds = 0.05;
};

}  // namespace velmar::sim
