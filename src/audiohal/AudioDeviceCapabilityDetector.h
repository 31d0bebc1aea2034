#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audiohal/AudioDeviceCapabilities.h"
#include "audiohal/AudioDeviceInfo.h"
#include "audiohal/AudioDeviceTransportType.h"
#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

class AudioHardware;

// Outcome of checking an aggregate device's clock device.
struct ClockSourceValidation {
  bool isValid = false;
  std::optional<std::string> currentClockUID;
  std::optional<std::string> suggestedClockUID;
};

// Device facts for clock-source and microphone decisions. Stateless: every
// operation reads the given HAL afresh, may run on any thread, and turns
// failed reads into defaults instead of errors.
class AudioDeviceCapabilityDetector {
 public:
  // A record for every ID, even one naming nothing (then all defaults).
  static AudioDeviceCapabilities getCapabilities(AudioHardware& hal, AudioObjectID deviceID);
  static AudioDeviceTransportType getTransportType(AudioHardware& hal, AudioObjectID deviceID);
  static bool checkCanBeClockSource(AudioHardware& hal, AudioObjectID deviceID,
                                    AudioDeviceTransportType transportType);
  // Exact rates of single-value ranges plus the standard rates inside wider
  // ranges, ascending, duplicates kept.
  static std::vector<Float64> getSupportedSampleRates(AudioHardware& hal, AudioObjectID deviceID);

  // First device that is the built-in microphone or the default output,
  // else the highest-priority clock-capable device (earliest on ties).
  static std::optional<std::string> selectBestClockSource(
      AudioHardware& hal, const std::vector<AudioDeviceInfo>& devices);
  static std::optional<AudioDeviceInfo> findBuiltInMicrophone(AudioHardware& hal);
  static std::optional<AudioDeviceInfo> findActiveInputDevice(AudioHardware& hal);
  static std::optional<AudioDeviceInfo> findActiveOutputDevice(AudioHardware& hal);
  static bool validateDeviceExists(AudioHardware& hal, const std::string& uid);
  static ClockSourceValidation validateAggregateDeviceClockSource(AudioHardware& hal,
                                                                  AudioObjectID deviceID);
};

}  // namespace velmar::audiohal
