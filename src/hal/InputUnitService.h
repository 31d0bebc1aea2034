#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "hal/ModelAudioHardware.h"
#include "platform/AudioUnitService.h"

namespace velmar::hal {

using audiohal::UInt32;

// Calls of the input unit whose answers a test can force.
enum class AudioUnitOperation {
  kFindComponent,  // finds none
  kInstanceNew,
  kSetProperty,
  kGetProperty,
  kInitialize,
  kOutputUnitStart,
  kRender,
};

// The input of one cycle in progress, as the backend hands it to a unit.
class InputCycle {
 public:
  virtual ~InputCycle() = default;
  // Fills `frames` interleaved frames of `channels` channels (the cycle's
  // thread; must not block or allocate on a real-time backend).
  virtual OSStatus read(UInt32 frames, UInt32 channels, float* out) = 0;
};

// The hardware input unit used for level metering, over the HAL model: the
// one component, unit instances and their properties, the
// initialise/start/stop states, format rules and error answers. A backend
// supplies only how a started unit's cycles are driven (startInput,
// stopInput) and what a cycle carries (the InputCycle passed to cycle()).
//
// Threads: one mutex guards the units for the calls from command threads.
// A running unit's cycle (cycle() and render() from within its callback)
// takes no lock and allocates nothing: what it reads is fixed when the unit
// starts or held in atomics. outputUnitStop and instanceDispose wait, off
// the cycle's thread, until the backend has stopped the unit's cycles;
// stopped from its own callback, a unit's cycles end without a wait.
class InputUnitService : public platform::AudioUnitService {
 public:
  static constexpr UInt32 kDefaultMaximumFramesPerSlice = 4096;

  explicit InputUnitService(ModelAudioHardware& hardware);
  ~InputUnitService() override;

  platform::AudioComponent findNextComponent(
      platform::AudioComponent after, const platform::AudioComponentDescription& description) final;
  OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit) final;
  OSStatus instanceDispose(platform::AudioUnit unit) final;
  OSStatus setProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       const platform::AudioUnitPropertyValue& value) final;
  OSStatus getProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       platform::AudioUnitPropertyValue& outValue) final;
  OSStatus initialize(platform::AudioUnit unit) final;
  OSStatus uninitialize(platform::AudioUnit unit) final;
  OSStatus outputUnitStart(platform::AudioUnit unit) final;
  OSStatus outputUnitStop(platform::AudioUnit unit) final;
  OSStatus render(platform::AudioUnit unit, platform::AudioUnitRenderActionFlags* ioActionFlags,
                  const audiohal::AudioTimeStamp* timeStamp, UInt32 busNumber, UInt32 frames,
                  audiohal::AudioBufferList* ioData) final;

  // What every unit announces as its largest cycle from now on, whatever it
  // really delivers (announcing less than a cycle models a unit that breaks
  // its word).
  void setMaximumFramesPerSlice(UInt32 frames);

 protected:
  // What a started unit listens to, fixed until it stops.
  struct InputSpec {
    platform::AudioUnit unit = nullptr;
    AudioObjectID device = 0;
    Float64 sampleRate = 0;
    UInt32 channels = 0;
  };

  // Starts calling cycle() for the unit, on the backend's thread.
  virtual OSStatus startInput(const InputSpec& spec) = 0;
  // Returns once no cycle of the unit runs or will; `fromOwnCycle`: called
  // from within the unit's callback, so the cycle in progress is not waited
  // for.
  virtual void stopInput(platform::AudioUnit unit, bool fromOwnCycle) = 0;
  // A test's forced answer for a call (none in production).
  virtual std::optional<OSStatus> forcedFailure(AudioUnitOperation,
                                                std::optional<platform::AudioUnitPropertyID>) {
    return std::nullopt;
  }

  // One cycle of a started unit: calls its input callback, whose render()
  // reads `input`. Does nothing once the unit is stopping.
  void cycle(platform::AudioUnit unit, UInt32 frames, const audiohal::AudioTimeStamp& time,
             InputCycle& input);
  // Stops every running unit; a backend calls it first in its destructor,
  // while its stopInput still works.
  void stopAll();

  ModelAudioHardware& hardware() { return hardware_; }

 private:
  struct Unit {
    AudioObjectID device = 0;  // 0 = the default input
    bool running = false;
    bool stopping = false;
    platform::AURenderCallbackStruct inputCallback;
    platform::AURenderCallbackStruct renderCallback;  // kept, never called
    UInt32 maximumFrames = kDefaultMaximumFramesPerSlice;
    // Read by the unit's cycles.
    std::atomic<bool> initialized{false};
    std::atomic<bool> inputEnabled{false};
    std::atomic<bool> cycling{false};
    platform::AURenderCallbackStruct cycleCallback;  // fixed while running
    UInt32 cycleChannels = 0;                        // likewise
  };

  Unit* unitLocked(platform::AudioUnit unit);
  AudioObjectID resolvedDeviceLocked(const Unit& unit) const;
  UInt32 inputChannels(AudioObjectID device) const;
  void stop(std::unique_lock<std::mutex>& lock, platform::AudioUnit handle, Unit& unit);
  OSStatus renderInto(UInt32 frames, UInt32 channels, audiohal::AudioBufferList* ioData,
                      InputCycle& input);

  ModelAudioHardware& hardware_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::map<platform::AudioUnit, std::unique_ptr<Unit>> units_;
  UInt32 maximumFramesPerSlice_ = kDefaultMaximumFramesPerSlice;
};

}  // namespace velmar::hal
