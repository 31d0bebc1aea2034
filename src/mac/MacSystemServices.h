#pragma once

#include "platform/SystemServices.h"

namespace velmar::mac {

// The Mac's answers: the workspace (AppKit), the kernel's process record
// (sysctl), the task's memory (Mach), uptime and physical memory
// (NSProcessInfo), free space (statvfs), the microphone's authorisation
// (AVCaptureDevice) and the system-audio recording permission, which has no
// public API: TCC's own functions, looked up at run time (docs/platform.md).
class MacSystemServices final : public platform::SystemServices {
 public:
  std::vector<platform::RunningApplication> runningApplications() override;
  std::optional<std::string> kernelCommandName(std::int32_t pid) override;
  std::optional<std::uint64_t> taskResidentMemoryBytes() override;
  double systemUptimeSeconds() override;
  std::optional<std::uint64_t> availableCapacity(const std::string& path) override;
  std::uint64_t physicalMemoryBytes() override;
  platform::AuthorizationStatus captureAuthorizationStatus() override;
  void requestCaptureAccess(std::function<void(bool granted)> completion) override;
  // Without TCC's functions (a system that no longer has them) the status is
  // "not determined" and a request answers false.
  platform::AuthorizationStatus systemAudioAuthorizationStatus() override;
  void requestSystemAudioAccess(std::function<void(bool granted)> completion) override;
};

}  // namespace velmar::mac
