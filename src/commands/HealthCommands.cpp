// Health commands of CommandProcessor: liveness and the self-test.
#include "commands/CommandProcessor.h"
#include "protocol/Timestamps.h"

namespace velmar {

void CommandProcessor::handlePing(const std::string& id, const nlohmann::json& /*parameters*/) {
  eventEmitter_.sendResponse(id, true,
                             nlohmann::json{{"status", "alive"}, {"timestamp", nowMillis()}});
}

}  // namespace velmar
