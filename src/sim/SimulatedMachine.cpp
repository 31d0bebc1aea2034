#include "sim/SimulatedMachine.h"

#include <cstdlib>
#include <mutex>

#include "platform/Platform.h"
#include "sim/ScenarioLoader.h"

namespace velmar::sim {

namespace {

constexpr const char* kScenarioVariable = "VELMAR_SIM_SCENARIO";

std::mutex installMutex;
// Never destroyed: queues and timers may still reach the machine while the
// process exits.
std::unique_ptr<SimulatedMachine>& installed =
    *new std::unique_ptr<SimulatedMachine>;  // guarded by installMutex

MachineScenario scenarioFromEnvironment() {
  const char* path = std::getenv(kScenarioVariable);
  if (path == nullptr || *path == '\0') return MachineScenario::defaultMachine();
  return ScenarioLoader::loadFile(path);
}

}  // namespace

SimulatedMachine::SimulatedMachine(MachineScenario scenario)
    : source_(scenario.source),
      hardware_(std::make_unique<SimulatedAudioHardware>()),
      system_(std::make_unique<SimulatedSystemServices>(*hardware_)),
      audioUnits_(std::make_unique<SimulatedAudioUnitService>(*hardware_)) {
  for (const auto& device : scenario.devices) hardware_->addDevice(device);
  for (const auto& aggregate : scenario.aggregateDevices) hardware_->addAggregateDevice(aggregate);
  for (const auto& process : scenario.processes) hardware_->addProcess(process);
  if (!scenario.defaultInputUID.empty()) hardware_->setDefaultInputDevice(scenario.defaultInputUID);
  if (!scenario.defaultOutputUID.empty()) {
    hardware_->setDefaultOutputDevice(scenario.defaultOutputUID);
  }
  // After the machine is built, so that building it does not trip them.
  for (const auto& rule : scenario.failures) hardware_->injectFailure(rule);
  system_->setAuthorizationStatus(scenario.authorization);
  system_->setSystemAudioAuthorizationStatus(scenario.systemAudioAuthorization);
  system_->setRequestAnswer(scenario.authorizationRequest);
  system_->setApplicationLookupDelay(scenario.applicationLookupDelay);
  timeline_ =
      std::make_unique<ScenarioTimeline>(std::move(scenario.timeline), *hardware_, *system_);
}

SimulatedMachine::~SimulatedMachine() {
  // Stop the producers of changes before the machine they change.
  timeline_.reset();
  audioUnits_.reset();
  system_.reset();
  hardware_.reset();
}

SimulatedMachine& SimulatedMachine::install(MachineScenario scenario, bool startTimeline) {
  auto machine = std::make_unique<SimulatedMachine>(std::move(scenario));
  std::lock_guard lock(installMutex);
  platform::Platform::install(machine->hardware().front(), machine->system(),
                              machine->audioUnits());
  // The previous machine goes away only after the new one is visible.
  std::unique_ptr<SimulatedMachine> previous = std::move(installed);
  installed = std::move(machine);
  previous.reset();
  if (startTimeline) installed->timeline().start();
  return *installed;
}

SimulatedMachine& SimulatedMachine::installFromEnvironment() {
  return install(scenarioFromEnvironment(), /*startTimeline=*/true);
}

}  // namespace velmar::sim
