#pragma once

#include "platform/SystemServices.h"

namespace velmar::mac {

// The Mac's answers: the workspace (AppKit), the kernel's process record
// (sysctl), the task's memory (Mach), uptime and physical memory
// (NSProcessInfo), free space (statvfs) and audio-capture authorisation
// (AVCaptureDevice, the microphone's; the system-audio recording permission
// has no public check, see docs/platform.md).
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
};

}  // namespace velmar::mac
