#pragma once

// How a PipeWire graph reads as the HAL's devices and audio processes, and
// which links a capture needs. Pure functions of a GraphState, so they are
// tested without a daemon.

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audiohal/HalTypes.h"
#include "pipewire/GraphState.h"

namespace velmar::pipewire {

using audiohal::UInt32;

// An Audio/Source or Audio/Sink node as a device.
struct DeviceDescription {
  std::uint32_t nodeId = 0;
  std::string uid;   // node.name
  std::string name;  // node.description (node.name when absent)
  UInt32 transport = audiohal::kAudioDeviceTransportTypeVirtual;
  std::vector<UInt32> inputStreams;   // one stream: the source's channels
  std::vector<UInt32> outputStreams;  // one stream: the sink's channels
  double sampleRate = 48000;
  bool isSource = false;
};

// The playback streams of one process (pid), as one audio process.
struct ProcessDescription {
  std::int32_t pid = 0;
  std::string name;                  // application.name
  std::string bundleID;              // application.process.binary, else the name
  bool running = false;              // one of its playback nodes is running
  std::string outputDeviceUID;       // node.name of the sink its first stream plays on, "" unknown
  std::vector<std::uint32_t> nodes;  // its Stream/Output/Audio nodes
};

// An `application.process.id` value as a pid; 0 when absent or not a number.
std::int32_t pidOf(const std::string& text);

UInt32 transportOf(const GraphState& graph, const GraphNode& node);
std::vector<DeviceDescription> devicesOf(const GraphState& graph);
// Nodes of `ownPid` (the service's own capture) and nodes without a process
// id or belonging to a filter/loopback (node.link-group) are left out.
std::vector<ProcessDescription> processesOf(const GraphState& graph, std::int32_t ownPid);

// node.name of the sources another program captures from right now: a
// running capture stream (Stream/Input/Audio) not of `ownPid` linked to it.
std::set<std::string> sourcesInUse(const GraphState& graph, std::int32_t ownPid);

// Which audio a tap hears: the playback nodes of the listed pids, or of every
// other process when exclusive.
struct TapSelection {
  std::set<std::int32_t> pids;
  bool exclusive = false;
};

// One input stream of a capture: where it comes from and the capture's input
// port ids that receive its channels, in channel order.
struct CaptureStream {
  enum class Kind { kDevice, kTap } kind = Kind::kDevice;
  std::string deviceUID;  // kDevice: the source's node.name
  TapSelection tap;       // kTap
  std::vector<std::uint32_t> inputPorts;
};

using PortLink = std::pair<std::uint32_t, std::uint32_t>;  // output port, input port

// The links that feed `streams`: a source's output ports in channel order; a
// tap's processes' output ports folded onto the stream's channels (mono
// streams take every channel, stereo ones left/right, mono players feed both).
std::set<PortLink> captureLinks(const GraphState& graph, const std::vector<CaptureStream>& streams,
                                std::int32_t ownPid);

// Which side a channel position belongs to when folded to stereo: 0 left,
// 1 right, -1 both (centre, mono, LFE, unknown).
int stereoSide(const std::string& channel);

}  // namespace velmar::pipewire
