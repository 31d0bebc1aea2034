// The microphone status command of CommandProcessor, answered by the
// processor's own detector (the monitor's state is not touched).
#include <algorithm>

#include "commands/CommandProcessor.h"
#include "microphone/LevelNumber.h"
#include "protocol/Timestamps.h"

namespace velmar {

using nlohmann::json;

void CommandProcessor::handleGetMicrophoneStatus(const std::string& id, const json&) {
  const auto status = microphoneDetector_.checkMicrophones();
  const float level = MicrophoneDetector::generateLevel(nowSeconds());
  const float peak = std::min(level * 1.2f, 1.0f);
  eventEmitter_.sendResponse(id, true,
                             json{{"isActive", status.isActive},
                                  {"deviceName", status.name},
                                  {"deviceID", status.id},
                                  {"level", status.isActive ? levelNumber(level) : 0.0},
                                  {"peak", status.isActive ? levelNumber(peak) : 0.0}});
}

}  // namespace velmar
