#include "sim/SimulatedSystemServices.h"

#include <optional>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "hal/LinuxSystemReadings.h"

namespace velmar::sim {

namespace {

// The kernel keeps at most 16 characters of a command name.
constexpr size_t kCommandNameLength = 16;

}  // namespace

SimulatedSystemServices::SimulatedSystemServices(SimulatedAudioHardware& hardware)
    : hardware_(hardware), answersWork_(asio::make_work_guard(answers_)) {
  answerThread_ = std::thread([this] { answers_.run(); });
}

SimulatedSystemServices::~SimulatedSystemServices() {
  {
    std::unique_lock lock(mutex_);
    closing_ = true;
    lookupsChanged_.notify_all();
    lookupsChanged_.wait(lock, [this] { return lookupsInProgress_ == 0; });
  }
  answersWork_.reset();
  answers_.stop();
  answerThread_.join();
}

std::vector<RunningApplication> SimulatedSystemServices::runningApplications() {
  std::vector<RunningApplication> applications;
  {
    std::unique_lock lock(mutex_);
    if (applicationLookupDelay_ > 0) {
      ++lookupsInProgress_;
      lookupsChanged_.wait_for(lock, std::chrono::duration<double>(applicationLookupDelay_),
                               [this] { return closing_; });
      --lookupsInProgress_;
      lookupsChanged_.notify_all();
      if (closing_) return applications;
    }
  }
  for (const auto& process : hardware_.processes()) {
    applications.push_back({process.pid, process.name});
  }
  return applications;
}

std::optional<std::string> SimulatedSystemServices::kernelCommandName(std::int32_t pid) {
  if (auto process = hardware_.processWithPID(pid)) {
    std::string name = process->commandName.value_or(process->name.value_or(""));
    return name.substr(0, kCommandNameLength);
  }
  return hal::linuxCommandName(pid);
}

void SimulatedSystemServices::setApplicationLookupDelay(double seconds) {
  std::lock_guard lock(mutex_);
  applicationLookupDelay_ = seconds;
}

std::optional<std::uint64_t> SimulatedSystemServices::taskResidentMemoryBytes() {
  {
    std::lock_guard lock(mutex_);
    if (!taskMemoryAvailable_) return std::nullopt;
  }
  return hal::linuxResidentMemoryBytes();
}

double SimulatedSystemServices::systemUptimeSeconds() { return hal::linuxUptimeSeconds(); }

std::optional<std::uint64_t> SimulatedSystemServices::availableCapacity(const std::string& path) {
  return hal::linuxAvailableCapacity(path);
}

std::uint64_t SimulatedSystemServices::physicalMemoryBytes() {
  return hal::linuxPhysicalMemoryBytes();
}

AuthorizationStatus SimulatedSystemServices::captureAuthorizationStatus() {
  std::lock_guard lock(mutex_);
  return status_;
}

void SimulatedSystemServices::requestCaptureAccess(std::function<void(bool granted)> completion) {
  request(Permission::kCapture, std::move(completion));
}

AuthorizationStatus SimulatedSystemServices::systemAudioAuthorizationStatus() {
  std::lock_guard lock(mutex_);
  return statusLocked(Permission::kSystemAudio);
}

void SimulatedSystemServices::requestSystemAudioAccess(
    std::function<void(bool granted)> completion) {
  request(Permission::kSystemAudio, std::move(completion));
}

AuthorizationStatus& SimulatedSystemServices::statusLocked(Permission permission) {
  if (permission == Permission::kSystemAudio && systemAudioStatus_) return *systemAudioStatus_;
  return status_;
}

void SimulatedSystemServices::request(Permission permission,
                                      std::function<void(bool granted)> completion) {
  using Kind = AuthorizationRequestAnswer::Kind;
  std::optional<AuthorizationRequestAnswer> prompt;
  {
    std::lock_guard lock(mutex_);
    // Only an undetermined status prompts; otherwise the answer is the
    // status itself, still delivered asynchronously.
    if (statusLocked(permission) == AuthorizationStatus::kNotDetermined) prompt = requestAnswer_;
  }
  // The user never answers: the completion is never called.
  if (prompt && prompt->kind == Kind::kNever) return;
  const double delay = prompt ? prompt->delaySeconds : 0;
  auto timer = std::make_shared<asio::steady_timer>(
      answers_, std::chrono::duration_cast<asio::steady_timer::duration>(
                    std::chrono::duration<double>(delay)));
  timer->async_wait([this, timer, permission, prompt,
                     completion = std::move(completion)](const std::error_code&) {
    bool granted = false;
    {
      std::lock_guard lock(mutex_);
      AuthorizationStatus& status = statusLocked(permission);
      if (prompt && status == AuthorizationStatus::kNotDetermined) {
        status = prompt->kind == Kind::kGrant ? AuthorizationStatus::kAuthorized
                                              : AuthorizationStatus::kDenied;
        applyTapAuthorizationLocked();
      }
      granted = status == AuthorizationStatus::kAuthorized;
    }
    completion(granted);
  });
}

void SimulatedSystemServices::setAuthorizationStatus(AuthorizationStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
  applyTapAuthorizationLocked();
}

void SimulatedSystemServices::setSystemAudioAuthorizationStatus(
    std::optional<AuthorizationStatus> status) {
  std::lock_guard lock(mutex_);
  systemAudioStatus_ = status;
  applyTapAuthorizationLocked();
}

void SimulatedSystemServices::applyTapAuthorizationLocked() {
  // As on a Mac, taps deliver zeros without the authorisation. The tone
  // table's lock is taken after ours, never the other way round.
  hardware_.setTapCaptureAuthorized(statusLocked(Permission::kSystemAudio) ==
                                    AuthorizationStatus::kAuthorized);
}

void SimulatedSystemServices::setRequestAnswer(AuthorizationRequestAnswer answer) {
  std::lock_guard lock(mutex_);
  requestAnswer_ = answer;
}

void SimulatedSystemServices::setRequestAnswer(bool grants, double delaySeconds) {
  using Kind = AuthorizationRequestAnswer::Kind;
  setRequestAnswer({grants ? Kind::kGrant : Kind::kDeny, delaySeconds});
}

void SimulatedSystemServices::setTaskMemoryAvailable(bool available) {
  std::lock_guard lock(mutex_);
  taskMemoryAvailable_ = available;
}

}  // namespace velmar::sim
