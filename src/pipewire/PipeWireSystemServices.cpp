#include "pipewire/PipeWireSystemServices.h"

#include <pthread.h>

#include <set>

#include <asio/post.hpp>

#include "hal/LinuxSystemReadings.h"
#include "pipewire/PipeWireGraph.h"

namespace velmar::pipewire {

PipeWireSystemServices::PipeWireSystemServices(PipeWireGraph& graph)
    : graph_(graph), answersWork_(asio::make_work_guard(answers_)) {
  answerThread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "pw-answers");
    answers_.run();
  });
}

PipeWireSystemServices::~PipeWireSystemServices() {
  answersWork_.reset();
  answers_.stop();
  answerThread_.join();
}

std::vector<platform::RunningApplication> PipeWireSystemServices::runningApplications() {
  std::vector<platform::RunningApplication> applications;
  std::set<std::int32_t> seen;
  const GraphState graph = graph_.snapshot();
  for (const auto& [id, client] : graph.clients) {
    const std::string& pidText = property(client.props, "application.process.id");
    if (pidText.empty()) continue;
    std::int32_t pid = 0;
    try {
      pid = static_cast<std::int32_t>(std::stol(pidText));
    } catch (...) {
      continue;
    }
    if (pid <= 0 || !seen.insert(pid).second) continue;
    std::optional<std::string> name;
    const std::string& appName = property(client.props, "application.name");
    if (!appName.empty()) name = appName;
    applications.push_back({pid, name});
  }
  return applications;
}

std::optional<std::string> PipeWireSystemServices::kernelCommandName(std::int32_t pid) {
  return hal::linuxCommandName(pid);
}

std::optional<std::uint64_t> PipeWireSystemServices::taskResidentMemoryBytes() {
  return hal::linuxResidentMemoryBytes();
}

double PipeWireSystemServices::systemUptimeSeconds() { return hal::linuxUptimeSeconds(); }

std::optional<std::uint64_t> PipeWireSystemServices::availableCapacity(const std::string& path) {
  return hal::linuxAvailableCapacity(path);
}

std::uint64_t PipeWireSystemServices::physicalMemoryBytes() {
  return hal::linuxPhysicalMemoryBytes();
}

platform::AuthorizationStatus PipeWireSystemServices::captureAuthorizationStatus() {
  return graph_.connected() ? platform::AuthorizationStatus::kAuthorized
                            : platform::AuthorizationStatus::kDenied;
}

void PipeWireSystemServices::requestCaptureAccess(std::function<void(bool granted)> completion) {
  asio::post(answers_, [this, completion = std::move(completion)] {
    completion(captureAuthorizationStatus() == platform::AuthorizationStatus::kAuthorized);
  });
}

}  // namespace velmar::pipewire
