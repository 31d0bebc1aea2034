// The action table and dispatch of CommandProcessor.
#include "commands/CommandProcessor.h"

namespace velmar {

const std::unordered_map<std::string, CommandProcessor::Handler>& CommandProcessor::actionTable() {
  using P = CommandProcessor;
  // Null entries are actions whose manager has not joined the processor yet;
  // they are answered exactly as unknown actions are.
  // Never destroyed: dispatch may still run while the process exits.
  static const auto& table = *new std::unordered_map<std::string, Handler>{
      {"getMicrophoneStatus", &P::handleGetMicrophoneStatus},
      {"listAudioProcesses", &P::handleListAudioProcesses},
      {"getRunningAudioProcesses", &P::handleGetRunningAudioProcesses},
      {"findAudioProcessesByName", &P::handleFindAudioProcessesByName},
      {"listAudioTaps", &P::handleListAudioTaps},
      {"createAudioTap", &P::handleCreateAudioTap},
      {"createAudioTapWithAllProcesses", &P::handleCreateAudioTapWithAllProcesses},
      {"createSystemLevelTap", &P::handleCreateSystemLevelTap},
      {"destroyAudioTap", &P::handleDestroyAudioTap},
      {"updateAudioTap", &P::handleUpdateAudioTap},
      {"getAudioDevices", &P::handleGetAudioDevices},
      {"checkAggregateDevice", &P::handleCheckAggregateDevice},
      {"getAggregateDevices", &P::handleGetAggregateDevices},
      {"createAggregateDevice", &P::handleCreateAggregateDevice},
      {"configureAggregateDevice", &P::handleConfigureAggregateDevice},
      {"addDeviceToAggregate", &P::handleAddDeviceToAggregate},
      {"addTapToAggregate", &P::handleAddTapToAggregate},
      {"removeDeviceFromAggregate", &P::handleRemoveDeviceFromAggregate},
      {"removeTapFromAggregate", &P::handleRemoveTapFromAggregate},
      {"destroyAggregateDevice", &P::handleDestroyAggregateDevice},
      {"startRecording", &P::handleStartRecording},
      {"stopRecording", &P::handleStopRecording},
      {"pauseRecording", &P::handlePauseRecording},
      {"resumeRecording", &P::handleResumeRecording},
      {"enableAudioStreaming", &P::handleEnableAudioStreaming},
      {"disableAudioStreaming", &P::handleDisableAudioStreaming},
      {"getAudioStreamingStatus", &P::handleGetAudioStreamingStatus},
      {"getRecordingStatus", &P::handleGetRecordingStatus},
      {"handleDeviceSwitch", &P::handleDeviceSwitch},
      {"enableProcessMonitoring", &P::handleEnableProcessMonitoring},
      {"disableProcessMonitoring", &P::handleDisableProcessMonitoring},
      {"getProcessMonitoringStatus", &P::handleGetProcessMonitoringStatus},
      {"setMonitoringInterval", &P::handleSetMonitoringInterval},
      {"enableTapAutoUpdate", &P::handleEnableTapAutoUpdate},
      {"disableTapAutoUpdate", &P::handleDisableTapAutoUpdate},
      {"forceUpdateTaps", &P::handleForceUpdateTaps},
      {"cleanupAllTaps", &P::handleCleanupAllTaps},
      {"ping", &P::handlePing},
      {"selfTest", &P::handleSelfTest},
      {"requestMicrophonePermission", &P::handleRequestMicrophonePermission},
      {"checkMicrophonePermission", &P::handleCheckMicrophonePermission},
      // The screen-capture names are aliases of the system-audio actions.
      {"requestScreenCaptureAccess", &P::handleRequestSystemAudioAccess},
      {"requestSystemAudioAccess", &P::handleRequestSystemAudioAccess},
      {"checkScreenCapturePermission", &P::handleCheckSystemAudioPermission},
      {"checkSystemAudioPermission", &P::handleCheckSystemAudioPermission},
      {"getPermissionStatus", &P::handleGetPermissionStatus},
      {"getDeviceCapabilities", &P::handleGetDeviceCapabilities},
      {"getOptimalAudioConfig", &P::handleGetOptimalAudioConfig},
      // Listed for acknowledgment only; it has no handler by design.
      {"getRecordings", nullptr},
  };
  return table;
}

void CommandProcessor::executeCommand(const std::string& id, const std::string& action,
                                      const nlohmann::json& parameters) {
  const auto& table = actionTable();
  auto entry = table.find(action);
  if (entry == table.end() || entry->second == nullptr) {
    dispatcher_.execute(id, action, nullptr);
    return;
  }
  const CommandDispatcher::Handler handler = [this, method = entry->second, &id, &parameters] {
    (this->*method)(id, parameters);
  };
  dispatcher_.execute(id, action, &handler);
}

}  // namespace velmar
