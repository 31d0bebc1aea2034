#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmar::platform {

// One entry of the workspace's running applications.
struct RunningApplication {
  std::int32_t processIdentifier = 0;
  std::optional<std::string> localizedName;
};

// A capture authorisation as the platform reports it.
enum class AuthorizationStatus : int {
  kNotDetermined = 0,
  kRestricted = 1,
  kDenied = 2,
  kAuthorized = 3,
};

// The operating-system services other than the audio HAL: the workspace and
// kernel process records, the task's memory, the clock, the file system and
// the two capture authorisations: the microphone's, and the one for other
// applications' audio (process taps), which a platform may keep apart.
class SystemServices {
 public:
  virtual ~SystemServices() = default;

  // The workspace's running applications, in the workspace's order. May
  // block briefly; callers bound the wait themselves.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // The kernel's short command name of a process (at most 16 characters,
  // possibly empty); nullopt when the kernel has no record of the PID.
  virtual std::optional<std::string> kernelCommandName(std::int32_t pid) = 0;

  // Resident memory of this process in bytes; nullopt when unavailable.
  virtual std::optional<std::uint64_t> taskResidentMemoryBytes() = 0;
  // Seconds since the machine started.
  virtual double systemUptimeSeconds() = 0;
  // Free bytes on the file system holding `path` for an unprivileged user;
  // nullopt when the file system gives no figure. Throws PlatformError when
  // the query fails.
  virtual std::optional<std::uint64_t> availableCapacity(const std::string& path) = 0;
  virtual std::uint64_t physicalMemoryBytes() = 0;

  // The microphone's authorisation.
  virtual AuthorizationStatus captureAuthorizationStatus() = 0;
  // Asks for microphone access; `completion` runs later on a platform
  // thread with whether access is granted.
  virtual void requestCaptureAccess(std::function<void(bool granted)> completion) = 0;

  // The authorisation to capture other applications' audio (what a process
  // tap hears). A platform without such a permission of its own answers as
  // it does for the microphone.
  virtual AuthorizationStatus systemAudioAuthorizationStatus() = 0;
  // Asks for that access; `completion` runs later on a platform thread with
  // whether access is granted.
  virtual void requestSystemAudioAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace velmar::platform
