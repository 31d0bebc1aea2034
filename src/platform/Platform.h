#pragma once

#include <memory>
#include <string>

#include "coreaudio/AudioHardware.h"
#include "coreaudio/sim/SimulatedAudioHardware.h"
#include "coreaudio/sim/SimulatedAudioUnitService.h"
#include "platform/AudioUnitService.h"
#include "platform/MachineScenario.h"
#include "platform/ScenarioTimeline.h"
#include "platform/SimulatedSystemServices.h"
#include "platform/SystemServices.h"

namespace velmar::platform {

// The machine the service runs on: the audio HAL, the other OS services and
// the input audio unit. On Linux it is always a simulated machine, built from
// the scenario file named by VELMAR_SIM_SCENARIO or, without one, from the
// built-in default machine.
class Platform {
 public:
  // The process-wide platform, built on first use from the environment.
  // Throws ScenarioError when the scenario file is unusable.
  static Platform& shared();
  // Builds the platform from the environment now, starts the scenario's
  // timeline and installs it; throws ScenarioError (the message names the
  // file, the place and the problem). Call once at start-up.
  static Platform& loadFromEnvironment();
  // Replaces the shared platform by a fresh simulated machine (tests). The
  // timeline is started only when asked; tests usually drive it with
  // timeline().advanceTo(). Call before anything holds on to the old one.
  static Platform& installSimulated(MachineScenario scenario = MachineScenario::defaultMachine(),
                                    bool startTimeline = false);

  explicit Platform(MachineScenario scenario);
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  coreaudio::AudioHardware& hal() { return *hardware_; }
  SystemServices& system() { return *system_; }
  AudioUnitService& audioUnits() { return *audioUnits_; }

  // Control of the simulated machine (tests, scenario runner).
  sim::SimulatedAudioHardware& simulator() { return *hardware_; }
  SimulatedSystemServices& simulatedSystem() { return *system_; }
  ScenarioTimeline& timeline() { return *timeline_; }
  // "built-in default machine" or the scenario file's path.
  const std::string& scenarioSource() const { return source_; }

 private:
  std::string source_;
  std::unique_ptr<sim::SimulatedAudioHardware> hardware_;
  std::unique_ptr<SimulatedSystemServices> system_;
  std::unique_ptr<sim::SimulatedAudioUnitService> audioUnits_;
  std::unique_ptr<ScenarioTimeline> timeline_;
};

}  // namespace velmar::platform
