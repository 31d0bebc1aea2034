#include "pipewire/PipeWireAudioHardware.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include <asio/post.hpp>

#include "pipewire/PipeWireGraph.h"
#include "platform/PlatformLog.h"

namespace velmar::pipewire {

using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioTimeStamp;
using audiohal::CATapDescription;
using audiohal::CATapMuteBehavior;
using audiohal::Float64;
using audiohal::globalAddress;
using audiohal::kAudioDevicePropertyDeviceUID;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwareNotRunningError;
using audiohal::kAudioHardwareUnsupportedOperationError;
using audiohal::kAudioTapPropertyDescription;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

// One recorded device's capture node and what it was built for. The
// real-time side (captureCycle, fill) reads only the layout, fixed at
// construction.
struct PipeWireAudioHardware::Capture final : CaptureSink, hal::StreamFiller {
  struct Stream {
    hal::StreamRoute::Source kind;
    std::string uid;
    UInt32 channels = 0;
    std::size_t firstPort = 0;
    std::size_t ports = 0;
  };

  Capture(PipeWireAudioHardware& owner, AudioObjectID device,
          const std::vector<hal::StreamRoute>& routes)
      : owner(owner), device(device) {
    std::size_t port = 0;
    std::vector<std::uint32_t> widths;
    for (const auto& route : routes) {
      // A mono tap listens in stereo and averages the sides, so a stereo
      // player is as loud in it as a mono one (PipeWire's port mixer would
      // add left and right).
      const bool monoTap = route.source == hal::StreamRoute::Source::kTap && route.channels == 1;
      const std::size_t ports = monoTap ? 2 : route.channels;
      layout.push_back({route.source, route.uid, route.channels, port, ports});
      port += ports;
      widths.push_back(static_cast<std::uint32_t>(ports));
    }
    node = std::make_unique<PipeWireCapture>(
        owner.graph_, "velmar-capture-" + std::to_string(device), widths, *this);
  }

  // Whether `other` routes the same sources into the same widths.
  bool sameLayout(const std::vector<hal::StreamRoute>& other) const {
    if (other.size() != layout.size()) return false;
    for (std::size_t i = 0; i < other.size(); ++i) {
      if (other[i].source != layout[i].kind || other[i].uid != layout[i].uid ||
          other[i].channels != layout[i].channels) {
        return false;
      }
    }
    return true;
  }

  void captureCycle(std::uint32_t frames, std::uint64_t monotonicNanos,
                    std::uint64_t samplePosition, const float* const* cyclePorts,
                    std::uint32_t cyclePortCount) override {
    ports = cyclePorts;
    portCount = cyclePortCount;
    cycleStart = static_cast<Float64>(samplePosition);
    lastChunk = -1;
    AudioTimeStamp time;
    time.mSampleTime = cycleStart;
    time.mHostTime = monotonicNanos;
    owner.runIOCycle(device, frames, time, *this);
    ports = nullptr;
  }

  // Streams are filled in order, once per chunk of the cycle.
  void fill(const hal::StreamRoute& route, Float64, Float64 sampleTime, UInt32 frames,
            UInt32 channels, float* out) override {
    if (sampleTime != lastChunk) {
      nextStream = 0;
      lastChunk = sampleTime;
    }
    const std::size_t index = nextStream++;
    const auto offset = static_cast<std::size_t>(sampleTime - cycleStart);
    if (ports == nullptr || index >= layout.size() || layout[index].channels != channels ||
        layout[index].uid != route.uid) {
      // The routing changed under this capture; it is rebuilt shortly.
      std::fill(out, out + static_cast<std::size_t>(frames) * channels, 0.0f);
      return;
    }
    const Stream& stream = layout[index];
    auto portData = [&](std::size_t port) -> const float* {
      return port < portCount ? ports[port] : nullptr;
    };
    if (stream.ports == 2 && channels == 1) {
      const float* left = portData(stream.firstPort);
      const float* right = portData(stream.firstPort + 1);
      for (UInt32 f = 0; f < frames; ++f) {
        out[f] = 0.5f * ((left ? left[offset + f] : 0.0f) + (right ? right[offset + f] : 0.0f));
      }
      return;
    }
    for (UInt32 c = 0; c < channels; ++c) {
      const float* source = portData(stream.firstPort + c);
      for (UInt32 f = 0; f < frames; ++f) {
        out[static_cast<std::size_t>(f) * channels + c] = source ? source[offset + f] : 0.0f;
      }
    }
  }

  PipeWireAudioHardware& owner;
  const AudioObjectID device;
  std::vector<Stream> layout;
  std::unique_ptr<PipeWireCapture> node;

  // Real-time thread only.
  const float* const* ports = nullptr;
  std::uint32_t portCount = 0;
  Float64 cycleStart = 0;
  Float64 lastChunk = -1;
  std::size_t nextStream = 0;
};

PipeWireAudioHardware::PipeWireAudioHardware(PipeWireGraph& graph)
    : graph_(graph),
      ownPid_(static_cast<std::int32_t>(getpid())),
      syncWork_(asio::make_work_guard(syncContext_)) {
  prepareIO(PipeWireCapture::kMaxFrames, kMaxChannels);
  syncThread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "pw-sync");
    syncContext_.run();
  });
  graph_.setChangeHandler([this] { scheduleSync(); });
  scheduleSync();
  settle();
}

PipeWireAudioHardware::~PipeWireAudioHardware() {
  graph_.setChangeHandler(nullptr);
  asio::post(syncContext_, [this] {
    reconnectTimer_.cancel();
    rateTimer_.cancel();
    PipeWireGraph::LoopLock lock(graph_);
    captures_.clear();
    deviceCaptures_.clear();
  });
  syncWork_.reset();
  syncThread_.join();
}

void PipeWireAudioHardware::settle() {
  std::promise<void> done;
  auto future = done.get_future();
  asio::post(syncContext_, [&done] { done.set_value(); });
  future.wait();
}

void PipeWireAudioHardware::routingChanged() { scheduleSync(); }

namespace {

bool mutes(const CATapDescription& description) {
  return description.muteBehavior != CATapMuteBehavior::kUnmuted;
}

}  // namespace

OSStatus PipeWireAudioHardware::createProcessTap(const CATapDescription& description,
                                                 AudioObjectID& outTapID) {
  if (daemonLost_) return kAudioHardwareNotRunningError;
  if (mutes(description)) return kAudioHardwareUnsupportedOperationError;
  return ModelAudioHardware::createProcessTap(description, outTapID);
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const nlohmann::json& description,
                                                      AudioObjectID& outDeviceID) {
  if (daemonLost_) return kAudioHardwareNotRunningError;
  const OSStatus status = ModelAudioHardware::createAggregateDevice(description, outDeviceID);
  // A new device starts at the model's default rate; the graph's own, once
  // known, is applied on the sync thread, as every other rate change is.
  if (status == kAudioHardwareNoError) {
    asio::post(syncContext_, [this] {
      if (const std::uint32_t rate = cycleRate_) setEveryDeviceRate(rate);
    });
  }
  return status;
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID device,
                                            audiohal::AudioDeviceIOProcID procID) {
  if (daemonLost_) return kAudioHardwareNotRunningError;
  return ModelAudioHardware::deviceStart(device, procID);
}

OSStatus PipeWireAudioHardware::setPropertyData(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                const PropertyValue& data) {
  if (address.mSelector == kAudioTapPropertyDescription) {
    if (const auto* description = std::get_if<CATapDescription>(&data);
        description && mutes(*description)) {
      return kAudioHardwareUnsupportedOperationError;
    }
  }
  return ModelAudioHardware::setPropertyData(object, address, data);
}

void PipeWireAudioHardware::startDeviceCapture(const void* key, AudioObjectID device,
                                               UInt32 channels, CaptureSink& sink) {
  std::string uid;
  getProperty(device, globalAddress(kAudioDevicePropertyDeviceUID), uid);
  asio::post(syncContext_, [this, key, uid, channels, &sink] {
    deviceCaptures_[key] = DeviceCapture{uid, channels, &sink, nullptr};
    sync();
  });
}

void PipeWireAudioHardware::stopDeviceCapture(const void* key, bool wait) {
  std::promise<void> done;
  auto future = done.get_future();
  asio::post(syncContext_, [this, key, &done, wait] {
    {
      // Destroying the node waits for its cycle in progress.
      PipeWireGraph::LoopLock lock(graph_);
      deviceCaptures_.erase(key);
    }
    if (wait) done.set_value();
  });
  if (wait) future.wait();
}

// Bursts of graph events (a player starting brings a node, its ports and
// links) are applied together.
void PipeWireAudioHardware::scheduleSync() {
  if (syncPending_.exchange(true)) return;
  asio::post(syncContext_, [this] {
    syncPending_ = false;
    sync();
  });
}

void PipeWireAudioHardware::sync() {
  if (!graph_.connected()) {
    daemonGone();
    return;
  }
  const GraphState graph = graph_.snapshot();
  syncObjects(graph);
  syncCaptures(graph);
}

// Without its daemon the graph is gone. A device that was recording stops
// being alive first, so its recording ends with an error rather than waiting
// for cycles that never come; then every device and process goes, and the
// host hears of each as of any other that disappears. The dead capture nodes
// are dropped, and once they are, connecting again is tried every second.
void PipeWireAudioHardware::daemonGone() {
  const bool first = !daemonLost_.exchange(true);
  if (first) {
    platform::platformLog(
        "❌ The PipeWire daemon went away: no device or process is left until it is back");
  }
  for (AudioObjectID device : devicesWithStartedIO()) {
    std::string uid;
    getProperty(device, globalAddress(kAudioDevicePropertyDeviceUID), uid);
    if (killDevice(uid)) killed_.push_back(uid);
  }
  syncObjects(GraphState{});
  {
    PipeWireGraph::LoopLock lock(graph_);
    captures_.clear();
    for (auto& [key, capture] : deviceCaptures_) capture.node.reset();
  }
  if (first) scheduleReconnect();
}

// A restarted daemon is a new graph: its devices and processes come back as
// new objects, and the devices that were recording are alive again, to be
// started anew by whoever wants them.
void PipeWireAudioHardware::scheduleReconnect() {
  reconnectTimer_.expires_after(std::chrono::seconds(1));
  reconnectTimer_.async_wait([this](const std::error_code& error) {
    if (error) return;  // cancelled: shutting down
    if (!graph_.reconnect()) {
      scheduleReconnect();
      return;
    }
    platform::platformLog("✅ Connected to the PipeWire daemon again");
    cycleRate_ = 0;  // the new daemon may run at another rate
    for (const auto& uid : killed_) reviveDevice(uid);
    killed_.clear();
    daemonLost_ = false;
    sync();
  });
}

void PipeWireAudioHardware::syncObjects(const GraphState& graph) {
  // Devices. Once a cycle has shown the graph's rate, it is every device's:
  // a capture receives each source at that rate, whatever the source's own.
  const std::uint32_t cycleRate = cycleRate_;
  std::map<std::string, DeviceDescription> devices;
  for (auto& device : devicesOf(graph)) {
    if (cycleRate != 0) device.sampleRate = cycleRate;
    devices.emplace(device.uid, device);
  }
  for (const auto& [uid, old] : devices_) {
    if (!devices.count(uid)) removeDevice(uid);
  }
  for (const auto& [uid, device] : devices) {
    auto old = devices_.find(uid);
    if (old == devices_.end()) {
      hal::DeviceConfig config;
      config.uid = uid;
      config.name = device.name;
      config.transport = device.transport;
      config.inputStreams = device.inputStreams;
      config.outputStreams = device.outputStreams;
      config.sampleRateRanges = hal::exactRates({device.sampleRate});
      config.nominalSampleRate = device.sampleRate;
      // The graph's driver clocks everything; there is no source to choose.
      config.clockSource = hal::ClockSourceProperty::kAbsent;
      addDevice(config);
    } else if (old->second.sampleRate != device.sampleRate ||
               old->second.inputStreams != device.inputStreams ||
               old->second.outputStreams != device.outputStreams) {
      updateDeviceFormat(uid, device.sampleRate, device.inputStreams, device.outputStreams);
    }
  }
  devices_ = std::move(devices);

  if (graph.defaultSource != defaultSource_ && devices_.count(graph.defaultSource)) {
    setDefaultInputDevice(graph.defaultSource);
    defaultSource_ = graph.defaultSource;
  }
  if (graph.defaultSink != defaultSink_ && devices_.count(graph.defaultSink)) {
    setDefaultOutputDevice(graph.defaultSink);
    defaultSink_ = graph.defaultSink;
  }

  std::set<std::string> inUse = sourcesInUse(graph, ownPid_);
  for (const auto& uid : inUse) {
    if (!sourcesInUse_.count(uid)) setDeviceInUseElsewhere(uid, true);
  }
  for (const auto& uid : sourcesInUse_) {
    if (!inUse.count(uid)) setDeviceInUseElsewhere(uid, false);
  }
  sourcesInUse_ = std::move(inUse);

  // Processes.
  std::map<std::int32_t, ProcessDescription> processes;
  for (auto& process : processesOf(graph, ownPid_)) processes.emplace(process.pid, process);
  for (const auto& [pid, old] : processes_) {
    if (!processes.count(pid)) removeProcess(pid);
  }
  for (const auto& [pid, process] : processes) {
    auto old = processes_.find(pid);
    if (old == processes_.end()) {
      hal::ProcessConfig config;
      config.pid = pid;
      config.bundleID = process.bundleID;
      if (!process.name.empty()) config.name = process.name;
      config.running = process.running;
      if (!process.outputDeviceUID.empty()) config.outputDeviceUID = process.outputDeviceUID;
      addProcess(config);
      continue;
    }
    if (old->second.running != process.running) setProcessRunning(pid, process.running);
    if (old->second.name != process.name || old->second.bundleID != process.bundleID) {
      std::optional<std::string> name;
      if (!process.name.empty()) name = process.name;
      updateProcessIdentity(pid, name, process.bundleID);
    }
  }
  processes_ = std::move(processes);
}

void PipeWireAudioHardware::syncCaptures(const GraphState& graph) {
  std::map<AudioObjectID, std::vector<hal::StreamRoute>> wanted;
  for (AudioObjectID device : devicesWithStartedIO()) {
    std::vector<hal::StreamRoute> routes;
    for (std::size_t i = 0;; ++i) {
      auto route = inputStreamRoute(device, i);
      if (!route) break;
      routes.push_back(std::move(*route));
    }
    wanted.emplace(device, std::move(routes));
  }

  // What each stream listens to, resolved before the loop is locked: a tap
  // hears the processes the model says it captures now (every other one for
  // an exclusive tap), so links follow players that come and go.
  std::map<AudioObjectID, std::vector<CaptureStream>> sources;
  for (const auto& [device, routes] : wanted) {
    auto& streams = sources[device];
    for (const hal::StreamRoute& route : routes) {
      CaptureStream stream;
      if (route.source == hal::StreamRoute::Source::kDevice) {
        stream.kind = CaptureStream::Kind::kDevice;
        stream.deviceUID = route.uid;
      } else {
        stream.kind = CaptureStream::Kind::kTap;
        for (const auto& captured : route.captured) stream.tap.pids.insert(captured.pid);
      }
      streams.push_back(std::move(stream));
    }
  }

  PipeWireGraph::LoopLock lock(graph_);
  for (auto it = captures_.begin(); it != captures_.end();) {
    auto want = wanted.find(it->first);
    if (want == wanted.end() || !it->second->sameLayout(want->second)) {
      // Destroying the node waits for its cycle in progress.
      it = captures_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [device, routes] : wanted) {
    if (captures_.count(device) || routes.empty()) continue;
    auto capture = std::make_unique<Capture>(*this, device, routes);
    capture->node->setLinkLostHandler([this] { scheduleSync(); });
    if (!capture->node->start()) {
      platform::platformLog("❌ PipeWire refused the capture node of device %u", device);
      continue;
    }
    captures_.emplace(device, std::move(capture));
  }
  // Links follow the graph: players that come and go, ports that appear.
  for (auto& [device, capture] : captures_) {
    std::vector<CaptureStream>& streams = sources.at(device);
    for (std::size_t i = 0; i < streams.size(); ++i) {
      streams[i].inputPorts = capture->node->inputPorts(graph, i);
    }
    capture->node->setLinks(captureLinks(graph, streams, ownPid_));
  }

  for (auto& [key, capture] : deviceCaptures_) {
    if (!capture.node) {
      capture.node = std::make_unique<PipeWireCapture>(
          graph_, "velmar-meter-" + std::to_string(++deviceCapturesMade_),
          std::vector<std::uint32_t>{capture.channels}, *capture.sink);
      capture.node->setLinkLostHandler([this] { scheduleSync(); });
      if (!capture.node->start()) {
        platform::platformLog("❌ PipeWire refused the capture node of device %s",
                              capture.uid.c_str());
        capture.node.reset();
        continue;
      }
    }
    CaptureStream stream;
    stream.kind = CaptureStream::Kind::kDevice;
    stream.deviceUID = capture.uid;
    stream.inputPorts = capture.node->inputPorts(graph, 0);
    capture.node->setLinks(captureLinks(graph, {stream}, ownPid_));
  }
  if (!captures_.empty() && !ratePolling_) {
    ratePolling_ = true;
    pollCycleRate();
  }
}

// The graph's rate is not published anywhere a client can read it (its
// settings name only what it was told, and a running graph keeps a forced
// rate after the force is lifted), so the capture nodes' cycles are the
// truth. Looked at ten times a second while some device records; a change
// reaches the recorder as a new rate of its device, which catalogs its
// streams again.
void PipeWireAudioHardware::pollCycleRate() {
  rateTimer_.expires_after(std::chrono::milliseconds(100));
  rateTimer_.async_wait([this](const std::error_code& error) {
    if (error) return;  // cancelled: shutting down
    std::uint32_t seen = 0;
    for (const auto& [device, capture] : captures_) {
      if ((seen = capture->node->cycleRate()) != 0) break;
    }
    if (seen != 0 && seen != cycleRate_) applyCycleRate(seen);
    if (captures_.empty()) {
      ratePolling_ = false;
      return;
    }
    pollCycleRate();
  });
}

void PipeWireAudioHardware::applyCycleRate(std::uint32_t rate) {
  platform::platformLog("🎚️ The PipeWire graph runs at %u Hz: every device follows", rate);
  cycleRate_ = rate;
  for (auto& [uid, device] : devices_) device.sampleRate = rate;
  setEveryDeviceRate(rate);
}

}  // namespace velmar::pipewire
