#pragma once

#include "audiohal/AudioHardware.h"
#include "platform/AudioUnitService.h"
#include "platform/SystemServices.h"

namespace velmar::platform {

// The one door to the operating system: the audio HAL, the other OS services
// and the input audio unit, as interfaces. Which machine stands behind them
// (the Mac's, or the simulated one) is decided by whoever installs them: the
// process entry at start-up, and the tests. Code above this layer only ever
// sees the interfaces.
class Platform {
 public:
  Platform(audiohal::AudioHardware& hal, SystemServices& system, AudioUnitService& audioUnits)
      : hal_(&hal), system_(&system), audioUnits_(&audioUnits) {}

  // The installed platform. Throws std::logic_error when nothing is
  // installed yet, which is a fault of the process entry (or the test).
  static Platform& shared();
  // Makes these services the shared platform. They must outlive every use;
  // install a replacement before destroying them.
  static Platform& install(audiohal::AudioHardware& hal, SystemServices& system,
                           AudioUnitService& audioUnits);

  audiohal::AudioHardware& hal() { return *hal_; }
  SystemServices& system() { return *system_; }
  AudioUnitService& audioUnits() { return *audioUnits_; }

 private:
  audiohal::AudioHardware* hal_;
  SystemServices* system_;
  AudioUnitService* audioUnits_;
};

}  // namespace velmar::platform
