#pragma once

#include <string>

#include "audiohal/AudioHardware.h"

namespace velmar {

// Whether a recorded stream's source should sound now, as the HAL says.
// Command side; each call reads a few properties.
namespace source_activity {

// A tap should sound while one of the processes it captures is running
// audio (for an exclusive tap: one it does not exclude).
bool tapHasRunningProcess(audiohal::AudioHardware& hal, const std::string& tapUID);
// A device's input should sound while the device is alive and running.
bool deviceIsRunning(audiohal::AudioHardware& hal, const std::string& deviceUID);

}  // namespace source_activity
}  // namespace velmar
