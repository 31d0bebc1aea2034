#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmar {

class CommandProcessor;
class RecorderManager;

// Where intake runs an action: one of the four serial category queues, the
// shared background pool, or the recorder manager's own strand.
enum class ActionQueue { process, tap, device, microphone, background, recording };

std::string_view queueName(ActionQueue queue);

// One parameter of an action, as the handler reads it.
struct ActionParameter {
  enum class Type { string, integer, number, boolean, object, array };
  std::string_view name;
  Type type;
  bool required = false;
  // Inclusive bounds of an integer parameter, when it has them.
  std::optional<std::int64_t> minimum;
  std::optional<std::int64_t> maximum;
};

std::string_view typeName(ActionParameter::Type type);

// One action: how it is run and what the host can expect of it. Exactly one
// of the two handlers is set, or neither for an action that is acknowledged
// but answered as unsupported.
struct ActionRow {
  using Handler = void (CommandProcessor::*)(const std::string& id, const nlohmann::json& params);
  using RecorderHandler = void (RecorderManager::*)(const nlohmann::json& params,
                                                    const std::string& id);

  std::string_view name;
  ActionQueue queue;
  Handler handler = nullptr;
  RecorderHandler recorderHandler = nullptr;
  // Who sends the early acknowledgment, if one precedes the answer.
  enum class Acknowledgment { none, byDispatch, byHandler };
  Acknowledgment acknowledgment = Acknowledgment::none;
  // The action this one is another name of.
  std::string_view aliasOf;
  std::vector<ActionParameter> parameters;
  // Keys of the final response's `data` on success: always there, and only
  // sometimes there.
  std::vector<std::string_view> data;
  std::vector<std::string_view> optionalData;
  // Error codes its failures can carry, besides the ones any action can.
  std::vector<std::string_view> errors;
  // Some failures are answered with an `error` text and no `code`.
  bool failsWithoutCode = false;
  // Intake logs a warning when two such commands arrive within 50 ms.
  bool raceChecked = false;

  // The table's rows are written as ActionRow(name, queue).handledBy(…)…
  ActionRow(std::string_view name, ActionQueue queue) : name(name), queue(queue) {}
  ActionRow&& handledBy(Handler h) && { return handler = h, std::move(*this); }
  ActionRow&& handledBy(RecorderHandler h) && { return recorderHandler = h, std::move(*this); }
  ActionRow&& acknowledgedBy(Acknowledgment a) && { return acknowledgment = a, std::move(*this); }
  ActionRow&& aliasing(std::string_view original) && {
    return aliasOf = original, std::move(*this);
  }
  ActionRow&& takes(std::vector<ActionParameter> p) && {
    return parameters = std::move(p), std::move(*this);
  }
  ActionRow&& answers(std::vector<std::string_view> keys,
                      std::vector<std::string_view> sometimes = {}) && {
    data = std::move(keys);
    optionalData = std::move(sometimes);
    return std::move(*this);
  }
  ActionRow&& failsWith(std::vector<std::string_view> codes) && {
    return errors = std::move(codes), std::move(*this);
  }
  ActionRow&& failsWithoutCodeToo() && { return failsWithoutCode = true, std::move(*this); }
  ActionRow&& checkedForRaces() && { return raceChecked = true, std::move(*this); }

  bool supported() const { return handler != nullptr || recorderHandler != nullptr; }
  bool acknowledged() const { return acknowledgment != Acknowledgment::none; }
};

// The one list of actions: intake's routing, dispatch, acknowledgments, the
// recorder's strand and the protocol description all read it.
class ActionTable {
 public:
  // Every action, in a fixed order.
  static const std::vector<ActionRow>& rows();
  // The row of an action by its exact name; null when there is none.
  static const ActionRow* find(std::string_view name);
};

}  // namespace velmar
