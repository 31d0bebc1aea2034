#pragma once

#include <functional>
#include <string>

#include "platform/SystemServices.h"
#include "protocol/EventEmitter.h"

namespace velmar {

// Reads and requests the user's two capture authorisations: the
// microphone's, and the one for other applications' audio ("system audio",
// what taps hear), which a Mac keeps apart from the microphone's. Keeps no
// state: every check asks the platform afresh.
class PermissionsManager {
 public:
  using Completion = std::function<void(bool granted)>;

  static constexpr const char* kSystemAudioInstructions =
      "To enable System Audio recording:\n"
      "1. Open System Settings\n"
      "2. Navigate to Privacy & Security → Microphone\n"
      "3. Enable permission for this application\n"
      "\n"
      "Note: This permission allows capturing audio from other applications (macOS 14.2+).";

  PermissionsManager();
  explicit PermissionsManager(platform::SystemServices& system);

  // Asks the platform to prompt; `completion` runs once the user (or the
  // platform) answers, on a platform thread, and never if no answer comes.
  void requestMicrophonePermission(Completion completion);
  bool checkMicrophonePermission();
  void requestSystemAudioAccess(Completion completion);
  bool checkSystemAudioPermission();
  std::string getSystemAudioInstructions() const { return kSystemAudioInstructions; }

 private:
  EventEmitter eventEmitter_;
  platform::SystemServices& system_;
};

}  // namespace velmar
