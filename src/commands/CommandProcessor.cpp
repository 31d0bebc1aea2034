#include "commands/CommandProcessor.h"

#include "commands/AggregateDeviceTapTarget.h"
#include "commands/CommandError.h"
#include "platform/Platform.h"
#include "protocol/NumberFormat.h"
#include "protocol/Utf8.h"
#include "runtime/HeapMemory.h"

namespace velmar {

using nlohmann::json;

std::shared_ptr<CommandProcessor> CommandProcessor::create() {
  std::shared_ptr<CommandProcessor> processor(new CommandProcessor());
  processor->start();
  return processor;
}

CommandProcessor::CommandProcessor()
    : aggregateDeviceManager_(AggregateDeviceManager::create(platform::Platform::shared().hal())),
      recorderManager_(
          RecorderManager::create(aggregateDeviceManager_, platform::Platform::shared().hal())) {}

void CommandProcessor::start() {
  // Before any command can run: the all-process tap joins the first
  // aggregate device.
  setTapAggregateTarget(std::make_shared<AggregateDeviceTapTarget>(aggregateDeviceManager_));
  tapUpdates_ = makeTapUpdateQueue();
  audioProcessManager_->startListening();
  audioTapManager_->startListening();
  aggregateDeviceManager_->startListening();
  setupProcessMonitoring();
  // The initial lists go out from the background; they are not ordered
  // relative to INIT.
  asio::post(runtime::backgroundPool(), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->emitInitialEvents();
  });
}

void CommandProcessor::emitInitialEvents() {
  audioProcessManager_->emitProcessList();
  audioTapManager_->emitTapList();
  aggregateDeviceManager_->emitDeviceList();
  aggregateDeviceManager_->emitAggregateDeviceList();
}

namespace {

// The slot of the command dispatch is running on this thread.
thread_local const runtime::InFlightLimit::Slot* tCurrentSlot = nullptr;

// Bursts at least this large are followed by giving free heap back: smaller
// ones leave too little to be worth the trim.
constexpr std::size_t kTrimAfterBurstOf = 256;

}  // namespace

void CommandProcessor::afterBurst(std::size_t peak) {
  if (peak < kTrimAfterBurstOf) return;
  // Off the thread that answered the last command (a command strand).
  asio::post(runtime::backgroundPool(), [] { runtime::returnFreeHeapMemory(); });
}

runtime::InFlightLimit::Slot CommandProcessor::currentCommandSlot() {
  return tCurrentSlot != nullptr ? *tCurrentSlot : runtime::InFlightLimit::Slot{};
}

void CommandProcessor::receiveCommand(std::string text) {
  auto slot = inFlight_.acquire();
  asio::post(intakeQueue_,
             [weak = weak_from_this(), text = std::move(text), slot = std::move(slot)]() mutable {
               if (auto self = weak.lock()) self->processCommand(text, std::move(slot));
             });
}

void CommandProcessor::receiveOversizedCommand(std::string head, std::size_t limit) {
  auto slot = inFlight_.acquire();
  asio::post(intakeQueue_,
             [weak = weak_from_this(), head = std::move(head), limit, slot = std::move(slot)] {
               if (auto self = weak.lock()) self->rejectOversizedCommand(head, limit);
             });
}

std::optional<std::string> CommandProcessor::extractIDFromCommand(std::string_view text) {
  // The first "id" <spaces> : <spaces> "<one or more non-quote characters>"
  // anywhere in the text, nested objects included. Scanned by hand: a regex
  // engine that backtracks recursively overflows the stack on long input.
  auto isSpace = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  constexpr std::string_view kKey = "\"id\"";
  for (auto at = text.find(kKey); at != std::string_view::npos; at = text.find(kKey, at + 1)) {
    auto i = at + kKey.size();
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != '"') continue;
    const auto close = text.find('"', i + 1);
    if (close == std::string_view::npos || close == i + 1) continue;
    return std::string(text.substr(i + 1, close - i - 1));
  }
  return std::nullopt;
}

CommandProcessor::Category CommandProcessor::categoryFor(std::string_view action) {
  auto contains = [&](std::string_view part) {
    return action.find(part) != std::string_view::npos;
  };
  if (action == "listAudioProcesses" || action == "getRunningAudioProcesses" ||
      action == "findAudioProcessesByName") {
    return Category::process;
  }
  if (contains("AudioTap") || contains("Tap")) return Category::tap;
  if (contains("AggregateDevice") || contains("Device")) return Category::device;
  if (contains("Microphone") || action == "getMicrophoneStatus") return Category::microphone;
  return Category::background;
}

CommandProcessor::Category CommandProcessor::queueOf(std::string_view action) {
  const ActionRow* row = ActionTable::find(action);
  return row != nullptr ? row->queue : categoryFor(action);
}

runtime::SerialQueue* CommandProcessor::queueFor(Category category) {
  switch (category) {
    case Category::process:
      return &processCommandQueue_;
    case Category::tap:
      return &tapCommandQueue_;
    case Category::device:
      return &deviceCommandQueue_;
    case Category::microphone:
      return &micCommandQueue_;
    case Category::recording:
      return &recorderManager_->commandQueue();
    case Category::background:
      return nullptr;
  }
  return nullptr;
}

void CommandProcessor::processCommand(std::string_view text, runtime::InFlightLimit::Slot slot) {
  const auto receipt = std::chrono::system_clock::now();
  eventEmitter_.logToStderr("Received command: " + std::string(text));
  const std::string commandID = extractIDFromCommand(text).value_or("unknown");

  json command;
  try {
    if (!utf8::isValid(text)) throw CommandError::invalidEncoding();
    try {
      command = json::parse(text);
    } catch (const json::exception& e) {
      throw CommandError::jsonParseError(e.what());
    }
    if (!command.is_object()) {
      throw CommandError::jsonParseError(
          CommandError::invalidFormat("Not a dictionary").description());
    }
    auto id = command.find("id");
    if (id == command.end() || !id->is_string()) throw CommandError::missingParameter("id");
    auto action = command.find("action");
    if (action == command.end() || !action->is_string()) {
      throw CommandError::missingParameter("action");
    }
  } catch (const CommandError& e) {
    reject(commandID, e);
    return;
  }

  std::string id = command["id"].get<std::string>();
  std::string action = command["action"].get<std::string>();

  const ActionRow* row = ActionTable::find(action);
  if (row != nullptr && row->raceChecked) checkForRaceCondition(action, id, receipt);

  runtime::SerialQueue* queue = queueFor(queueOf(action));
  auto task = [weak = weak_from_this(), id = std::move(id), action = std::move(action),
               command = std::move(command), slot = std::move(slot)]() mutable {
    if (auto self = weak.lock()) {
      tCurrentSlot = &slot;
      self->executeCommand(id, action, command);
      tCurrentSlot = nullptr;
    }
    // Answered (or handed to a completion that holds the slot).
    slot.reset();
  };
  if (queue != nullptr) {
    asio::post(*queue, std::move(task));
  } else {
    asio::post(runtime::backgroundPool(), std::move(task));
  }
}

void CommandProcessor::rejectOversizedCommand(std::string_view head, std::size_t limit) {
  eventEmitter_.logToStderr("Received command longer than " + std::to_string(limit) +
                            " bytes; discarding it");
  reject(extractIDFromCommand(head).value_or("unknown"),
         CommandError::invalidFormat("Command exceeds " + std::to_string(limit) + " bytes"));
}

void CommandProcessor::reject(const std::string& commandID, const CommandError& error) {
  eventEmitter_.logToStderr("Command error: " + error.description());
  eventEmitter_.sendErrorResponse(commandID, error.description(), error.code());
  eventEmitter_.sendErrorEvent(error.code(), error.description());
}

void CommandProcessor::checkForRaceCondition(const std::string& action, const std::string& id,
                                             CommandTimestampLog::TimePoint receipt) {
  asio::post(commandTimestampsQueue_, [weak = weak_from_this(), key = action + "_" + id, receipt] {
    auto self = weak.lock();
    if (!self) return;
    auto close = self->commandTimestamps_.record(key, receipt);
    if (close.empty()) return;
    std::string keys;
    for (const auto& k : close) keys += (keys.empty() ? "" : ", ") + k;
    self->eventEmitter_.logToStderr(
        "⚠️ Warning: Detected potential race condition - multiple process commands received "
        "within 50ms: " +
        keys);
  });
}

}  // namespace velmar
