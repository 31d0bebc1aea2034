#include "commands/CommandDispatcher.h"

#include <exception>

#include "commands/ActionTable.h"
#include "commands/CommandError.h"
#include "platform/PlatformError.h"
#include "protocol/NumberFormat.h"

namespace velmar {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string systemErrorCode(const std::string& domain, long long code) {
  std::string mapped = domain;
  for (char& c : mapped) {
    if (c == '.') c = '_';
  }
  return "system_error_" + mapped + "_" + std::to_string(code);
}

}  // namespace

bool CommandDispatcher::needsAcknowledgment(std::string_view action) {
  const ActionRow* row = ActionTable::find(action);
  return row != nullptr && row->acknowledgment == ActionRow::Acknowledgment::byDispatch;
}

void CommandDispatcher::execute(const std::string& id, const std::string& action,
                                const Handler* handler) const {
  eventEmitter_.logToStderr("Executing command with ID " + id + ": " + action);
  const auto start = Clock::now();
  if (needsAcknowledgment(action)) {
    eventEmitter_.sendResponse(id, true, nlohmann::json::object(), std::nullopt, std::nullopt,
                               true);
  }
  CommandMetrics record{id, action, start, std::nullopt};
  auto finish = [&](bool success) {
    record.duration = secondsSince(start);
    logCommandMetrics(record, success);
  };

  try {
    if (handler == nullptr || !*handler) {
      throw CommandError::executionError("Unsupported action: " + action);
    }
    (*handler)();
    finish(true);
  } catch (const CommandError& e) {
    eventEmitter_.logToStderr("Command execution error: " + e.description());
    eventEmitter_.sendResponse(id, false, std::nullopt, e.description(), e.code());
    eventEmitter_.logToStderr("Command " + id + " failed with error: " + e.description() +
                              " [code: " + e.code() + "]");
    finish(false);
  } catch (const platform::PlatformError& e) {
    eventEmitter_.logToStderr("System error executing command " + id + ": " + e.description());
    eventEmitter_.sendResponse(id, false, std::nullopt, "System error: " + e.localizedDescription(),
                               systemErrorCode(e.domain(), e.code()));
    finish(false);
  } catch (const std::exception& e) {
    eventEmitter_.logToStderr("Unexpected error executing command " + id + ": " + e.what());
    eventEmitter_.sendResponse(id, false, std::nullopt,
                               std::string("Unexpected error: ") + e.what(),
                               std::string("unexpected_error"));
    finish(false);
  } catch (...) {
    eventEmitter_.logToStderr("Unexpected error executing command " + id + ": unknown error");
    eventEmitter_.sendResponse(id, false, std::nullopt,
                               std::string("Unexpected error: unknown error"),
                               std::string("unexpected_error"));
    finish(false);
  }

  const double elapsed = secondsSince(start);
  if (elapsed > kSlowCommandSeconds) {
    eventEmitter_.logToStderr("⚠️ Performance warning: Command " + action + " took " +
                              formatTwoDecimals(elapsed) + "s to execute");
  }
}

void CommandDispatcher::logCommandMetrics(const CommandMetrics& record, bool success) const {
  if (!record.id) return;
  eventEmitter_.logToStderr("METRIC: Command " + record.action.value_or("unknown") + " (" +
                            *record.id + ") " + (success ? "succeeded" : "failed") + " in " +
                            formatTwoDecimals(record.duration.value_or(0.0)) + "s");
}

}  // namespace velmar
