#include "pipewire/PipeWireBackend.h"

#include "pipewire/PipeWireAudioHardware.h"
#include "pipewire/PipeWireAudioUnitService.h"
#include "pipewire/PipeWireGraph.h"
#include "pipewire/PipeWireSystemServices.h"
#include "platform/Platform.h"

namespace velmar::pipewire {

PipeWireBackend* PipeWireBackend::install(std::string& error) {
  auto graph = PipeWireGraph::connect(error);
  if (!graph) return nullptr;
  auto* backend = new PipeWireBackend();
  backend->graph_ = std::move(graph);
  backend->hardware_ = std::make_unique<PipeWireAudioHardware>(*backend->graph_);
  backend->system_ = std::make_unique<PipeWireSystemServices>(*backend->graph_);
  backend->audioUnits_ = std::make_unique<PipeWireAudioUnitService>(*backend->hardware_);
  platform::Platform::install(*backend->hardware_, *backend->system_, *backend->audioUnits_);
  return backend;
}

PipeWireBackend::~PipeWireBackend() = default;

}  // namespace velmar::pipewire
