// The recording and streaming commands of CommandProcessor. They run on the
// recorder manager's queue (see processCommand), which answers each one.
#include "commands/CommandProcessor.h"

namespace velmar {

using nlohmann::json;

bool CommandProcessor::isRecordingAction(std::string_view action) {
  return action == "startRecording" || action == "stopRecording" || action == "pauseRecording" ||
         action == "resumeRecording" || action == "getRecordingStatus" ||
         action == "enableAudioStreaming" || action == "disableAudioStreaming" ||
         action == "getAudioStreamingStatus";
}

void CommandProcessor::handleStartRecording(const std::string& id, const json& parameters) {
  recorderManager_->handleCommand("startRecording", parameters, id);
}

void CommandProcessor::handleStopRecording(const std::string& id, const json& parameters) {
  recorderManager_->handleCommand("stopRecording", parameters, id);
}

void CommandProcessor::handlePauseRecording(const std::string& id, const json& parameters) {
  recorderManager_->handleCommand("pauseRecording", parameters, id);
}

void CommandProcessor::handleResumeRecording(const std::string& id, const json& parameters) {
  recorderManager_->handleCommand("resumeRecording", parameters, id);
}

void CommandProcessor::handleGetRecordingStatus(const std::string& id, const json& parameters) {
  recorderManager_->handleCommand("getRecordingStatus", parameters, id);
}

void CommandProcessor::handleEnableAudioStreaming(const std::string& id, const json& parameters) {
  recorderManager_->handleStreamingCommand("enableAudioStreaming", parameters, id);
}

void CommandProcessor::handleDisableAudioStreaming(const std::string& id, const json& parameters) {
  recorderManager_->handleStreamingCommand("disableAudioStreaming", parameters, id);
}

void CommandProcessor::handleGetAudioStreamingStatus(const std::string& id,
                                                     const json& parameters) {
  recorderManager_->handleStreamingCommand("getAudioStreamingStatus", parameters, id);
}

}  // namespace velmar
