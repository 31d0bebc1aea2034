// Health commands of CommandProcessor: liveness and the self-test.
#include <cstdlib>

#include "audiohal/HalTypes.h"
#include "commands/CommandProcessor.h"
#include "platform/Platform.h"
#include "platform/PlatformError.h"
#include "protocol/Timestamps.h"

namespace velmar {

namespace {
// Free disk and physical memory must each be strictly above 100 MiB.
constexpr std::uint64_t kResourceThresholdBytes = 104857600;
}  // namespace

void CommandProcessor::handlePing(const std::string& id, const nlohmann::json& /*parameters*/) {
  eventEmitter_.sendResponse(id, true,
                             nlohmann::json{{"status", "alive"}, {"timestamp", nowMillis()}});
}

void CommandProcessor::handleSelfTest(const std::string& id, const nlohmann::json&) {
  eventEmitter_.logToStderr("Running self-test to verify system health");
  const bool tapPermission = checkTapPermissions();
  const bool coreAudioReady = checkCoreAudioAccess();
  const bool processIterationOK = checkProcessIteration();
  const bool diskSpaceOK = checkAvailableDiskSpace();
  const bool memoryOK = checkAvailableMemory();
  const nlohmann::json data = {
      {"tapPermission", tapPermission},
      {"coreAudioReady", coreAudioReady},
      {"processIterationOK", processIterationOK},
      {"diskSpaceOK", diskSpaceOK},
      {"memoryOK", memoryOK},
      {"allTestsPassed",
       tapPermission && coreAudioReady && processIterationOK && diskSpaceOK && memoryOK},
      {"timestamp", nowMillis()}};
  eventEmitter_.logToStderr("Self-test complete: " + data.dump());
  eventEmitter_.sendResponse(id, true, data);
}

// No permission is queried for taps: creating one is what asks.
bool CommandProcessor::checkTapPermissions() { return true; }

bool CommandProcessor::checkCoreAudioAccess() {
  return audiohal::kAudioObjectSystemObject != audiohal::kAudioObjectUnknown;
}

bool CommandProcessor::checkProcessIteration() {
  audioProcessManager_->loadProcessList();
  return true;
}

bool CommandProcessor::checkAvailableDiskSpace() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return true;
  try {
    auto free = platform::Platform::shared().system().availableCapacity(home);
    if (!free) return true;
    return *free > kResourceThresholdBytes;
  } catch (const platform::PlatformError& e) {
    eventEmitter_.logToStderr("Failed to check disk space: " + e.description());
    return true;
  }
}

bool CommandProcessor::checkAvailableMemory() {
  return platform::Platform::shared().system().physicalMemoryBytes() > kResourceThresholdBytes;
}

}  // namespace velmar
