#include "sim/SimulatedAudioHardware.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmar::sim {

using namespace coreaudio;

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

Float64 toneOfProcess(const SimulatedProcessConfig& process) {
  if (process.toneFrequency > 0) return process.toneFrequency;
  return 250.0 + (static_cast<std::uint32_t>(process.pid) % 50) * 15.0;
}

}  // namespace

Float64 SimulatedAudioHardware::toneOfDeviceLocked(const Device& device) const {
  if (device.config.toneFrequency > 0) return device.config.toneFrequency;
  return 200.0 + (stableHash(device.config.uid) % 40) * 20.0;
}

void SimulatedAudioHardware::streamTonesLocked(const Stream& stream,
                                               std::vector<Tone>& tones) const {
  tones.clear();
  if (!stream.isInput) return;
  if (stream.source.kind == StreamSource::Kind::kDevice) {
    const Device* device = deviceByUIDLocked(stream.source.uid);
    if (device && device->config.alive)
      tones.push_back(
          {toneOfDeviceLocked(*device), device->config.toneAmplitude, device->config.waveform});
    return;
  }
  const Tap* tap = tapByUIDLocked(stream.source.uid);
  if (tap == nullptr) return;
  const auto& listed = tap->description.processes;
  for (AudioObjectID processID : processOrder_) {
    const Process& process = processes_.at(processID);
    bool inList = std::find(listed.begin(), listed.end(), processID) != listed.end();
    bool captured = tap->description.isExclusive ? !inList : inList;
    if (captured && process.config.running) {
      tones.push_back({toneOfProcess(process.config), kToneAmplitude});
    }
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
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  return device ? toneOfDeviceLocked(*device) : 0;
}

Float64 SimulatedAudioHardware::processToneFrequency(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return toneOfProcess(process.config);
  }
  return 0;
}

Float64 SimulatedAudioHardware::deviceSampleRate(AudioObjectID device) const {
  std::lock_guard lock(mutex_);
  const Device* found = deviceLocked(device);
  return found ? found->config.nominalSampleRate : 0;
}

OSStatus SimulatedAudioHardware::renderDeviceInput(AudioObjectID device, Float64 sampleTime,
                                                   UInt32 frames, UInt32 channels,
                                                   float* out) const {
  std::vector<Tone> tones;
  Float64 rate = 0;
  {
    std::lock_guard lock(mutex_);
    const Device* found = deviceLocked(device);
    if (found == nullptr) return kAudioHardwareBadDeviceError;
    if (found->inputStreams.empty()) return kAudioHardwareIllegalOperationError;
    streamTonesLocked(streams_.at(found->inputStreams.front()), tones);
    rate = found->config.nominalSampleRate;
  }
  synthesize(tones, rate, sampleTime, frames, channels, out);
  return kAudioHardwareNoError;
}

}  // namespace velmar::sim
