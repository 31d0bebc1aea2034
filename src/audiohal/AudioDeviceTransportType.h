#pragma once

#include <optional>

#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

// How a device is attached. The raw value is the HAL's transport code. The
// enumerators carry a k prefix because one of the natural names ("virtual")
// is a keyword.
enum class AudioDeviceTransportType : UInt32 {
  kUnknown = kAudioDeviceTransportTypeUnknown,
  kBuiltin = kAudioDeviceTransportTypeBuiltIn,
  kAggregate = kAudioDeviceTransportTypeAggregate,
  kVirtual = kAudioDeviceTransportTypeVirtual,
  kPci = kAudioDeviceTransportTypePCI,
  kUsb = kAudioDeviceTransportTypeUSB,
  kFirewire = kAudioDeviceTransportTypeFireWire,
  kBluetooth = kAudioDeviceTransportTypeBluetooth,
  kBluetoothLE = kAudioDeviceTransportTypeBluetoothLE,
  kHdmi = kAudioDeviceTransportTypeHDMI,
  kDisplayPort = kAudioDeviceTransportTypeDisplayPort,
  kAirPlay = kAudioDeviceTransportTypeAirPlay,
  kAvb = kAudioDeviceTransportTypeAVB,
  kThunderbolt = kAudioDeviceTransportTypeThunderbolt,
};

// Exact match against the known codes; nullopt for any other code (callers
// then use kUnknown).
std::optional<AudioDeviceTransportType> audioDeviceTransportTypeFromRawValue(UInt32 rawValue);

constexpr UInt32 rawValue(AudioDeviceTransportType type) { return static_cast<UInt32>(type); }

// Preference as an aggregate device's clock source: higher is better.
int priority(AudioDeviceTransportType type);

// Aggregate, virtual and AirPlay devices have no usable clock of their own.
bool canBeClockSource(AudioDeviceTransportType type);

}  // namespace velmar::audiohal
