#include "audiohal/AudioDeviceTransportType.h"

#include <array>

namespace velmar::audiohal {

namespace {

struct TransportFacts {
  AudioDeviceTransportType type;
  int priority;
  bool canBeClockSource;
};

// In declaration order.
constexpr std::array<TransportFacts, 14> kTransports = {{
    {AudioDeviceTransportType::kUnknown, 0, true},
    {AudioDeviceTransportType::kBuiltin, 100, true},
    {AudioDeviceTransportType::kAggregate, 5, false},
    {AudioDeviceTransportType::kVirtual, 10, false},
    {AudioDeviceTransportType::kPci, 75, true},
    {AudioDeviceTransportType::kUsb, 80, true},
    {AudioDeviceTransportType::kFirewire, 60, true},
    {AudioDeviceTransportType::kBluetooth, 40, true},
    {AudioDeviceTransportType::kBluetoothLE, 35, true},
    {AudioDeviceTransportType::kHdmi, 65, true},
    {AudioDeviceTransportType::kDisplayPort, 70, true},
    {AudioDeviceTransportType::kAirPlay, 20, false},
    {AudioDeviceTransportType::kAvb, 50, true},
    {AudioDeviceTransportType::kThunderbolt, 90, true},
}};

const TransportFacts& factsOf(AudioDeviceTransportType type) {
  for (const auto& facts : kTransports) {
    if (facts.type == type) return facts;
  }
  return kTransports[0];
}

}  // namespace

std::optional<AudioDeviceTransportType> audioDeviceTransportTypeFromRawValue(UInt32 value) {
  for (const auto& facts : kTransports) {
    if (rawValue(facts.type) == value) return facts.type;
  }
  return std::nullopt;
}

int priority(AudioDeviceTransportType type) { return factsOf(type).priority; }

bool canBeClockSource(AudioDeviceTransportType type) { return factsOf(type).canBeClockSource; }

}  // namespace velmar::audiohal
