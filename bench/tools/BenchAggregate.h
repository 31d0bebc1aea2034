#pragma once

#include "sim/SimulatedMachine.h"

namespace velmar::bench {

// An aggregate device of the simulated machine with the microphone and a tap
// over every process: the two-stream device the capture benches record.
inline audiohal::AudioObjectID makeBenchAggregate(sim::SimulatedMachine& machine) {
  sim::SimulatedAggregateConfig config;
  config.uid = "bench-aggregate";
  config.name = "Bench Aggregate";
  config.subDevices = {"BuiltInMicrophoneDevice"};
  audiohal::CATapDescription tap;
  tap.name = "Bench tap";
  tap.uuid = "bench-tap";
  for (const auto& process : machine.hardware().processes()) {
    tap.processes.push_back(machine.hardware().processObjectID(process.pid));
  }
  machine.hardware().createForeignTap(tap);
  config.taps = {tap.uuid};
  return machine.hardware().addAggregateDevice(config);
}

}  // namespace velmar::bench
