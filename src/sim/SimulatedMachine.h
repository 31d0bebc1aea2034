#pragma once

#include <memory>
#include <string>

#include "sim/MachineScenario.h"
#include "sim/ScenarioTimeline.h"
#include "sim/SimulatedAudioHardware.h"
#include "sim/SimulatedAudioUnitService.h"
#include "sim/SimulatedSystemServices.h"

namespace velmar::sim {

// A whole simulated machine built from a scenario: its HAL, OS services and
// input unit, plus the scenario's timeline. This is the one handle tests and
// the scenario runner hold; everything else reaches the machine through
// platform::Platform, which install() points at it.
class SimulatedMachine {
 public:
  // Builds a fresh machine, installs it as the shared platform and only then
  // destroys the previous one. The timeline is started only when asked;
  // tests usually drive it with timeline().advanceTo(). Call before anything
  // holds on to the old machine.
  static SimulatedMachine& install(MachineScenario scenario = MachineScenario::defaultMachine(),
                                   bool startTimeline = false);
  // The process entry: the scenario file named by VELMAR_SIM_SCENARIO, or the
  // default machine without one; starts its timeline. Throws ScenarioError
  // (the message names the file, the place and the problem).
  static SimulatedMachine& installFromEnvironment();

  explicit SimulatedMachine(MachineScenario scenario);
  ~SimulatedMachine();
  SimulatedMachine(const SimulatedMachine&) = delete;
  SimulatedMachine& operator=(const SimulatedMachine&) = delete;

  SimulatedAudioHardware& hardware() { return *hardware_; }
  SimulatedSystemServices& system() { return *system_; }
  SimulatedAudioUnitService& audioUnits() { return *audioUnits_; }
  ScenarioTimeline& timeline() { return *timeline_; }
  // "built-in default machine" or the scenario file's path.
  const std::string& scenarioSource() const { return source_; }

 private:
  std::string source_;
  std::unique_ptr<SimulatedAudioHardware> hardware_;
  std::unique_ptr<SimulatedSystemServices> system_;
  std::unique_ptr<SimulatedAudioUnitService> audioUnits_;
  std::unique_ptr<ScenarioTimeline> timeline_;
};

}  // namespace velmar::sim
