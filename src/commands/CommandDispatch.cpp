// Dispatch of CommandProcessor: the action's row names its handler.
#include "commands/ActionTable.h"
#include "commands/CommandProcessor.h"

namespace velmar {

void CommandProcessor::executeCommand(const std::string& id, const std::string& action,
                                      const nlohmann::json& parameters) {
  const ActionRow* row = ActionTable::find(action);
  if (row == nullptr || !row->supported()) {
    dispatcher_.execute(id, action, nullptr);
    return;
  }
  const CommandDispatcher::Handler handler = [this, row, &id, &parameters] {
    if (row->handler != nullptr) {
      (this->*(row->handler))(id, parameters);
    } else {
      (recorderManager_.get()->*(row->recorderHandler))(parameters, id);
    }
  };
  dispatcher_.execute(id, action, &handler);
}

}  // namespace velmar
