// Tap commands of CommandProcessor: listing, creating, re-pointing and
// destroying taps, the bulk updates and the auto-update switches.
#include "commands/CommandError.h"
#include "commands/CommandParameters.h"
#include "commands/CommandProcessor.h"
#include "commands/TapConfigParameters.h"

namespace velmar {

using nlohmann::json;

void CommandProcessor::setTapAggregateTarget(std::shared_ptr<TapAggregateTarget> target) {
  tapAggregateTarget_ = std::move(target);
}

void CommandProcessor::handleListAudioTaps(const std::string& id, const json&) {
  audioTapManager_->loadTapList();
  const auto taps = audioTapManager_->getAllTaps();
  eventEmitter_.logToStderr("Sending listAudioTaps response with " + std::to_string(taps.size()) +
                            " taps");
  const json data = {{"taps", toDictionaries(taps)}, {"count", taps.size()}};
  eventEmitter_.sendResponse(id, true, data);
  eventEmitter_.emitEvent("audioTapList", data);
}

void CommandProcessor::handleCreateAudioTap(const std::string& id, const json& parameters) {
  auto settings = parameters::object(parameters, "config");
  if (!settings) throw CommandError::missingParameter("config");
  TapConfig config;
  parameters::applyTapConfig(*settings, config);
  const AudioObjectID tapID = audioTapManager_->createTap(config);
  auto tap = tapID != 0 ? audioTapManager_->getTap(tapID) : std::nullopt;
  if (!tap) throw CommandError::executionError("Failed to create audio tap");
  eventEmitter_.sendResponse(id, true, tap->toDictionary());
}

void CommandProcessor::handleCreateAudioTapWithAllProcesses(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Starting tap management process");
  if (!cleanupExistingTaps()) {
    eventEmitter_.logToStderr("Tap cleanup had issues, attempting to create tap anyway");
  } else {
    eventEmitter_.logToStderr("Creating a fresh tap with all processes");
  }
  createFreshTap(id);
}

bool CommandProcessor::cleanupExistingTaps() {
  audioTapManager_->loadTapList();
  const auto taps = audioTapManager_->getAllTaps();
  if (taps.empty()) {
    eventEmitter_.logToStderr("No existing taps to clean up");
    return true;
  }
  eventEmitter_.logToStderr("Found " + std::to_string(taps.size()) + " existing taps to clean up");
  bool clean = true;
  for (const auto& tap : taps) {
    const std::string tapID = std::to_string(tap.id);
    eventEmitter_.logToStderr("Removing tap: " + tapID + " (" + tap.config.name + ")");
    if (audioTapManager_->destroyTap(tap.id)) {
      eventEmitter_.logToStderr("Successfully removed tap " + tapID);
    } else {
      eventEmitter_.logToStderr("Failed to remove tap " + tapID);
      clean = false;
    }
  }
  audioTapManager_->loadTapList();
  const auto remaining = audioTapManager_->getAllTaps();
  if (remaining.empty()) {
    eventEmitter_.logToStderr("All taps successfully removed");
  } else {
    eventEmitter_.logToStderr("Warning: " + std::to_string(remaining.size()) +
                              " taps still remain after cleanup");
    clean = false;
  }
  return clean;
}

void CommandProcessor::createFreshTap(const std::string& id) {
  const AudioObjectID tapID = audioTapManager_->createTapWithAllProcesses(*audioProcessManager_);
  auto tap = tapID != 0 ? audioTapManager_->getTap(tapID) : std::nullopt;
  if (!tap) throw CommandError::executionError("Failed to create audio tap with all processes");
  eventEmitter_.logToStderr("Successfully created new tap " + std::to_string(tapID));
  addTapToFirstAggregateDevice(*tap);
  eventEmitter_.sendResponse(id, true, tap->toDictionary());
}

void CommandProcessor::addTapToFirstAggregateDevice(const AudioTapInfo& tap) {
  // Without an aggregate device the tap stands alone; that is not a failure.
  // The aggregate exists already, so only its tap list can take the tap
  // (its creation dictionary is past; remaking the device would change the
  // ID the host holds). A host that needs the tap heard on recent macOS
  // names it in "createAggregateDevice" instead.
  if (!tapAggregateTarget_) return;
  const auto aggregates = tapAggregateTarget_->aggregateDeviceIDs();
  if (aggregates.empty()) return;
  const AudioObjectID aggregateID = aggregates.front();
  if (tapAggregateTarget_->addTapToAggregate(aggregateID, tap.uid)) {
    eventEmitter_.logToStderr("Successfully added tap " + std::to_string(tap.id) +
                              " to aggregate device " + std::to_string(aggregateID));
  } else {
    eventEmitter_.logToStderr("Failed to add tap to aggregate device");
  }
}

void CommandProcessor::handleCreateSystemLevelTap(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Creating a system level tap");
  const AudioObjectID tapID = audioTapManager_->createSystemLevelTap(*audioProcessManager_);
  auto tap = tapID != 0 ? audioTapManager_->getTap(tapID) : std::nullopt;
  if (!tap) throw CommandError::executionError("Failed to create system level tap");
  eventEmitter_.sendResponse(id, true, tap->toDictionary());
}

void CommandProcessor::handleDestroyAudioTap(const std::string& id, const json& parameters) {
  auto tapID = parameters::uint32(parameters, "tapID");
  if (!tapID) throw CommandError::missingParameter("tapID");
  if (!audioTapManager_->destroyTap(*tapID)) {
    throw CommandError::executionError("Failed to destroy audio tap");
  }
  eventEmitter_.sendResponse(id, true, json{{"tapID", *tapID}});
}

void CommandProcessor::handleUpdateAudioTap(const std::string& id, const json& parameters) {
  auto tapID = parameters::uint32(parameters, "tapID");
  auto settings = parameters::object(parameters, "config");
  if (!tapID || !settings) {
    throw CommandError::missingParameter("Either tapID or config parameter is missing");
  }
  // The list as last loaded: a tap made since is not known yet.
  auto tap = audioTapManager_->getTap(*tapID);
  if (!tap) {
    throw CommandError::resourceNotFound("Tap with ID " + std::to_string(*tapID) + " not found");
  }
  TapConfig config = tap->config;
  parameters::applyTapConfig(*settings, config);
  // The host picked the processes (or what to leave out): that choice is
  // what re-pointing keeps from now on.
  if (settings->contains("processes") || settings->contains("exclusive")) {
    audioTapManager_->keepChosenProcesses(*tapID);
  }
  auto updated =
      audioTapManager_->updateTap(*tapID, config) ? audioTapManager_->getTap(*tapID) : std::nullopt;
  if (!updated) throw CommandError::executionError("Failed to update audio tap");
  eventEmitter_.sendResponse(id, true, updated->toDictionary());
}

void CommandProcessor::handleEnableTapAutoUpdate(const std::string& id, const json&) {
  autoUpdateTapsEnabled_ = true;
  eventEmitter_.logToStderr("Tap auto-update enabled");
  eventEmitter_.sendResponse(id, true,
                             json{{"enabled", true}, {"message", "Tap auto-update enabled"}});
}

void CommandProcessor::handleDisableTapAutoUpdate(const std::string& id, const json&) {
  autoUpdateTapsEnabled_ = false;
  eventEmitter_.logToStderr("Tap auto-update disabled");
  eventEmitter_.sendResponse(id, true,
                             json{{"enabled", false}, {"message", "Tap auto-update disabled"}});
}

void CommandProcessor::handleForceUpdateTaps(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Forcing update of all taps with current processes");
  // Answered when the run that serves this request has finished; in flight
  // until then, so a host repeating it cannot pile up waiting requests.
  tapUpdates_->request([weak = weak_from_this(), id, slot = currentCommandSlot()](bool allUpdated) {
    auto self = weak.lock();
    if (!self) return;
    self->eventEmitter_.sendResponse(id, allUpdated,
                                     json{{"success", allUpdated},
                                          {"message", allUpdated ? "All taps updated successfully"
                                                                 : "Some taps failed to update"}});
    self->audioTapManager_->emitTapList();
  });
}

void CommandProcessor::handleCleanupAllTaps(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Cleaning up all existing audio taps");
  const bool clean = cleanupExistingTaps();
  eventEmitter_.sendResponse(id, clean,
                             json{{"success", clean},
                                  {"message", clean ? "All taps cleaned up successfully"
                                                    : "Some taps failed to clean up"}});
  audioTapManager_->emitTapList();
}

void CommandProcessor::autoUpdateTaps() {
  eventEmitter_.logToStderr("Auto-updating taps with all current processes");
  tapUpdates_->request([weak = weak_from_this()](bool allUpdated) {
    auto self = weak.lock();
    if (!self) return;
    self->eventEmitter_.logToStderr(allUpdated
                                        ? "Auto-update of taps completed successfully"
                                        : "Auto-update of taps completed with some failures");
    self->audioTapManager_->emitTapList();
  });
}

std::shared_ptr<TapUpdateQueue> CommandProcessor::makeTapUpdateQueue() {
  return TapUpdateQueue::create(
      [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return false;
        return self->audioTapManager_->updateAllTapsWithCurrentProcesses(
            *self->audioProcessManager_);
      },
      runtime::backgroundPool().get_executor());
}

}  // namespace velmar
