#include "sim/SimulatedAudioHardware.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmar::sim {

using audiohal::Float64;
using audiohal::kAudioObjectUnknown;
using audiohal::UInt32;

namespace {

// A stable hash (FNV-1a), so derived tones do not change between builds.
std::uint32_t stableHash(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

Float64 derivedProcessTone(std::int32_t pid) {
  return 250.0 + (static_cast<std::uint32_t>(pid) % 50) * 15.0;
}

Float64 derivedDeviceTone(const std::string& uid) { return 200.0 + (stableHash(uid) % 40) * 20.0; }

}  // namespace

Float64 SimulatedAudioHardware::toneOfDevice(const SimulatedDeviceConfig& device) {
  if (device.toneFrequency > 0) return device.toneFrequency;
  return derivedDeviceTone(device.uid);
}

Float64 SimulatedAudioHardware::toneOfProcess(const SimulatedProcessConfig& process) {
  if (process.toneFrequency > 0) return process.toneFrequency;
  return derivedProcessTone(process.pid);
}

// A microphone stream carries its device's tone while the device is alive; a
// tap stream the tones of the running processes it captures, and only while
// capture is authorised (a Mac delivers zeros otherwise). A process of
// amplitude 0 plays digital silence. Sources the table does not know yet
// (they are added first) derive their tone.
void SimulatedAudioHardware::streamTones(const hal::StreamRoute& route, const ToneTable& table,
                                         std::vector<Tone>& tones) {
  tones.clear();
  if (route.source == hal::StreamRoute::Source::kDevice) {
    if (!route.sourceAlive) return;
    auto it = table.devices.find(route.uid);
    tones.push_back(it != table.devices.end() ? it->second
                                              : Tone{derivedDeviceTone(route.uid), kToneAmplitude});
    return;
  }
  if (!table.tapsAuthorized) return;
  for (const hal::CapturedProcess& process : route.captured) {
    if (!process.running) continue;
    auto it = table.processes.find(process.pid);
    const Tone tone = it != table.processes.end()
                          ? it->second
                          : Tone{derivedProcessTone(process.pid), kToneAmplitude};
    if (tone.amplitude != 0) tones.push_back(tone);
  }
}

// Every source is a sine (or a square wave) at its own frequency whose phase
// follows the device's sample time; sources add up and the sum is clipped to
// full scale, or to the loudest source's own amplitude when that is above it
// (an overdriven device is delivered as it is). All channels of a frame
// carry the same sample.
void SimulatedAudioHardware::synthesize(const std::vector<Tone>& tones, Float64 rate,
                                        Float64 sampleTime, UInt32 frames, UInt32 channels,
                                        float* out) {
  double limit = 1.0;
  for (const Tone& tone : tones) limit = std::max(limit, static_cast<double>(tone.amplitude));
  // Each tone's phase is exact at the start of the block (reduced in cycles,
  // so a long-running sample clock loses no precision) and advanced by a
  // rotation per frame: one sine per tone and block instead of per sample.
  constexpr std::size_t kMaxRotated = 16;
  struct Rotor {
    double sine, cosine, stepSine, stepCosine;
  };
  Rotor rotors[kMaxRotated];
  const bool rotate = tones.size() <= kMaxRotated && rate > 0;
  if (rotate) {
    for (std::size_t t = 0; t < tones.size(); ++t) {
      const double cycles = std::fmod(tones[t].frequency * sampleTime / rate, 1.0);
      const double phase = 2 * std::numbers::pi * cycles;
      const double step = 2 * std::numbers::pi * tones[t].frequency / rate;
      rotors[t] = {std::sin(phase), std::cos(phase), std::sin(step), std::cos(step)};
    }
  }
  for (UInt32 frame = 0; frame < frames; ++frame) {
    double value = 0;
    for (std::size_t t = 0; t < tones.size(); ++t) {
      const Tone& tone = tones[t];
      double wave;
      if (rotate) {
        Rotor& r = rotors[t];
        wave = r.sine;
        const double sine = r.sine * r.stepCosine + r.cosine * r.stepSine;
        r.cosine = r.cosine * r.stepCosine - r.sine * r.stepSine;
        r.sine = sine;
      } else {
        wave = std::sin(2 * std::numbers::pi * tone.frequency * (sampleTime + frame) / rate);
      }
      value +=
          tone.amplitude * (tone.waveform == Waveform::kSquare ? (wave >= 0 ? 1.0 : -1.0) : wave);
    }
    float sample = static_cast<float>(std::clamp(value, -limit, limit));
    for (UInt32 c = 0; c < channels; ++c) out[frame * channels + c] = sample;
  }
}

Float64 SimulatedAudioHardware::deviceToneFrequency(const std::string& uid) const {
  if (deviceID(uid) == kAudioObjectUnknown) return 0;
  std::lock_guard lock(tonesMutex_);
  const auto& devices = tones_.latest().devices;
  auto it = devices.find(uid);
  return it == devices.end() ? 0 : it->second.frequency;
}

Float64 SimulatedAudioHardware::processToneFrequency(std::int32_t pid) const {
  if (processObjectID(pid) == kAudioObjectUnknown) return 0;
  std::lock_guard lock(tonesMutex_);
  const auto& processes = tones_.latest().processes;
  auto it = processes.find(pid);
  return it == processes.end() ? 0 : it->second.frequency;
}

}  // namespace velmar::sim
