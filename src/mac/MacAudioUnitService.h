#pragma once

// Objective-C++ only: included by the backend's .mm files.

#include <AudioToolbox/AudioToolbox.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/AudioUnitService.h"

namespace velmar::mac {

// The AUHAL input unit over AudioToolbox. Properties pass through with their
// own IDs; a callback property (the render callback, or the input callback
// an input-only unit calls) is registered through a trampoline that converts
// the time stamp and hands the project's callback a null buffer list, as the
// HAL does for input. render() points Apple's buffer list, prepared when the
// unit is made, at the caller's buffers.
class MacAudioUnitService final : public platform::AudioUnitService {
 public:
  platform::AudioComponent findNextComponent(
      platform::AudioComponent after,
      const platform::AudioComponentDescription& description) override;
  platform::OSStatus instanceNew(platform::AudioComponent component,
                                 platform::AudioUnit& outUnit) override;
  platform::OSStatus instanceDispose(platform::AudioUnit unit) override;
  platform::OSStatus setProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                                 platform::AudioUnitScope scope, platform::AudioUnitElement element,
                                 const platform::AudioUnitPropertyValue& value) override;
  platform::OSStatus getProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                                 platform::AudioUnitScope scope, platform::AudioUnitElement element,
                                 platform::AudioUnitPropertyValue& outValue) override;
  platform::OSStatus initialize(platform::AudioUnit unit) override;
  platform::OSStatus uninitialize(platform::AudioUnit unit) override;
  platform::OSStatus outputUnitStart(platform::AudioUnit unit) override;
  platform::OSStatus outputUnitStop(platform::AudioUnit unit) override;
  platform::OSStatus render(platform::AudioUnit unit,
                            platform::AudioUnitRenderActionFlags* ioActionFlags,
                            const platform::AudioTimeStamp* timeStamp, platform::UInt32 busNumber,
                            platform::UInt32 frames, platform::AudioBufferList* ioData) override;

  // One unit made by instanceNew. Never freed (a callback may be about to
  // enter when the unit is disposed); disposal releases the Apple unit.
  struct Unit {
    ::AudioUnit unit = nullptr;
    bool disposed = false;  // under the service's mutex
    platform::AURenderCallback callback = nullptr;
    void* callbackRefCon = nullptr;
    std::atomic<bool> delivering{false};
    std::atomic<int> callsInFlight{0};
    // The HAL's time stamp of the cycle being delivered, for render().
    const ::AudioTimeStamp* currentTime = nullptr;
    const platform::AudioTimeStamp* currentProjectTime = nullptr;
    std::uint32_t timebaseNumerator = 1;
    std::uint32_t timebaseDenominator = 1;
    // Apple's buffer list for render(): a header and room for kMaxBuffers.
    std::vector<std::uint64_t> renderList;
  };

 private:
  Unit* find(platform::AudioUnit unit);

  std::mutex mutex_;  // guards units_ and each unit's `disposed`
  std::deque<std::unique_ptr<Unit>> units_;
};

}  // namespace velmar::mac
