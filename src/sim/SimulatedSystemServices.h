#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "platform/SystemServices.h"
#include "sim/SimulatedAudioHardware.h"

namespace velmar::sim {

using platform::AuthorizationStatus;
using platform::RunningApplication;

// The operating-system services on Linux. What Linux can answer for this
// process (memory, uptime, file systems, physical memory, the kernel record
// of a real PID) is answered for real; what belongs to the simulated machine
// (its applications, their kernel names, the capture authorisations) comes
// from the simulation.
//
// Authorisations: the microphone's ("capture") and the system audio's. The
// system audio's follows the capture authorisation, as one permission, until
// it is set on its own; from then on it is a permission of its own, asked
// with the same prompt answer. Taps carry zeros unless it is "authorized".
//
// Kernel command names: a PID of a process in the simulated process table
// is answered with that process's short name, even when Linux also has such
// a PID, because the simulated machine is the one the service observes.
// Any other PID is looked up in /proc/<pid>/comm.
class SimulatedSystemServices : public platform::SystemServices {
 public:
  explicit SimulatedSystemServices(SimulatedAudioHardware& hardware);
  ~SimulatedSystemServices() override;

  std::vector<RunningApplication> runningApplications() override;
  std::optional<std::string> kernelCommandName(std::int32_t pid) override;
  std::optional<std::uint64_t> taskResidentMemoryBytes() override;
  double systemUptimeSeconds() override;
  std::optional<std::uint64_t> availableCapacity(const std::string& path) override;
  std::uint64_t physicalMemoryBytes() override;
  AuthorizationStatus captureAuthorizationStatus() override;
  void requestCaptureAccess(std::function<void(bool granted)> completion) override;
  AuthorizationStatus systemAudioAuthorizationStatus() override;
  void requestSystemAudioAccess(std::function<void(bool granted)> completion) override;

  // --- Control API (tests, scenarios) ---
  void setAuthorizationStatus(AuthorizationStatus status);
  // The system audio's own status; nullopt makes it follow the capture
  // authorisation again.
  void setSystemAudioAuthorizationStatus(std::optional<AuthorizationStatus> status);
  // What the user answers when asked while the status is not determined,
  // and how long the prompt takes. A prompt that is never answered never
  // calls its completion. Applies to requests made from now on.
  void setRequestAnswer(AuthorizationRequestAnswer answer);
  void setRequestAnswer(bool grants, double delaySeconds = 0.05);
  // Whether the task's memory figure can be read (it fails when not).
  void setTaskMemoryAvailable(bool available);
  // How long listing the running applications takes (a busy workspace).
  void setApplicationLookupDelay(double seconds);

 private:
  enum class Permission { kCapture, kSystemAudio };
  // The status a request for `permission` reads and decides: the system
  // audio's own while it has one, else the capture authorisation.
  AuthorizationStatus& statusLocked(Permission permission);
  void request(Permission permission, std::function<void(bool granted)> completion);
  // Taps deliver zeros without the system-audio authorisation.
  void applyTapAuthorizationLocked();

  SimulatedAudioHardware& hardware_;
  std::mutex mutex_;
  AuthorizationStatus status_ = AuthorizationStatus::kAuthorized;
  std::optional<AuthorizationStatus> systemAudioStatus_;
  AuthorizationRequestAnswer requestAnswer_;
  bool taskMemoryAvailable_ = true;
  double applicationLookupDelay_ = 0;
  // Slow listings in progress; the destructor cuts them short and waits for them.
  std::condition_variable lookupsChanged_;
  int lookupsInProgress_ = 0;
  bool closing_ = false;

  // Answers to access requests arrive on this thread.
  asio::io_context answers_;
  asio::executor_work_guard<asio::io_context::executor_type> answersWork_;
  std::thread answerThread_;
};

}  // namespace velmar::sim
