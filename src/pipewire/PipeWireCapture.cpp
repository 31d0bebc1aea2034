#include "pipewire/PipeWireCapture.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>

#include <unistd.h>

#include "pipewire/PipeWireGraph.h"

namespace velmar::pipewire {

struct PipeWireCapture::Callbacks {
  PipeWireCapture* capture = nullptr;
  spa_hook hook{};

  static void process(void* data, spa_io_position* position) {
    auto* self = static_cast<Callbacks*>(data)->capture;
    if (position == nullptr) return;
    std::uint64_t frames = position->clock.duration;
    if (frames > kMaxFrames) frames = kMaxFrames;
    const auto n = static_cast<std::uint32_t>(frames);
    if (position->clock.rate.num != 0) {
      self->cycleRate_.store(position->clock.rate.denom / position->clock.rate.num,
                             std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < self->ports_.size(); ++i) {
      self->cycleBuffers_[i] =
          static_cast<const float*>(pw_filter_get_dsp_buffer(self->ports_[i], n));
    }
    self->sink_.captureCycle(n, position->clock.nsec, position->clock.position,
                             self->cycleBuffers_.data(),
                             static_cast<std::uint32_t>(self->cycleBuffers_.size()));
  }
};

struct PipeWireCapture::Link {
  PipeWireCapture* owner = nullptr;
  pw_proxy* proxy = nullptr;
  spa_hook hook{};
  bool dead = false;

  ~Link() {
    spa_hook_remove(&hook);
    pw_proxy_destroy(proxy);
  }

  static void lost(void* data) {
    auto* link = static_cast<Link*>(data);
    if (link->dead) return;
    link->dead = true;
    if (link->owner->onLinkLost_) link->owner->onLinkLost_();
  }
  static void error(void* data, int, int, const char*) { lost(data); }
};

PipeWireCapture::PipeWireCapture(PipeWireGraph& graph, const std::string& name,
                                 const std::vector<std::uint32_t>& channels, CaptureSink& sink)
    : graph_(graph), sink_(sink), channels_(channels), callbacks_(std::make_unique<Callbacks>()) {
  callbacks_->capture = this;
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
      // Production, not Communication: a Bluetooth headset keeps its profile.
      PW_KEY_MEDIA_ROLE, "Production", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION,
      name.c_str(), PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_ALWAYS_PROCESS, "true",
      PW_KEY_APP_NAME, "velmar-audio-cli", nullptr);
  static const pw_filter_events events = {
      .version = PW_VERSION_FILTER_EVENTS,
      .destroy = nullptr,
      .state_changed = nullptr,
      .io_changed = nullptr,
      .param_changed = nullptr,
      .add_buffer = nullptr,
      .remove_buffer = nullptr,
      .process = &Callbacks::process,
      .drained = nullptr,
      .command = nullptr,
  };
  filter_ = pw_filter_new(graph.core(), name.c_str(), props);
  if (filter_ == nullptr) return;
  pw_filter_add_listener(filter_, &callbacks_->hook, &events, callbacks_.get());
  std::size_t index = 0;
  for (std::size_t s = 0; s < channels_.size(); ++s) {
    for (std::uint32_t c = 0; c < channels_[s]; ++c, ++index) {
      std::string portName = "in_" + std::to_string(s) + "_" + std::to_string(c);
      void* port =
          pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 8,
                             pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                               PW_KEY_PORT_NAME, portName.c_str(), nullptr),
                             nullptr, 0);
      ports_.push_back(port);
      portNames_.push_back(std::move(portName));
    }
  }
  cycleBuffers_.assign(ports_.size(), nullptr);
}

PipeWireCapture::~PipeWireCapture() {
  setLinks({});
  // Destroying the filter waits for its real-time cycle, so the sink is not
  // called after this returns.
  if (filter_ != nullptr) pw_filter_destroy(filter_);
}

bool PipeWireCapture::start() {
  if (filter_ == nullptr) return false;
  for (void* port : ports_) {
    if (port == nullptr) return false;
  }
  return pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) >= 0;
}

std::uint32_t PipeWireCapture::nodeId() const {
  return filter_ == nullptr ? 0 : pw_filter_get_node_id(filter_);
}

std::vector<std::uint32_t> PipeWireCapture::inputPorts(const GraphState& graph,
                                                       std::size_t index) const {
  const std::uint32_t node = nodeId();
  std::vector<std::uint32_t> ids;
  if (node == 0 || node == SPA_ID_INVALID || index >= channels_.size()) return ids;
  std::size_t first = 0;
  for (std::size_t s = 0; s < index; ++s) first += channels_[s];
  for (std::uint32_t c = 0; c < channels_[index]; ++c) {
    const std::string& name = portNames_[first + c];
    for (const auto& [id, port] : graph.ports) {
      if (port.nodeId == node && !port.isOutput && port.name == name) {
        ids.push_back(id);
        break;
      }
    }
  }
  if (ids.size() != channels_[index]) ids.clear();
  return ids;
}

void PipeWireCapture::setLinks(const std::set<PortLink>& wanted) {
  for (auto it = links_.begin(); it != links_.end();) {
    if (wanted.count(it->first) && !it->second->dead) {
      ++it;
    } else {
      it = links_.erase(it);
    }
  }
  static const pw_proxy_events events = {
      .version = PW_VERSION_PROXY_EVENTS,
      .destroy = nullptr,
      .bound = nullptr,
      .removed = &Link::lost,
      .done = nullptr,
      .error = &Link::error,
  };
  for (const PortLink& wantedLink : wanted) {
    if (links_.count(wantedLink)) continue;
    const std::string out = std::to_string(wantedLink.first);
    const std::string in = std::to_string(wantedLink.second);
    pw_properties* props =
        pw_properties_new(PW_KEY_LINK_OUTPUT_PORT, out.c_str(), PW_KEY_LINK_INPUT_PORT, in.c_str(),
                          PW_KEY_OBJECT_LINGER, "false", nullptr);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        graph_.core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (proxy == nullptr) continue;
    auto link = std::make_unique<Link>();
    link->owner = this;
    link->proxy = proxy;
    pw_proxy_add_listener(proxy, &link->hook, &events, link.get());
    links_.emplace(wantedLink, std::move(link));
  }
}

}  // namespace velmar::pipewire
