// How a PipeWire graph reads as devices, processes and capture links, on
// hand-made graphs shaped like what the daemon reports.
#include "pipewire/GraphMapping.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmar::pipewire {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

constexpr std::int32_t kOwnPid = 999;

class GraphBuilder {
 public:
  // A node with an output port per channel of `outputs`.
  std::uint32_t node(Properties props, std::string state = "running",
                     std::vector<std::string> outputs = {}) {
    const std::uint32_t id = next_++;
    graph_.nodes[id] = GraphNode{id, std::move(props), std::move(state)};
    for (const auto& channel : outputs) port(id, true, channel);
    return id;
  }
  // A client with its pid, and one playback stream of it with `channels`.
  std::uint32_t player(std::int32_t pid, const std::string& name, std::vector<std::string> channels,
                       std::string state = "running", Properties extra = {}) {
    const std::uint32_t client = next_++;
    graph_.clients[client] = GraphClient{
        client, {{"application.process.id", std::to_string(pid)}, {"application.name", name}}};
    Properties props{{"media.class", "Stream/Output/Audio"}, {"node.name", "pw-play"}};
    props.insert(extra.begin(), extra.end());
    const std::uint32_t id = node(props, std::move(state), std::move(channels));
    graph_.nodes[id].clientId = client;
    return id;
  }
  std::uint32_t port(std::uint32_t node, bool output, const std::string& channel,
                     bool monitor = false) {
    const std::uint32_t id = next_++;
    graph_.ports[id] = GraphPort{id, node, output, monitor, channel, "p" + std::to_string(id)};
    return id;
  }
  void link(std::uint32_t outNode, std::uint32_t inNode) {
    const std::uint32_t id = next_++;
    graph_.links[id] = GraphLink{id, outNode, 0, inNode, 0};
  }
  std::vector<std::uint32_t> outputs(std::uint32_t node) const {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, port] : graph_.ports) {
      if (port.nodeId == node && port.isOutput && !port.isMonitor) ids.push_back(id);
    }
    return ids;
  }
  GraphState& graph() { return graph_; }

 private:
  GraphState graph_;
  std::uint32_t next_ = 30;
};

TEST(GraphMappingTest, SourcesAndSinksAreDevicesWithTheirTransportAndWidth) {
  GraphBuilder b;
  const std::uint32_t card = 10;
  b.graph().devices[card] = {{"device.api", "alsa"}, {"device.bus", "pci"}};
  b.graph().devices[card + 1] = {{"device.api", "bluez5"}};
  b.graph().devices[card + 2] = {{"device.api", "alsa"}, {"device.bus", "usb"}};
  b.node({{"media.class", "Audio/Source"},
          {"node.name", "alsa_input.pci"},
          {"node.description", "Built-in Audio"},
          {"device.id", std::to_string(card)}},
         "running", {"FL", "FR"});
  const auto headset = b.node({{"media.class", "Audio/Sink"},
                               {"node.name", "bluez_output.1"},
                               {"device.id", std::to_string(card + 1)},
                               {"audio.rate", "16000"}});
  b.port(headset, false, "MONO");
  b.port(headset, true, "MONO", /*monitor=*/true);
  b.node({{"media.class", "Audio/Source"},
          {"node.name", "usb-mic"},
          {"device.id", std::to_string(card + 2)}},
         "running", {"MONO"});
  b.node({{"media.class", "Audio/Sink"}, {"node.name", "null"}});  // virtual, no ports yet
  b.player(100, "Music", {"FL", "FR"});                            // not a device

  auto devices = devicesOf(b.graph());
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0].uid, "alsa_input.pci");
  EXPECT_EQ(devices[0].name, "Built-in Audio");
  EXPECT_EQ(devices[0].transport, audiohal::kAudioDeviceTransportTypeBuiltIn);
  EXPECT_THAT(devices[0].inputStreams, ElementsAre(2u));
  EXPECT_TRUE(devices[0].outputStreams.empty());
  EXPECT_EQ(devices[1].transport, audiohal::kAudioDeviceTransportTypeBluetooth);
  EXPECT_EQ(devices[1].name, "bluez_output.1");            // no description: the node name
  EXPECT_THAT(devices[1].outputStreams, ElementsAre(1u));  // the monitor is not an output
  EXPECT_EQ(devices[1].sampleRate, 16000);
  EXPECT_EQ(devices[2].transport, audiohal::kAudioDeviceTransportTypeUSB);
  EXPECT_EQ(devices[3].transport, audiohal::kAudioDeviceTransportTypeVirtual);
  EXPECT_THAT(devices[3].outputStreams, ElementsAre(2u));
  // Without a rate of its own a device runs at the graph's, a forced one first.
  EXPECT_EQ(devices[0].sampleRate, 48000);
  b.graph().forceRate = 44100;
  EXPECT_EQ(devicesOf(b.graph())[0].sampleRate, 44100);
}

TEST(GraphMappingTest, PlaybackStreamsGroupByPidAndLeaveOutFiltersAndTheServiceItself) {
  GraphBuilder b;
  const auto sink = b.node({{"media.class", "Audio/Sink"}, {"node.name", "speakers"}});
  const auto first = b.player(100, "Browser", {"FL", "FR"}, "idle");
  b.player(100, "Browser", {"FL", "FR"}, "running");  // a second stream of the same tab
  b.player(200, "Game", {"MONO"}, "suspended");
  b.player(300, "Equalizer", {"FL", "FR"}, "running", {{"node.link-group", "eq"}});
  b.player(kOwnPid, "velmar-audio-cli", {"FL"});
  b.node({{"media.class", "Stream/Output/Audio"}, {"node.name", "system-sound"}});  // no pid
  b.link(first, sink);

  auto processes = processesOf(b.graph(), kOwnPid);
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_EQ(processes[0].pid, 100);
  EXPECT_EQ(processes[0].name, "Browser");
  EXPECT_EQ(processes[0].bundleID, "Browser");  // no binary named: the name
  EXPECT_TRUE(processes[0].running);            // one of its two streams runs
  EXPECT_EQ(processes[0].nodes.size(), 2u);
  EXPECT_EQ(processes[0].outputDeviceUID, "speakers");
  EXPECT_EQ(processes[1].pid, 200);
  EXPECT_FALSE(processes[1].running);
}

TEST(GraphMappingTest, ChannelsFoldToTheStereoSides) {
  struct Case {
    const char* channel;
    int side;
  };
  for (const Case& c :
       {Case{"FL", 0}, Case{"RL", 0}, Case{"FR", 1}, Case{"SR", 1}, Case{"FC", -1},
        Case{"MONO", -1}, Case{"LFE", -1}, Case{"AUX0", 0}, Case{"AUX3", 1}, Case{"", -1}}) {
    EXPECT_EQ(stereoSide(c.channel), c.side) << c.channel;
  }
}

CaptureStream tapStream(std::set<std::int32_t> pids, bool exclusive,
                        std::vector<std::uint32_t> ports) {
  CaptureStream stream;
  stream.kind = CaptureStream::Kind::kTap;
  stream.tap.pids = std::move(pids);
  stream.tap.exclusive = exclusive;
  stream.inputPorts = std::move(ports);
  return stream;
}

TEST(GraphMappingTest, CaptureLinksFeedEachStreamFromItsSources) {
  GraphBuilder b;
  const auto mic = b.node({{"media.class", "Audio/Source"}, {"node.name", "mic"}});
  const auto micPort = b.port(mic, true, "MONO");
  const auto stereo = b.player(100, "A", {"FL", "FR"});
  const auto mono = b.player(200, "B", {"MONO"});
  const auto surround = b.player(300, "C", {"FL", "FR", "FC", "LFE", "RL", "RR"});
  b.player(kOwnPid, "self", {"FL", "FR"});
  const auto s = b.outputs(stereo);
  const auto m = b.outputs(mono);
  const auto r = b.outputs(surround);

  CaptureStream micStream;
  micStream.deviceUID = "mic";
  micStream.inputPorts = {1, 2};
  auto links = captureLinks(
      b.graph(), {micStream, tapStream({100, 200}, false, {3, 4}), tapStream({100}, true, {5})},
      kOwnPid);

  // A mono source fills both channels of a stereo stream; left to left,
  // right to right, a mono player to both; the exclusive one mixes all but A
  // (B and all of C, not the service) to one channel.
  std::set<PortLink> expected{{micPort, 1}, {micPort, 2}, {s[0], 3}, {s[1], 4},
                              {m[0], 3},    {m[0], 4},    {m[0], 5}};
  for (const auto port : r) expected.insert({port, 5});
  EXPECT_EQ(links, expected);

  // A stream whose ports are not yet known gets no links.
  EXPECT_TRUE(captureLinks(b.graph(), {tapStream({100}, false, {})}, kOwnPid).empty());
}

TEST(GraphMappingTest, ASourceIsInUseWhileAnotherProgramRecordsFromIt) {
  GraphBuilder b;
  const auto mic = b.node({{"media.class", "Audio/Source"}, {"node.name", "mic"}});
  const auto other = b.node({{"media.class", "Audio/Source"}, {"node.name", "line-in"}});
  const auto recorder =
      b.node({{"media.class", "Stream/Input/Audio"}, {"application.process.id", "400"}});
  const auto paused =
      b.node({{"media.class", "Stream/Input/Audio"}, {"application.process.id", "401"}}, "idle");
  const auto ours = b.node(
      {{"media.class", "Stream/Input/Audio"}, {"application.process.id", std::to_string(kOwnPid)}});
  b.link(mic, recorder);
  b.link(other, paused);
  b.link(other, ours);
  EXPECT_THAT(sourcesInUse(b.graph(), kOwnPid), UnorderedElementsAre("mic"));
}

}  // namespace
}  // namespace velmar::pipewire
