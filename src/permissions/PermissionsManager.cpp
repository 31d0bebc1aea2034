#include "permissions/PermissionsManager.h"

#include "platform/Platform.h"

namespace velmar {

using platform::AuthorizationStatus;

namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string statusNumber(AuthorizationStatus status) {
  return std::to_string(static_cast<int>(status));
}

}  // namespace

PermissionsManager::PermissionsManager()
    : PermissionsManager(platform::Platform::shared().system()) {}

PermissionsManager::PermissionsManager(platform::SystemServices& system) : system_(system) {}

void PermissionsManager::requestMicrophonePermission(Completion completion) {
  eventEmitter_.logToStderr("Requesting microphone access permission");
  // The answer may come after this manager is gone: take copies, not `this`.
  system_.requestCaptureAccess(
      [emitter = eventEmitter_, completion = std::move(completion)](bool granted) {
        emitter.logToStderr(std::string("Microphone access granted: ") + boolText(granted));
        if (completion) completion(granted);
      });
}

bool PermissionsManager::checkMicrophonePermission() {
  const AuthorizationStatus current = system_.captureAuthorizationStatus();
  eventEmitter_.logToStderr("Current microphone permission status: " + statusNumber(current));
  return current == AuthorizationStatus::kAuthorized;
}

void PermissionsManager::requestSystemAudioAccess(Completion completion) {
  eventEmitter_.logToStderr("Requesting system audio access (macOS 14.2+)");
  system_.requestSystemAudioAccess(
      [emitter = eventEmitter_, completion = std::move(completion)](bool granted) {
        emitter.logToStderr(std::string("System audio permission request result: ") +
                            boolText(granted));
        if (completion) completion(granted);
      });
}

bool PermissionsManager::checkSystemAudioPermission() {
  const AuthorizationStatus current = system_.systemAudioAuthorizationStatus();
  const bool granted = current == AuthorizationStatus::kAuthorized;
  eventEmitter_.logToStderr("System audio permission status (macOS 14.2+): " +
                            statusNumber(current) + " -> " + boolText(granted));
  return granted;
}

}  // namespace velmar
