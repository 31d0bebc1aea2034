#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/AudioUnitService.h"
#include "sim/SimulatedAudioHardware.h"

namespace velmar::sim {

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

// Hardware input units over a simulated machine. A started unit has its own
// thread that calls the render callback every 10 ms with 10 ms of frames at
// the device's rate; render() delivers what the unit's device (the default
// input unless one was set) picks up. Units announce the most frames a cycle
// asks for (kAudioUnitProperty_MaximumFramesPerSlice).
class SimulatedAudioUnitService : public platform::AudioUnitService {
 public:
  static constexpr UInt32 kDefaultMaximumFramesPerSlice = 4096;

  explicit SimulatedAudioUnitService(SimulatedAudioHardware& hardware);
  ~SimulatedAudioUnitService() override;

  platform::AudioComponent findNextComponent(
      platform::AudioComponent after,
      const platform::AudioComponentDescription& description) override;
  OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit) override;
  OSStatus instanceDispose(platform::AudioUnit unit) override;
  OSStatus setProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       const platform::AudioUnitPropertyValue& value) override;
  OSStatus getProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       platform::AudioUnitPropertyValue& outValue) override;
  OSStatus initialize(platform::AudioUnit unit) override;
  OSStatus uninitialize(platform::AudioUnit unit) override;
  OSStatus outputUnitStart(platform::AudioUnit unit) override;
  OSStatus outputUnitStop(platform::AudioUnit unit) override;
  OSStatus render(platform::AudioUnit unit, platform::AudioUnitRenderActionFlags* ioActionFlags,
                  const coreaudio::AudioTimeStamp* timeStamp, UInt32 busNumber, UInt32 frames,
                  coreaudio::AudioBufferList* ioData) override;

  // --- Control API (tests) ---
  // What every unit announces as its largest cycle from now on, whatever it
  // really delivers (announcing less than a cycle models a unit that breaks
  // its word).
  void setMaximumFramesPerSlice(UInt32 frames);
  // Makes matching calls fail with `status` (a property filter applies to
  // the property calls only); every call until cleared.
  void injectFailure(AudioUnitOperation operation, OSStatus status,
                     std::optional<platform::AudioUnitPropertyID> property = std::nullopt);
  void clearFailures();

 private:
  struct Failure {
    AudioUnitOperation operation;
    OSStatus status;
    std::optional<platform::AudioUnitPropertyID> property;
  };

  struct Unit {
    AudioObjectID device = 0;  // 0 = the default input
    bool inputEnabled = false;
    bool initialized = false;
    bool running = false;
    platform::AURenderCallbackStruct callback;
    std::thread thread;
    Float64 sampleTime = 0;
    UInt32 maximumFrames = kDefaultMaximumFramesPerSlice;
  };

  std::optional<OSStatus> failureLocked(
      AudioUnitOperation operation,
      std::optional<platform::AudioUnitPropertyID> property = std::nullopt) const;

  Unit* unitLocked(platform::AudioUnit unit);
  AudioObjectID resolvedDeviceLocked(const Unit& unit) const;
  void stopLocked(std::unique_lock<std::mutex>& lock, Unit& unit);
  void run(platform::AudioUnit handle);

  SimulatedAudioHardware& hardware_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<platform::AudioUnit, std::unique_ptr<Unit>> units_;
  UInt32 maximumFramesPerSlice_ = kDefaultMaximumFramesPerSlice;
  std::vector<Failure> failures_;
};

}  // namespace velmar::sim
