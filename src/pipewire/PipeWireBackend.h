#pragma once

#include <memory>
#include <string>

namespace velmar::pipewire {

class PipeWireGraph;
class PipeWireAudioHardware;
class PipeWireSystemServices;
class PipeWireAudioUnitService;

// The Linux desktop backend: one connection to the PipeWire daemon and the
// three platform services over it. The process entry installs it once and
// never destroys it.
class PipeWireBackend {
 public:
  // Connects, mirrors the graph and installs the platform. Null, with
  // `error` saying why, when no PipeWire daemon answers.
  static PipeWireBackend* install(std::string& error);

  PipeWireGraph& graph() { return *graph_; }
  PipeWireAudioHardware& hardware() { return *hardware_; }

  ~PipeWireBackend();

 private:
  PipeWireBackend() = default;

  std::unique_ptr<PipeWireGraph> graph_;
  std::unique_ptr<PipeWireAudioHardware> hardware_;
  std::unique_ptr<PipeWireSystemServices> system_;
  std::unique_ptr<PipeWireAudioUnitService> audioUnits_;
};

}  // namespace velmar::pipewire
