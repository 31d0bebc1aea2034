// Process registry commands of CommandProcessor, the monitoring switches and
// the process monitor's delegate call.
#include "commands/CommandError.h"
#include "commands/CommandParameters.h"
#include "commands/CommandProcessor.h"
#include "protocol/NumberFormat.h"

namespace velmar {

using nlohmann::json;

void CommandProcessor::setupProcessMonitoring() {
  audioProcessManager_->setDelegate(
      std::static_pointer_cast<AudioProcessMonitorDelegate>(shared_from_this()));
  audioProcessManager_->setMonitoringInterval(AudioProcessManager::kDefaultMonitoringInterval);
  // The monitor runs from the start.
  const auto status = audioProcessManager_->startProcessMonitoring();
  eventEmitter_.logToStderr("Process monitoring enabled with interval: " +
                            formatShortestDouble(status.interval) + " seconds");
}

void CommandProcessor::processMonitorDidDetectChanges(const AudioProcessChanges& changes) {
  eventEmitter_.logToStderr("Process monitor detected changes: +" +
                            std::to_string(changes.addedProcesses.size()) + " -" +
                            std::to_string(changes.removedProcesses.size()));
  if (autoUpdateTapsEnabled_) autoUpdateTaps();
}

void CommandProcessor::processListDidChange(const std::vector<AudioObjectID>& added,
                                            const std::vector<AudioObjectID>& removed) {
  // A process that appears is heard by the taps over every process from
  // now, not from the monitor's next report: that could be seconds of a
  // call lost.
  if (!autoUpdateTapsEnabled_ || (added.empty() && removed.empty())) return;
  eventEmitter_.logToStderr("Process list changed: +" + std::to_string(added.size()) + " -" +
                            std::to_string(removed.size()) + ", re-pointing taps");
  autoUpdateTaps();
}

void CommandProcessor::handleListAudioProcesses(const std::string& id, const json&) {
  audioProcessManager_->loadProcessList();
  const auto processes = audioProcessManager_->getAllProcesses();
  eventEmitter_.logToStderr("Sending listAudioProcesses response with " +
                            std::to_string(processes.size()) + " processes");
  const json data = {{"processes", toDictionaries(processes)},
                     {"count", processes.size()},
                     {"runningCount", runningCount(processes)}};
  eventEmitter_.sendResponse(id, true, data);
  eventEmitter_.emitEvent("audioProcessList", data);
}

void CommandProcessor::handleGetRunningAudioProcesses(const std::string& id, const json&) {
  audioProcessManager_->loadProcessList();
  const auto running = audioProcessManager_->getRunningProcesses();
  eventEmitter_.logToStderr("Sending getRunningAudioProcesses response with " +
                            std::to_string(running.size()) + " processes");
  const json data = {{"processes", toDictionaries(running)}, {"count", running.size()}};
  eventEmitter_.sendResponse(id, true, data);
  eventEmitter_.emitEvent("runningAudioProcesses", data);
}

void CommandProcessor::handleFindAudioProcessesByName(const std::string& id,
                                                      const json& parameters) {
  auto name = parameters::string(parameters, "name");
  if (!name) throw CommandError::missingParameter("name");
  const auto found = audioProcessManager_->getProcessesByName(*name);
  eventEmitter_.sendResponse(
      id, true,
      json{{"processes", toDictionaries(found)}, {"count", found.size()}, {"searchTerm", *name}});
}

void CommandProcessor::handleEnableProcessMonitoring(const std::string& id,
                                                     const json& parameters) {
  const auto status =
      audioProcessManager_->enableProcessMonitoring(parameters::number(parameters, "interval"));
  eventEmitter_.logToStderr("Process monitoring enabled with interval: " +
                            formatShortestDouble(status.interval) + " seconds");
  eventEmitter_.sendResponse(id, true,
                             json{{"enabled", true},
                                  {"interval", status.interval},
                                  {"message", "Process monitoring enabled"}});
}

void CommandProcessor::handleDisableProcessMonitoring(const std::string& id, const json&) {
  audioProcessManager_->stopProcessMonitoring();
  eventEmitter_.logToStderr("Process monitoring disabled");
  eventEmitter_.sendResponse(id, true,
                             json{{"enabled", false}, {"message", "Process monitoring disabled"}});
}

void CommandProcessor::handleGetProcessMonitoringStatus(const std::string& id, const json&) {
  const auto status = audioProcessManager_->monitoringStatus();
  eventEmitter_.sendResponse(id, true,
                             json{{"enabled", status.enabled},
                                  {"autoUpdateTaps", autoUpdateTapsEnabled_.load()},
                                  {"interval", status.interval}});
}

void CommandProcessor::handleSetMonitoringInterval(const std::string& id, const json& parameters) {
  auto interval = parameters::number(parameters, "interval");
  if (!interval) throw CommandError::missingParameter("interval");
  const auto status = audioProcessManager_->setMonitoringInterval(*interval);
  eventEmitter_.logToStderr("Process monitoring interval set to " +
                            formatShortestDouble(status.interval) + "s");
  eventEmitter_.sendResponse(
      id, true, json{{"interval", status.interval}, {"message", "Monitoring interval updated"}});
}

}  // namespace velmar
