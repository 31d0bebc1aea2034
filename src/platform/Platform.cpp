#include "platform/Platform.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/ScenarioLoader.h"

namespace velmar::platform {

namespace {

constexpr const char* kScenarioVariable = "VELMAR_SIM_SCENARIO";

std::mutex installMutex;
// Never destroyed: queues and timers may still reach the platform while the
// process exits.
std::unique_ptr<Platform>& installed = *new std::unique_ptr<Platform>;  // guarded by installMutex
std::atomic<Platform*> current{nullptr};

MachineScenario scenarioFromEnvironment() {
  const char* path = std::getenv(kScenarioVariable);
  if (path == nullptr || *path == '\0') return MachineScenario::defaultMachine();
  return ScenarioLoader::loadFile(path);
}

Platform& installLocked(std::unique_ptr<Platform> platform) {
  // The previous platform goes away only after the new one is visible.
  std::unique_ptr<Platform> previous = std::move(installed);
  installed = std::move(platform);
  current.store(installed.get(), std::memory_order_release);
  previous.reset();
  return *installed;
}

}  // namespace

Platform::Platform(MachineScenario scenario)
    : source_(scenario.source),
      hardware_(std::make_unique<sim::SimulatedAudioHardware>()),
      system_(std::make_unique<SimulatedSystemServices>(*hardware_)),
      audioUnits_(std::make_unique<sim::SimulatedAudioUnitService>(*hardware_)) {
  for (const auto& device : scenario.devices) hardware_->addDevice(device);
  for (const auto& process : scenario.processes) hardware_->addProcess(process);
  if (!scenario.defaultInputUID.empty()) hardware_->setDefaultInputDevice(scenario.defaultInputUID);
  if (!scenario.defaultOutputUID.empty()) {
    hardware_->setDefaultOutputDevice(scenario.defaultOutputUID);
  }
  system_->setAuthorizationStatus(scenario.authorization);
  system_->setRequestAnswer(scenario.authorizationRequestGrants);
  timeline_ =
      std::make_unique<ScenarioTimeline>(std::move(scenario.timeline), *hardware_, *system_);
}

Platform::~Platform() {
  // Stop the producers of changes before the machine they change.
  timeline_.reset();
  audioUnits_.reset();
  system_.reset();
  hardware_.reset();
}

Platform& Platform::shared() {
  if (Platform* platform = current.load(std::memory_order_acquire)) return *platform;
  std::lock_guard lock(installMutex);
  if (installed) return *installed;
  // First use builds it once, even when several threads get here together.
  Platform& result = installLocked(std::make_unique<Platform>(scenarioFromEnvironment()));
  result.timeline().start();
  return result;
}

Platform& Platform::loadFromEnvironment() {
  auto platform = std::make_unique<Platform>(scenarioFromEnvironment());
  std::lock_guard lock(installMutex);
  Platform& result = installLocked(std::move(platform));
  result.timeline().start();
  return result;
}

Platform& Platform::installSimulated(MachineScenario scenario, bool startTimeline) {
  auto platform = std::make_unique<Platform>(std::move(scenario));
  std::lock_guard lock(installMutex);
  Platform& result = installLocked(std::move(platform));
  if (startTimeline) result.timeline().start();
  return result;
}

}  // namespace velmar::platform
