#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/EventEmitter.h"

namespace velmar {

// Timing record of one command, the input of its METRIC line.
struct CommandMetrics {
  std::optional<std::string> id;
  std::optional<std::string> action;
  std::chrono::steady_clock::time_point startTime;
  std::optional<double> duration;  // seconds
};

// Runs one validated command: logs it, acknowledges the quick queries, calls
// the handler, answers whatever it raises by kind, and writes the METRIC line
// and the slow-command warning. Knows nothing of the handlers themselves.
class CommandDispatcher {
 public:
  using Handler = std::function<void()>;

  static constexpr double kSlowCommandSeconds = 0.5;

  explicit CommandDispatcher(EventEmitter emitter) : eventEmitter_(emitter) {}

  // A null handler is an unsupported action.
  void execute(const std::string& id, const std::string& action, const Handler* handler) const;

  void logCommandMetrics(const CommandMetrics& record, bool success) const;

  // The actions whose row has dispatch acknowledge them early (the quick
  // list queries).
  static bool needsAcknowledgment(std::string_view action);

 private:
  EventEmitter eventEmitter_;
};

}  // namespace velmar
