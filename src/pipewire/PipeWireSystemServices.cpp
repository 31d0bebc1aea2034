#include "pipewire/PipeWireSystemServices.h"

#include <pthread.h>
#include <unistd.h>

#include <set>

#include <asio/post.hpp>

#include "hal/LinuxSystemReadings.h"
#include "pipewire/GraphMapping.h"
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
  // Players first, named as their streams name them (as the process list
  // does), then every other client of the daemon.
  for (const auto& process : processesOf(graph, static_cast<std::int32_t>(getpid()))) {
    if (!seen.insert(process.pid).second) continue;
    std::optional<std::string> name;
    if (!process.name.empty()) name = process.name;
    applications.push_back({process.pid, name});
  }
  for (const auto& [id, client] : graph.clients) {
    const std::int32_t pid = pidOf(property(client.props, "application.process.id"));
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

// No permission of its own: what a tap hears is read like any other node.
platform::AuthorizationStatus PipeWireSystemServices::systemAudioAuthorizationStatus() {
  return captureAuthorizationStatus();
}

void PipeWireSystemServices::requestSystemAudioAccess(
    std::function<void(bool granted)> completion) {
  requestCaptureAccess(std::move(completion));
}

}  // namespace velmar::pipewire
