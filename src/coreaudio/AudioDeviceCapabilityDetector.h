#pragma once

#include <optional>
#include <string>
#include <vector>

#include "coreaudio/AudioDeviceCapabilities.h"
#include "coreaudio/AudioDeviceInfo.h"
#include "coreaudio/AudioDeviceTransportType.h"
#include "coreaudio/CoreAudioTypes.h"

namespace velmar::coreaudio {

// Outcome of checking an aggregate device's clock device.
struct ClockSourceValidation {
  bool isValid = false;
  std::optional<std::string> currentClockUID;
  std::optional<std::string> suggestedClockUID;
};

// Device facts for clock-source and microphone decisions. Stateless: every
// operation reads the HAL afresh, may run on any thread, and turns failed
// reads into defaults instead of errors.
class AudioDeviceCapabilityDetector {
 public:
  // A record for every ID, even one naming nothing (then all defaults).
  static std::optional<AudioDeviceCapabilities> getCapabilities(AudioObjectID deviceID);
  static AudioDeviceTransportType getTransportType(AudioObjectID deviceID);
  static bool checkCanBeClockSource(AudioObjectID deviceID, AudioDeviceTransportType transportType);
  // Exact rates of single-value ranges plus the standard rates inside wider
  // ranges, ascending, duplicates kept.
  static std::vector<Float64> getSupportedSampleRates(AudioObjectID deviceID);

  // First device that is the built-in microphone or the default output,
  // else the highest-priority clock-capable device (earliest on ties).
  static std::optional<std::string> selectBestClockSource(
      const std::vector<AudioDeviceInfo>& devices);
  static std::optional<AudioDeviceInfo> findBuiltInMicrophone();
  static std::optional<AudioDeviceInfo> findActiveInputDevice();
  static std::optional<AudioDeviceInfo> findActiveOutputDevice();
  static bool validateDeviceExists(const std::string& uid);
  static ClockSourceValidation validateAggregateDeviceClockSource(AudioObjectID deviceID);
};

}  // namespace velmar::coreaudio
