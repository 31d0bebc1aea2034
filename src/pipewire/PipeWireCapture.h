#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pipewire/GraphMapping.h"

struct pw_filter;
struct pw_proxy;

namespace velmar::pipewire {

class PipeWireGraph;

// Called on PipeWire's real-time thread once per graph cycle with one
// buffer of `frames` float samples per capture port (null: no data this
// cycle, to be taken as silence). Must not block or allocate.
class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  virtual void captureCycle(std::uint32_t frames, std::uint64_t monotonicNanos,
                            std::uint64_t samplePosition, const float* const* ports,
                            std::uint32_t portCount) = 0;
};

// One capture node: a filter with one mono input port per captured channel,
// scheduled in the graph's cycle (so every captured source arrives in the
// same callback), and the links that feed it. The links are added beside the
// user's own routing; nothing else in the graph is moved or muted.
//
// Every method runs with the graph's loop locked (PipeWireGraph::LoopLock);
// the sink is called on the real-time thread and only reads what the
// constructor fixed.
class PipeWireCapture {
 public:
  static constexpr std::uint32_t kMaxFrames = 8192;

  // `channels`: the width of each captured stream, in stream order.
  PipeWireCapture(PipeWireGraph& graph, const std::string& name,
                  const std::vector<std::uint32_t>& channels, CaptureSink& sink);
  ~PipeWireCapture();
  PipeWireCapture(const PipeWireCapture&) = delete;
  PipeWireCapture& operator=(const PipeWireCapture&) = delete;

  // Starts the filter; false when PipeWire refuses.
  bool start();
  // The global ids of stream `index`'s input ports, once the registry shows
  // them (empty before).
  std::vector<std::uint32_t> inputPorts(const GraphState& graph, std::size_t index) const;
  std::uint32_t nodeId() const;
  // Makes the links the capture has equal to `wanted`: creates the missing
  // ones and drops the ones no longer wanted.
  void setLinks(const std::set<PortLink>& wanted);
  // Called (loop locked) when one of the capture's links died, so the owner
  // can call setLinks again.
  void setLinkLostHandler(std::function<void()> handler) { onLinkLost_ = std::move(handler); }
  std::size_t linkCount() const { return links_.size(); }
  // The rate the graph ran its last cycle at (0 before the first): the rate
  // of every sample this capture receives, whatever its sources' own rates.
  std::uint32_t cycleRate() const { return cycleRate_.load(std::memory_order_relaxed); }

  struct Callbacks;

 private:
  PipeWireGraph& graph_;
  CaptureSink& sink_;
  std::vector<std::uint32_t> channels_;
  std::vector<std::string> portNames_;
  pw_filter* filter_ = nullptr;
  std::unique_ptr<Callbacks> callbacks_;
  std::vector<void*> ports_;                 // filter port data, fixed after construction
  std::vector<const float*> cycleBuffers_;   // real-time thread only
  std::atomic<std::uint32_t> cycleRate_{0};  // written by the real-time thread
  std::function<void()> onLinkLost_;
  // A link the daemon refused or removed (a port that went away under it)
  // is marked dead on the loop thread and made again by the next setLinks.
  struct Link;
  std::map<PortLink, std::unique_ptr<Link>> links_;
};

}  // namespace velmar::pipewire
