#pragma once

// Processes of a simulated machine, for the managers' tests in process.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/MachineScenario.h"

namespace velmar::testing {

inline sim::SimulatedProcessConfig simulatedProcess(std::int32_t pid,
                                                    std::optional<std::string> name,
                                                    std::string bundleID = "",
                                                    bool running = false) {
  sim::SimulatedProcessConfig config;
  config.pid = pid;
  config.name = std::move(name);
  config.bundleID = std::move(bundleID);
  config.running = running;
  return config;
}

// The default machine with these processes instead of its own.
inline sim::MachineScenario machineWith(std::vector<sim::SimulatedProcessConfig> processes) {
  auto scenario = sim::MachineScenario::defaultMachine();
  scenario.processes = std::move(processes);
  return scenario;
}

}  // namespace velmar::testing
