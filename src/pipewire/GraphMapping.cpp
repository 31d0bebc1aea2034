#include "pipewire/GraphMapping.h"

#include <algorithm>
#include <map>

namespace velmar::pipewire {

using audiohal::kAudioDeviceTransportTypeBluetooth;
using audiohal::kAudioDeviceTransportTypeBuiltIn;
using audiohal::kAudioDeviceTransportTypeUSB;
using audiohal::kAudioDeviceTransportTypeVirtual;
using audiohal::UInt32;

namespace {

const Properties* clientOf(const GraphState& graph, const GraphNode& node) {
  auto it = graph.clients.find(node.clientId);
  return it == graph.clients.end() ? nullptr : &it->second.props;
}

// The key from the node's own properties, else from its client's.
std::string nodeOrClient(const GraphState& graph, const GraphNode& node, const std::string& key) {
  const std::string& own = property(node.props, key);
  if (!own.empty()) return own;
  if (const Properties* client = clientOf(graph, node)) return property(*client, key);
  return {};
}

std::int32_t pidOf(const GraphState& graph, const GraphNode& node) {
  return pipewire::pidOf(nodeOrClient(graph, node, "application.process.id"));
}

bool isPlayback(const GraphNode& node) {
  return property(node.props, "media.class") == "Stream/Output/Audio";
}

// Output ports that carry audio (not monitors), in port order.
std::vector<const GraphPort*> outputPorts(const GraphState& graph, std::uint32_t nodeId) {
  std::vector<const GraphPort*> ports;
  for (const auto& [id, port] : graph.ports) {
    if (port.nodeId == nodeId && port.isOutput && !port.isMonitor) ports.push_back(&port);
  }
  return ports;
}

std::size_t countPorts(const GraphState& graph, std::uint32_t nodeId, bool output) {
  std::size_t count = 0;
  for (const auto& [id, port] : graph.ports) {
    if (port.nodeId == nodeId && port.isOutput == output && !port.isMonitor) ++count;
  }
  return count;
}

// Channels from the node's format properties, else from its ports.
UInt32 channelsOf(const GraphState& graph, const GraphNode& node, bool output) {
  std::size_t ports = countPorts(graph, node.id, output);
  if (ports > 0) return static_cast<UInt32>(ports);
  const std::string& declared = property(node.props, "audio.channels");
  if (!declared.empty()) {
    try {
      return static_cast<UInt32>(std::stoul(declared));
    } catch (...) {
    }
  }
  return 2;
}

}  // namespace

std::int32_t pidOf(const std::string& text) {
  if (text.empty()) return 0;
  try {
    return static_cast<std::int32_t>(std::stol(text));
  } catch (...) {
    return 0;
  }
}

UInt32 transportOf(const GraphState& graph, const GraphNode& node) {
  Properties device;
  const std::string& deviceId = property(node.props, "device.id");
  if (!deviceId.empty()) {
    try {
      auto it = graph.devices.find(static_cast<std::uint32_t>(std::stoul(deviceId)));
      if (it != graph.devices.end()) device = it->second;
    } catch (...) {
    }
  }
  auto read = [&](const std::string& key) {
    const std::string& own = property(node.props, key);
    return own.empty() ? property(device, key) : own;
  };
  const std::string api = read("device.api");
  const std::string bus = read("device.bus");
  const std::string formFactor = read("device.form-factor");
  if (api == "bluez5" || bus == "bluetooth") return kAudioDeviceTransportTypeBluetooth;
  if (bus == "usb") return kAudioDeviceTransportTypeUSB;
  if (formFactor == "internal" || bus == "pci") return kAudioDeviceTransportTypeBuiltIn;
  return kAudioDeviceTransportTypeVirtual;
}

std::vector<DeviceDescription> devicesOf(const GraphState& graph) {
  std::vector<DeviceDescription> devices;
  for (const auto& [id, node] : graph.nodes) {
    const std::string& mediaClass = property(node.props, "media.class");
    const bool source = mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual";
    const bool sink = mediaClass == "Audio/Sink";
    if (!source && !sink) continue;
    DeviceDescription device;
    device.nodeId = id;
    device.uid = property(node.props, "node.name");
    if (device.uid.empty()) continue;
    device.name = property(node.props, "node.description");
    if (device.name.empty()) device.name = device.uid;
    device.transport = transportOf(graph, node);
    device.isSource = source;
    if (source) device.inputStreams.push_back(channelsOf(graph, node, /*output=*/true));
    if (sink) device.outputStreams.push_back(channelsOf(graph, node, /*output=*/false));
    device.sampleRate = graph.forceRate != 0 ? graph.forceRate : graph.clockRate;
    const std::string& rate = property(node.props, "audio.rate");
    if (!rate.empty()) {
      try {
        device.sampleRate = std::stod(rate);
      } catch (...) {
      }
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

std::vector<ProcessDescription> processesOf(const GraphState& graph, std::int32_t ownPid) {
  std::map<std::int32_t, ProcessDescription> byPid;
  std::vector<std::int32_t> order;
  for (const auto& [id, node] : graph.nodes) {
    if (!isPlayback(node)) continue;
    // Filters and loopbacks re-play others' audio; they are not applications.
    if (!property(node.props, "node.link-group").empty()) continue;
    const std::int32_t pid = pidOf(graph, node);
    if (pid <= 0 || pid == ownPid) continue;
    auto [it, inserted] = byPid.try_emplace(pid);
    ProcessDescription& process = it->second;
    if (inserted) {
      order.push_back(pid);
      process.pid = pid;
      process.name = nodeOrClient(graph, node, "application.name");
      process.bundleID = nodeOrClient(graph, node, "application.process.binary");
      if (process.bundleID.empty()) process.bundleID = process.name;
    }
    process.nodes.push_back(id);
    if (node.state == "running") process.running = true;
    if (process.outputDeviceUID.empty()) {
      for (const auto& [linkId, link] : graph.links) {
        if (link.outputNode != id) continue;
        auto sink = graph.nodes.find(link.inputNode);
        if (sink != graph.nodes.end() &&
            property(sink->second.props, "media.class") == "Audio/Sink") {
          process.outputDeviceUID = property(sink->second.props, "node.name");
          break;
        }
      }
    }
  }
  std::vector<ProcessDescription> processes;
  for (std::int32_t pid : order) processes.push_back(std::move(byPid[pid]));
  return processes;
}

std::set<std::string> sourcesInUse(const GraphState& graph, std::int32_t ownPid) {
  std::set<std::string> inUse;
  for (const auto& [linkId, link] : graph.links) {
    auto source = graph.nodes.find(link.outputNode);
    auto reader = graph.nodes.find(link.inputNode);
    if (source == graph.nodes.end() || reader == graph.nodes.end()) continue;
    const std::string& sourceClass = property(source->second.props, "media.class");
    if (sourceClass != "Audio/Source" && sourceClass != "Audio/Source/Virtual") continue;
    if (property(reader->second.props, "media.class") != "Stream/Input/Audio") continue;
    if (reader->second.state != "running" || pidOf(graph, reader->second) == ownPid) continue;
    inUse.insert(property(source->second.props, "node.name"));
  }
  return inUse;
}

int stereoSide(const std::string& channel) {
  static const char* const kLeft[] = {"FL", "SL", "RL", "FLC", "TFL", "TRL", "TSL", "FLW", "BLC"};
  static const char* const kRight[] = {"FR", "SR", "RR", "FRC", "TFR", "TRR", "TSR", "FRW", "BRC"};
  for (const char* name : kLeft) {
    if (channel == name) return 0;
  }
  for (const char* name : kRight) {
    if (channel == name) return 1;
  }
  // Pro-audio ports: even ones left, odd ones right.
  if (channel.rfind("AUX", 0) == 0 && channel.size() > 3) {
    try {
      return std::stoi(channel.substr(3)) % 2;
    } catch (...) {
    }
  }
  return -1;
}

std::set<PortLink> captureLinks(const GraphState& graph, const std::vector<CaptureStream>& streams,
                                std::int32_t ownPid) {
  std::set<PortLink> links;
  for (const CaptureStream& stream : streams) {
    if (stream.inputPorts.empty()) continue;
    if (stream.kind == CaptureStream::Kind::kDevice) {
      for (const auto& [id, node] : graph.nodes) {
        if (property(node.props, "node.name") != stream.deviceUID) continue;
        auto ports = outputPorts(graph, id);
        // Channel i to input i; a mono source feeds every channel.
        for (std::size_t c = 0; c < stream.inputPorts.size(); ++c) {
          if (ports.empty()) break;
          const GraphPort* port =
              ports.size() == 1 ? ports[0] : (c < ports.size() ? ports[c] : nullptr);
          if (port) links.emplace(port->id, stream.inputPorts[c]);
        }
        break;
      }
      continue;
    }
    for (const auto& [id, node] : graph.nodes) {
      if (!isPlayback(node) || !property(node.props, "node.link-group").empty()) continue;
      const std::int32_t pid = pidOf(graph, node);
      if (pid <= 0 || pid == ownPid) continue;
      const bool listed = stream.tap.pids.count(pid) > 0;
      if (listed == stream.tap.exclusive) continue;
      for (const GraphPort* port : outputPorts(graph, id)) {
        const int side = stereoSide(port->channel);
        if (stream.inputPorts.size() == 1) {
          links.emplace(port->id, stream.inputPorts[0]);
          continue;
        }
        // Left and right channels go to the first two inputs; a centre or
        // mono channel to both.
        if (side != 1) links.emplace(port->id, stream.inputPorts[0]);
        if (side != 0) links.emplace(port->id, stream.inputPorts[1]);
      }
    }
  }
  return links;
}

}  // namespace velmar::pipewire
