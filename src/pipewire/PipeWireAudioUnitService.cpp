#include "pipewire/PipeWireAudioUnitService.h"

#include <algorithm>

#include "pipewire/PipeWireAudioHardware.h"

namespace velmar::pipewire {

using namespace platform;

namespace {

// The capture ports of one cycle, interleaved into the unit's buffer. A
// buffer wider than the device repeats its last channel (a mono source
// fills both sides of a stereo meter); a port without data is silence.
class PortInput final : public hal::InputCycle {
 public:
  PortInput(const float* const* ports, std::uint32_t count) : ports_(ports), count_(count) {}
  OSStatus read(UInt32 frames, UInt32 channels, float* out) override {
    for (UInt32 c = 0; c < channels; ++c) {
      const float* source = count_ == 0 ? nullptr : ports_[std::min(c, count_ - 1)];
      for (UInt32 f = 0; f < frames; ++f) {
        out[static_cast<std::size_t>(f) * channels + c] = source ? source[f] : 0.0f;
      }
    }
    return audiohal::kAudioHardwareNoError;
  }

 private:
  const float* const* ports_;
  std::uint32_t count_;
};

}  // namespace

struct PipeWireAudioUnitService::Meter final : CaptureSink {
  Meter(PipeWireAudioUnitService& owner, AudioUnit unit) : owner(owner), unit(unit) {}

  void captureCycle(std::uint32_t frames, std::uint64_t monotonicNanos,
                    std::uint64_t samplePosition, const float* const* ports,
                    std::uint32_t portCount) override {
    audiohal::AudioTimeStamp time;
    time.mSampleTime = static_cast<audiohal::Float64>(samplePosition);
    time.mHostTime = monotonicNanos;
    PortInput input(ports, portCount);
    owner.cycle(unit, frames, time, input);
  }

  PipeWireAudioUnitService& owner;
  const AudioUnit unit;
};

PipeWireAudioUnitService::PipeWireAudioUnitService(PipeWireAudioHardware& hardware)
    : InputUnitService(hardware), hardware_(hardware) {}

PipeWireAudioUnitService::~PipeWireAudioUnitService() { stopAll(); }

audiohal::OSStatus PipeWireAudioUnitService::startInput(const InputSpec& spec) {
  auto meter = std::make_unique<Meter>(*this, spec.unit);
  Meter& sink = *meter;
  {
    std::lock_guard lock(mutex_);
    meters_[spec.unit] = std::move(meter);
  }
  hardware_.startDeviceCapture(spec.unit, spec.device, spec.channels, sink);
  return audiohal::kAudioHardwareNoError;
}

void PipeWireAudioUnitService::stopInput(AudioUnit unit, bool fromOwnCycle) {
  // From the unit's own cycle the capture cannot be waited for; its sink
  // stays alive until the service ends.
  hardware_.stopDeviceCapture(unit, !fromOwnCycle);
  std::lock_guard lock(mutex_);
  auto it = meters_.find(unit);
  if (it == meters_.end()) return;
  if (fromOwnCycle) retired_.push_back(std::move(it->second));
  meters_.erase(it);
}

}  // namespace velmar::pipewire
