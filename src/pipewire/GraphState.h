#pragma once

// What the service knows of a PipeWire graph: plain copies of the registry's
// objects, taken on the PipeWire loop thread and read elsewhere as a whole.

#include <cstdint>
#include <map>
#include <string>

namespace velmar::pipewire {

using Properties = std::map<std::string, std::string>;

// Looks a key up; "" when absent.
inline const std::string& property(const Properties& props, const std::string& key) {
  static const std::string kEmpty;
  auto it = props.find(key);
  return it == props.end() ? kEmpty : it->second;
}

struct GraphNode {
  std::uint32_t id = 0;
  Properties props;   // the bound node's full properties once its info arrived
  std::string state;  // "running", "idle", "suspended", "creating", "error"
  std::uint32_t clientId = 0;
};

struct GraphClient {
  std::uint32_t id = 0;
  Properties props;
};

struct GraphPort {
  std::uint32_t id = 0;
  std::uint32_t nodeId = 0;
  bool isOutput = false;
  bool isMonitor = false;
  std::string channel;  // "FL", "FR", "MONO", "AUX0", ...
  std::string name;
};

struct GraphLink {
  std::uint32_t id = 0;
  std::uint32_t outputNode = 0;
  std::uint32_t outputPort = 0;
  std::uint32_t inputNode = 0;
  std::uint32_t inputPort = 0;
};

struct GraphState {
  std::map<std::uint32_t, GraphNode> nodes;
  std::map<std::uint32_t, GraphClient> clients;
  std::map<std::uint32_t, GraphPort> ports;
  std::map<std::uint32_t, GraphLink> links;
  // Device objects (cards, Bluetooth headsets): their registry properties.
  std::map<std::uint32_t, Properties> devices;
  // node.name of the default devices, from the "default" metadata.
  std::string defaultSink;
  std::string defaultSource;
  // The graph's rate (the "settings" metadata's clock.rate), 48000 until read,
  // and the rate it is forced to (clock.force-rate; 0: none).
  std::uint32_t clockRate = 48000;
  std::uint32_t forceRate = 0;
};

}  // namespace velmar::pipewire
