// Permission commands of CommandProcessor. The two requests answer twice:
// an acknowledgment at once, the result when the platform answers (on a
// platform thread), then "permissionChanged".
#include "commands/CommandProcessor.h"

namespace velmar {

using nlohmann::json;

void CommandProcessor::handleRequestMicrophonePermission(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Handling request microphone permission command");
  eventEmitter_.sendResponse(id, true, json::object(), std::nullopt, std::nullopt, true);
  // Emitters are stateless; a copy outlives this processor if it must.
  permissionsManager_.requestMicrophonePermission([emitter = eventEmitter_, id](bool granted) {
    emitter.sendResponse(id, true, json{{"granted", granted}, {"permission", "microphone"}});
    emitter.emitEvent("permissionChanged", {{"type", "microphone"}, {"granted", granted}});
  });
}

void CommandProcessor::handleCheckMicrophonePermission(const std::string& id, const json&) {
  const bool granted = permissionsManager_.checkMicrophonePermission();
  eventEmitter_.sendResponse(id, true, json{{"granted", granted}, {"permission", "microphone"}});
}

void CommandProcessor::handleRequestSystemAudioAccess(const std::string& id, const json&) {
  eventEmitter_.logToStderr("Handling request system audio access command");
  eventEmitter_.sendResponse(id, true, json::object(), std::nullopt, std::nullopt, true);
  permissionsManager_.requestSystemAudioAccess(
      [emitter = eventEmitter_, id,
       instructions = permissionsManager_.getSystemAudioInstructions()](bool granted) {
        emitter.sendResponse(id, true,
                             json{{"granted", granted},
                                  {"permission", "systemAudio"},
                                  {"instructions", instructions}});
        emitter.emitEvent("permissionChanged", {{"type", "systemAudio"}, {"granted", granted}});
      });
}

void CommandProcessor::handleCheckSystemAudioPermission(const std::string& id, const json&) {
  const bool granted = permissionsManager_.checkSystemAudioPermission();
  eventEmitter_.sendResponse(
      id, true,
      json{{"granted", granted},
           {"permission", "systemAudio"},
           {"instructions", permissionsManager_.getSystemAudioInstructions()}});
}

void CommandProcessor::handleGetPermissionStatus(const std::string& id, const json&) {
  const bool microphone = permissionsManager_.checkMicrophonePermission();
  const bool systemAudio = permissionsManager_.checkSystemAudioPermission();
  eventEmitter_.sendResponse(
      id, true,
      json{{"microphone", {{"granted", microphone}}},
           {"systemAudio",
            {{"granted", systemAudio},
             {"instructions", permissionsManager_.getSystemAudioInstructions()}}},
           {"allGranted", microphone && systemAudio}});
}

}  // namespace velmar
