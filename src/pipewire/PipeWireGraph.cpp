#include "pipewire/PipeWireGraph.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/dict.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include <nlohmann/json.hpp>

namespace velmar::pipewire {

namespace {

Properties copyDict(const spa_dict* dict) {
  Properties props;
  if (dict == nullptr) return props;
  for (std::uint32_t i = 0; i < dict->n_items; ++i) {
    if (dict->items[i].key && dict->items[i].value) {
      props[dict->items[i].key] = dict->items[i].value;
    }
  }
  return props;
}

std::uint32_t toID(const std::string& text) {
  if (text.empty()) return 0;
  try {
    return static_cast<std::uint32_t>(std::stoul(text));
  } catch (...) {
    return 0;
  }
}

// "{"name":"ci-sink"}" as the default metadata holds it; a bare name too.
std::string defaultName(const char* value) {
  if (value == nullptr) return {};
  auto parsed = nlohmann::json::parse(value, nullptr, false);
  if (parsed.is_object() && parsed.contains("name") && parsed["name"].is_string()) {
    return parsed["name"].get<std::string>();
  }
  return parsed.is_discarded() ? std::string(value) : std::string();
}

}  // namespace

// A bound object: its proxy and the hooks of its listeners.
struct Bound {
  PipeWireGraph::Listeners* owner = nullptr;
  std::uint32_t id = 0;
  enum class Kind { kNode, kClient, kMetadata } kind = Kind::kNode;
  std::string metadataName;
  pw_proxy* proxy = nullptr;
  spa_hook objectHook{};
};

struct PipeWireGraph::Listeners {
  PipeWireGraph* graph = nullptr;
  spa_hook coreHook{};
  spa_hook registryHook{};
  std::map<std::uint32_t, std::unique_ptr<Bound>> bound;
  int pendingSeq = -1;
  bool done = false;
  std::atomic<bool> connected{true};

  template <typename F>
  void edit(F&& f) {
    {
      std::lock_guard lock(graph->stateMutex_);
      f(graph->state_);
    }
    graph->changed();
  }

  void unbind(std::uint32_t id) {
    auto it = bound.find(id);
    if (it == bound.end()) return;
    spa_hook_remove(&it->second->objectHook);
    pw_proxy_destroy(it->second->proxy);
    bound.erase(it);
  }

  static void nodeInfo(void* data, const pw_node_info* info) {
    auto* b = static_cast<Bound*>(data);
    Properties props = copyDict(info->props);
    std::string state = pw_node_state_as_string(info->state);
    b->owner->edit([&](GraphState& s) {
      auto it = s.nodes.find(b->id);
      if (it == s.nodes.end()) return;
      if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) {
        it->second.props = std::move(props);
        it->second.clientId = toID(property(it->second.props, PW_KEY_CLIENT_ID));
      }
      it->second.state = state;
    });
  }

  static void clientInfo(void* data, const pw_client_info* info) {
    auto* b = static_cast<Bound*>(data);
    if (!(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS)) return;
    Properties props = copyDict(info->props);
    b->owner->edit([&](GraphState& s) {
      auto it = s.clients.find(b->id);
      if (it != s.clients.end()) it->second.props = std::move(props);
    });
  }

  static int metadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                              const char* value) {
    auto* b = static_cast<Bound*>(data);
    if (subject != PW_ID_CORE) return 0;
    if (b->metadataName == "default") {
      const bool all = key == nullptr;
      const bool sink = all || std::strcmp(key, "default.audio.sink") == 0;
      const bool source = all || std::strcmp(key, "default.audio.source") == 0;
      if (!sink && !source) return 0;
      std::string name = all ? std::string() : defaultName(value);
      b->owner->edit([&](GraphState& s) {
        if (sink) s.defaultSink = name;
        if (source) s.defaultSource = name;
      });
    } else if (b->metadataName == "settings" && key != nullptr &&
               std::strcmp(key, "clock.rate") == 0) {
      const std::uint32_t rate = value ? toID(value) : 0;
      b->owner->edit([&](GraphState& s) { s.clockRate = rate ? rate : 48000; });
    } else if (b->metadataName == "settings" && key != nullptr &&
               std::strcmp(key, "clock.force-rate") == 0) {
      const std::uint32_t rate = value ? toID(value) : 0;
      b->owner->edit([&](GraphState& s) { s.forceRate = rate; });
    }
    return 0;
  }

  static void global(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                     const spa_dict* dict) {
    auto* self = static_cast<Listeners*>(data);
    Properties props = copyDict(dict);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      self->edit([&](GraphState& s) {
        GraphNode node;
        node.id = id;
        node.props = props;
        node.clientId = toID(property(props, PW_KEY_CLIENT_ID));
        s.nodes[id] = std::move(node);
      });
      self->bind(id, type, PW_VERSION_NODE, Bound::Kind::kNode);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
      self->edit([&](GraphState& s) { s.clients[id] = GraphClient{id, props}; });
      self->bind(id, type, PW_VERSION_CLIENT, Bound::Kind::kClient);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      GraphPort port;
      port.id = id;
      port.nodeId = toID(property(props, PW_KEY_NODE_ID));
      port.isOutput = property(props, PW_KEY_PORT_DIRECTION) == "out";
      port.isMonitor = property(props, PW_KEY_PORT_MONITOR) == "true";
      port.channel = property(props, PW_KEY_AUDIO_CHANNEL);
      port.name = property(props, PW_KEY_PORT_NAME);
      self->edit([&](GraphState& s) { s.ports[id] = port; });
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      GraphLink link;
      link.id = id;
      link.outputNode = toID(property(props, PW_KEY_LINK_OUTPUT_NODE));
      link.outputPort = toID(property(props, PW_KEY_LINK_OUTPUT_PORT));
      link.inputNode = toID(property(props, PW_KEY_LINK_INPUT_NODE));
      link.inputPort = toID(property(props, PW_KEY_LINK_INPUT_PORT));
      self->edit([&](GraphState& s) { s.links[id] = link; });
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
      self->edit([&](GraphState& s) { s.devices[id] = props; });
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
      const std::string& name = property(props, PW_KEY_METADATA_NAME);
      if (name == "default" || name == "settings") {
        self->bind(id, type, PW_VERSION_METADATA, Bound::Kind::kMetadata, name);
      }
    }
  }

  static void globalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Listeners*>(data);
    self->unbind(id);
    self->edit([&](GraphState& s) {
      s.nodes.erase(id);
      s.clients.erase(id);
      s.ports.erase(id);
      s.links.erase(id);
      s.devices.erase(id);
    });
  }

  void bind(std::uint32_t id, const char* type, std::uint32_t version, Bound::Kind kind,
            const std::string& metadataName = {}) {
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(graph->registry_, id, type, version, 0));
    if (proxy == nullptr) return;
    auto b = std::make_unique<Bound>();
    b->owner = this;
    b->id = id;
    b->kind = kind;
    b->metadataName = metadataName;
    b->proxy = proxy;
    switch (kind) {
      case Bound::Kind::kNode: {
        static const pw_node_events events = {
            .version = PW_VERSION_NODE_EVENTS,
            .info = &Listeners::nodeInfo,
            .param = nullptr,
        };
        pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &b->objectHook, &events, b.get());
        break;
      }
      case Bound::Kind::kClient: {
        static const pw_client_events events = {
            .version = PW_VERSION_CLIENT_EVENTS,
            .info = &Listeners::clientInfo,
            .permissions = nullptr,
        };
        pw_client_add_listener(reinterpret_cast<pw_client*>(proxy), &b->objectHook, &events,
                               b.get());
        break;
      }
      case Bound::Kind::kMetadata: {
        static const pw_metadata_events events = {
            .version = PW_VERSION_METADATA_EVENTS,
            .property = &Listeners::metadataProperty,
        };
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &b->objectHook, &events,
                                 b.get());
        break;
      }
    }
    unbind(id);
    bound[id] = std::move(b);
  }

  static void coreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Listeners*>(data);
    if (id == PW_ID_CORE && seq == self->pendingSeq) {
      self->done = true;
      pw_thread_loop_signal(self->graph->loop_, false);
    }
  }

  static void coreError(void* data, std::uint32_t id, int, int res, const char*) {
    auto* self = static_cast<Listeners*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
      self->connected = false;
      pw_thread_loop_signal(self->graph->loop_, false);
      // Nothing of the old graph is there any more; readers see it empty.
      self->edit([](GraphState& s) { s = GraphState{}; });
    }
  }
};

std::unique_ptr<PipeWireGraph> PipeWireGraph::connect(std::string& error) {
  pw_init(nullptr, nullptr);
  std::unique_ptr<PipeWireGraph> graph(new PipeWireGraph());
  graph->listeners_ = std::make_unique<Listeners>();
  graph->listeners_->graph = graph.get();
  graph->loop_ = pw_thread_loop_new("pipewire", nullptr);
  if (graph->loop_ == nullptr) {
    error = "cannot create the PipeWire loop";
    return nullptr;
  }
  graph->context_ = pw_context_new(pw_thread_loop_get_loop(graph->loop_), nullptr, 0);
  if (graph->context_ == nullptr || pw_thread_loop_start(graph->loop_) < 0) {
    error = "cannot start the PipeWire loop";
    return nullptr;
  }
  LoopLock lock(*graph);
  if (!graph->openLocked(error)) return nullptr;
  return graph;
}

bool PipeWireGraph::reconnect() {
  LoopLock lock(*this);
  if (listeners_->connected) return true;
  closeLocked();
  {
    std::lock_guard state(stateMutex_);
    state_ = GraphState{};
  }
  std::string error;
  return openLocked(error);
}

bool PipeWireGraph::openLocked(std::string& error) {
  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) {
    error = std::string("no PipeWire daemon answers (") + std::strerror(errno) + ")";
    return false;
  }
  listeners_->connected = true;
  static const pw_core_events coreEvents = {
      .version = PW_VERSION_CORE_EVENTS,
      .info = nullptr,
      .done = &Listeners::coreDone,
      .ping = nullptr,
      .error = &Listeners::coreError,
      .remove_id = nullptr,
      .bound_id = nullptr,
      .add_mem = nullptr,
      .remove_mem = nullptr,
  };
  pw_core_add_listener(core_, &listeners_->coreHook, &coreEvents, listeners_.get());
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  static const pw_registry_events registryEvents = {
      .version = PW_VERSION_REGISTRY_EVENTS,
      .global = &Listeners::global,
      .global_remove = &Listeners::globalRemove,
  };
  pw_registry_add_listener(registry_, &listeners_->registryHook, &registryEvents, listeners_.get());
  // The first round trip lists the globals; the second brings the infos of
  // the objects bound while listing.
  if (!roundTripLocked() || !roundTripLocked()) {
    error = "the PipeWire daemon did not answer";
    listeners_->connected = false;  // so the next reconnect starts over
    return false;
  }
  return true;
}

// The bound objects, the registry and the core, in that order (the proxies
// belong to the core).
void PipeWireGraph::closeLocked() {
  for (auto& [id, b] : listeners_->bound) {
    spa_hook_remove(&b->objectHook);
    pw_proxy_destroy(b->proxy);
  }
  listeners_->bound.clear();
  if (registry_ != nullptr) {
    spa_hook_remove(&listeners_->registryHook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
  }
  if (core_ != nullptr) {
    spa_hook_remove(&listeners_->coreHook);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }
}

PipeWireGraph::~PipeWireGraph() {
  if (loop_ != nullptr) pw_thread_loop_stop(loop_);
  if (listeners_) closeLocked();
  if (context_ != nullptr) pw_context_destroy(context_);
  if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
}

bool PipeWireGraph::roundTripLocked() {
  if (!listeners_->connected) return false;
  listeners_->done = false;
  listeners_->pendingSeq = pw_core_sync(core_, PW_ID_CORE, listeners_->pendingSeq);
  while (!listeners_->done && listeners_->connected) {
    if (pw_thread_loop_timed_wait(loop_, 5) != 0) return false;
  }
  return listeners_->done;
}

GraphState PipeWireGraph::snapshot() const {
  std::lock_guard lock(stateMutex_);
  return state_;
}

void PipeWireGraph::setChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(stateMutex_);
  onChange_ = std::move(handler);
}

bool PipeWireGraph::connected() const { return listeners_ && listeners_->connected; }

void PipeWireGraph::changed() {
  std::function<void()> handler;
  {
    std::lock_guard lock(stateMutex_);
    handler = onChange_;
  }
  if (handler) handler();
}

PipeWireGraph::LoopLock::LoopLock(const PipeWireGraph& graph) : loop_(graph.loop_) {
  pw_thread_loop_lock(loop_);
}

PipeWireGraph::LoopLock::~LoopLock() { pw_thread_loop_unlock(loop_); }

}  // namespace velmar::pipewire
