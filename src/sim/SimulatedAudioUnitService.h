#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/AudioUnitService.h"
#include "sim/SimulatedAudioHardware.h"

namespace velmar::sim {

// Hardware input units over a simulated machine. A started unit has its own
// thread that calls the render callback every 10 ms; render() delivers what
// the unit's device (the default input unless one was set) picks up.
class SimulatedAudioUnitService : public platform::AudioUnitService {
 public:
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

 private:
  struct Unit {
    AudioObjectID device = 0;  // 0 = the default input
    bool inputEnabled = false;
    bool initialized = false;
    bool running = false;
    platform::AURenderCallbackStruct callback;
    std::thread thread;
    Float64 sampleTime = 0;
  };

  Unit* unitLocked(platform::AudioUnit unit);
  AudioObjectID resolvedDeviceLocked(const Unit& unit) const;
  void stopLocked(std::unique_lock<std::mutex>& lock, Unit& unit);
  void run(platform::AudioUnit handle);

  SimulatedAudioHardware& hardware_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<platform::AudioUnit, std::unique_ptr<Unit>> units_;
};

}  // namespace velmar::sim
