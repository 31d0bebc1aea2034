#pragma once

// Plain C++: the process entry includes it.

#include <memory>

namespace velmar::mac {

class MacAudioHardware;
class MacSystemServices;
class MacAudioUnitService;
class MainRunLoopTurn;

// The macOS backend: the Mac's own HAL, OS services and input unit behind
// the platform interfaces. The process entry installs it once and never
// destroys it.
class MacBackend {
 public:
  // Builds the three services, installs the platform and lets the Mac's
  // main run loop turn from the main loop's wait (workspace updates and
  // main-queue work arrive there). The build's deployment target (macOS
  // 14.2, the first with process taps) keeps it from older systems.
  static MacBackend& install();

  ~MacBackend();

 private:
  MacBackend();

  std::unique_ptr<MacAudioHardware> hardware_;
  std::unique_ptr<MacSystemServices> system_;
  std::unique_ptr<MacAudioUnitService> audioUnits_;
  std::unique_ptr<MainRunLoopTurn> runLoopTurn_;
};

}  // namespace velmar::mac
