#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemServices.h"
#include "sim/SimulatedAudioHardware.h"
#include "sim/SimulatedObjects.h"

namespace velmar::sim {

using platform::AuthorizationStatus;

class SimulatedSystemServices;

// One change of a scenario's timeline, due `at` seconds after start.
struct ScenarioEvent {
  double at = 0;
  std::string description;  // e.g. "startAudio pid 1342"
  std::function<void(SimulatedAudioHardware&, SimulatedSystemServices&)> apply;
};

// A simulated machine: its devices, audio processes, default devices,
// capture authorisations, and the changes that happen to it over time.
struct MachineScenario {
  std::string source = "built-in default machine";  // file path for loaded scenarios
  std::vector<SimulatedDeviceConfig> devices;
  std::vector<SimulatedProcessConfig> processes;
  // Made after the devices, in this order (so their IDs are the same on
  // every run of one scenario).
  std::vector<SimulatedAggregateConfig> aggregateDevices;
  std::string defaultInputUID;
  std::string defaultOutputUID;
  AuthorizationStatus authorization = AuthorizationStatus::kAuthorized;
  // The system-audio authorisation of its own; without it, it follows
  // `authorization`.
  std::optional<AuthorizationStatus> systemAudioAuthorization;
  AuthorizationRequestAnswer authorizationRequest;
  // How long the system takes to list its running applications.
  double applicationLookupDelay = 0;
  std::vector<ScenarioEvent> timeline;  // ordered by `at`
  // HAL calls that fail from the start (tap creation, description writes...).
  std::vector<FailureRule> failures;

  // A laptop with a built-in microphone and output, a USB interface, a
  // Bluetooth headset and a handful of audio processes, one of them playing.
  static MachineScenario defaultMachine();
};

}  // namespace velmar::sim
