#include "sim/SimulatedSystemServices.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "platform/PlatformError.h"

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
  answersWork_.reset();
  answers_.stop();
  answerThread_.join();
}

std::vector<RunningApplication> SimulatedSystemServices::runningApplications() {
  std::vector<RunningApplication> applications;
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
  if (pid <= 0) return std::nullopt;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!comm || !std::getline(comm, name)) return std::nullopt;
  return name.substr(0, kCommandNameLength);
}

std::optional<std::uint64_t> SimulatedSystemServices::taskResidentMemoryBytes() {
  // statm: total program size, then resident set size, in pages.
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  if (!(statm >> size >> resident)) return std::nullopt;
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return std::nullopt;
  return resident * static_cast<std::uint64_t>(pageSize);
}

double SimulatedSystemServices::systemUptimeSeconds() {
  std::ifstream uptime("/proc/uptime");
  double seconds = 0;
  if (!(uptime >> seconds)) return 0;
  return seconds;
}

std::optional<std::uint64_t> SimulatedSystemServices::availableCapacity(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) {
    int error = errno;
    throw platform::PlatformError(
        "NSPOSIXErrorDomain", error,
        "The file system holding \"" + path + "\" could not be queried: " + std::strerror(error));
  }
  if (info.f_frsize == 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::uint64_t SimulatedSystemServices::physicalMemoryBytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

AuthorizationStatus SimulatedSystemServices::captureAuthorizationStatus() {
  std::lock_guard lock(mutex_);
  return status_;
}

void SimulatedSystemServices::requestCaptureAccess(std::function<void(bool granted)> completion) {
  double delay = 0;
  {
    std::lock_guard lock(mutex_);
    // Only an undetermined status prompts; otherwise the answer is the
    // status itself, still delivered asynchronously.
    if (status_ == AuthorizationStatus::kNotDetermined) delay = requestDelaySeconds_;
  }
  auto timer = std::make_shared<asio::steady_timer>(
      answers_, std::chrono::duration_cast<asio::steady_timer::duration>(
                    std::chrono::duration<double>(delay)));
  timer->async_wait([this, timer, completion = std::move(completion)](const std::error_code&) {
    bool granted = false;
    {
      std::lock_guard lock(mutex_);
      if (status_ == AuthorizationStatus::kNotDetermined) {
        status_ = requestGrants_ ? AuthorizationStatus::kAuthorized : AuthorizationStatus::kDenied;
      }
      granted = status_ == AuthorizationStatus::kAuthorized;
    }
    completion(granted);
  });
}

void SimulatedSystemServices::setAuthorizationStatus(AuthorizationStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void SimulatedSystemServices::setRequestAnswer(bool grants, double delaySeconds) {
  std::lock_guard lock(mutex_);
  requestGrants_ = grants;
  requestDelaySeconds_ = delaySeconds;
}

}  // namespace velmar::sim
