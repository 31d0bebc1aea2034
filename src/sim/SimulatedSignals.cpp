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

std::vector<SimulatedAudioHardware::Tone> SimulatedAudioHardware::streamTonesLocked(
    const Stream& stream) const {
  std::vector<Tone> tones;
  if (!stream.isInput) return tones;
  if (stream.source.kind == StreamSource::Kind::kDevice) {
    const Device* device = deviceByUIDLocked(stream.source.uid);
    if (device && device->config.alive)
      tones.push_back({toneOfDeviceLocked(*device), kToneAmplitude});
    return tones;
  }
  const Tap* tap = tapByUIDLocked(stream.source.uid);
  if (tap == nullptr) return tones;
  const auto& listed = tap->description.processes;
  for (AudioObjectID processID : processOrder_) {
    const Process& process = processes_.at(processID);
    bool inList = std::find(listed.begin(), listed.end(), processID) != listed.end();
    bool captured = tap->description.isExclusive ? !inList : inList;
    if (captured && process.config.running) {
      tones.push_back({toneOfProcess(process.config), kToneAmplitude});
    }
  }
  return tones;
}

// Every source is a sine at its own frequency whose phase follows the
// device's sample time; sources add up and the sum is clipped to full scale.
// All channels of a frame carry the same sample.
void SimulatedAudioHardware::synthesize(const std::vector<Tone>& tones, Float64 rate,
                                        Float64 sampleTime, UInt32 frames, UInt32 channels,
                                        float* out) {
  for (UInt32 frame = 0; frame < frames; ++frame) {
    double value = 0;
    for (const Tone& tone : tones) {
      value += tone.amplitude *
               std::sin(2 * std::numbers::pi * tone.frequency * (sampleTime + frame) / rate);
    }
    float sample = static_cast<float>(std::clamp(value, -1.0, 1.0));
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
    tones = streamTonesLocked(streams_.at(found->inputStreams.front()));
    rate = found->config.nominalSampleRate;
  }
  synthesize(tones, rate, sampleTime, frames, channels, out);
  return kAudioHardwareNoError;
}

}  // namespace velmar::sim
