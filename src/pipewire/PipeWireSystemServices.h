#pragma once

#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "platform/SystemServices.h"

namespace velmar::pipewire {

class PipeWireGraph;

// The OS services on a Linux desktop: applications are the graph's clients
// (pid and application.name); memory, uptime and disk come from Linux.
// Capture needs no consent here: a desktop session lets every client read
// every node, so authorisation is always granted, for the microphone and for
// other applications' audio alike (see docs/platform.md).
class PipeWireSystemServices : public platform::SystemServices {
 public:
  explicit PipeWireSystemServices(PipeWireGraph& graph);
  ~PipeWireSystemServices() override;

  std::vector<platform::RunningApplication> runningApplications() override;
  std::optional<std::string> kernelCommandName(std::int32_t pid) override;
  std::optional<std::uint64_t> taskResidentMemoryBytes() override;
  double systemUptimeSeconds() override;
  std::optional<std::uint64_t> availableCapacity(const std::string& path) override;
  std::uint64_t physicalMemoryBytes() override;
  platform::AuthorizationStatus captureAuthorizationStatus() override;
  void requestCaptureAccess(std::function<void(bool granted)> completion) override;
  platform::AuthorizationStatus systemAudioAuthorizationStatus() override;
  void requestSystemAudioAccess(std::function<void(bool granted)> completion) override;

 private:
  PipeWireGraph& graph_;
  // Request answers run here, never on the caller's thread.
  asio::io_context answers_;
  asio::executor_work_guard<asio::io_context::executor_type> answersWork_;
  std::thread answerThread_;
};

}  // namespace velmar::pipewire
