#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "hal/InputUnitService.h"
#include "sim/SimulatedAudioHardware.h"

namespace velmar::sim {

using hal::AudioUnitOperation;

// Hardware input units over a simulated machine: the shared unit of the HAL
// layer, driven by a thread per started unit that runs a cycle every 10 ms
// with 10 ms of frames at the device's rate; a cycle carries what the
// unit's device (the default input unless one was set) picks up.
class SimulatedAudioUnitService : public hal::InputUnitService {
 public:
  explicit SimulatedAudioUnitService(SimulatedAudioHardware& hardware);
  ~SimulatedAudioUnitService() override;

  // --- Control API (tests) ---
  // Makes matching calls fail with `status` (a property filter applies to
  // the property calls only); every call until cleared.
  void injectFailure(AudioUnitOperation operation, OSStatus status,
                     std::optional<platform::AudioUnitPropertyID> property = std::nullopt);
  void clearFailures();

 protected:
  OSStatus startInput(const InputSpec& spec) override;
  void stopInput(platform::AudioUnit unit, bool fromOwnCycle) override;
  std::optional<OSStatus> forcedFailure(
      AudioUnitOperation operation, std::optional<platform::AudioUnitPropertyID> property) override;

 private:
  struct Failure {
    AudioUnitOperation operation;
    OSStatus status;
    std::optional<platform::AudioUnitPropertyID> property;
  };
  struct Pacer {
    std::mutex mutex;
    std::condition_variable stop;
    bool stopping = false;
    std::thread thread;
  };

  void run(InputSpec spec, std::shared_ptr<Pacer> pacer);

  SimulatedAudioHardware& hardware_;
  std::mutex mutex_;  // pacers_ and failures_
  std::map<platform::AudioUnit, std::shared_ptr<Pacer>> pacers_;
  std::vector<Failure> failures_;
};

}  // namespace velmar::sim
