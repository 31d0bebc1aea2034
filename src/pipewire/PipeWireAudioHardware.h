#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "hal/ModelAudioHardware.h"
#include "pipewire/GraphMapping.h"
#include "pipewire/PipeWireCapture.h"

namespace velmar::pipewire {

using audiohal::AudioObjectID;
using audiohal::OSStatus;
using hal::AudioObjectPropertyAddress;
using hal::PropertyValue;

class PipeWireGraph;

// The HAL over a PipeWire graph: the shared object model, fed from the
// graph (Audio/Source and Audio/Sink nodes become devices, the playback
// streams of each pid an audio process, the "default" metadata the default
// devices) and driven by it (a device with started IO procedures gets a
// capture node whose real-time cycle runs the procedures).
//
// Threads: graph changes and routing changes are both handled on one
// "pw-sync" thread, which alone calls the control API and creates, links and
// drops captures (with the loop locked). The model's lock is never held
// while the loop is locked and vice versa, so neither waits on the other.
// Capture cycles run on PipeWire's real-time thread and only read what their
// capture fixed when it was built.
class PipeWireAudioHardware : public hal::ModelAudioHardware {
 public:
  // The widest cycle PipeWire may run (its largest quantum) and the widest
  // device the buffers are sized for.
  static constexpr UInt32 kMaxChannels = 16;

  explicit PipeWireAudioHardware(PipeWireGraph& graph);
  ~PipeWireAudioHardware() override;

  // Waits until every graph and routing change so far has been applied.
  void settle();

  // Taps that would mute what they capture are refused: a capture here only
  // adds links, it cannot take the user's own away.
  OSStatus createProcessTap(const audiohal::CATapDescription& description,
                            AudioObjectID& outTapID) override;
  // While the daemon is gone nothing made here could be heard: taps,
  // aggregate devices and starts are refused (kAudioHardwareNotRunningError)
  // until it is back.
  OSStatus createAggregateDevice(const nlohmann::json& description,
                                 AudioObjectID& outDeviceID) override;
  OSStatus deviceStart(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           const PropertyValue& data) override;

  // A capture of one device's input alone, beside the IO procedures' (the
  // level meter's input unit): `sink` gets its cycles on the real-time
  // thread, `channels` ports wide. Applied on the sync thread; with `wait`,
  // stopping returns once the capture is gone and `sink` is not called
  // again (never wait from the capture's own cycle).
  void startDeviceCapture(const void* key, AudioObjectID device, UInt32 channels,
                          CaptureSink& sink);
  void stopDeviceCapture(const void* key, bool wait);

 protected:
  void routingChanged() override;

 private:
  struct Capture;
  struct DeviceCapture {
    std::string uid;
    UInt32 channels = 0;
    CaptureSink* sink = nullptr;
    std::unique_ptr<PipeWireCapture> node;
  };

  void scheduleSync();
  void sync();
  void daemonGone();
  void scheduleReconnect();
  void pollCycleRate();
  void applyCycleRate(std::uint32_t rate);
  void syncObjects(const GraphState& graph);
  void syncCaptures(const GraphState& graph);

  PipeWireGraph& graph_;
  const std::int32_t ownPid_;

  asio::io_context syncContext_;
  asio::executor_work_guard<asio::io_context::executor_type> syncWork_;
  std::thread syncThread_;
  std::atomic<bool> syncPending_{false};
  // Set on the sync thread while the connection is lost; read by any caller.
  std::atomic<bool> daemonLost_{false};
  asio::steady_timer reconnectTimer_{syncContext_};
  // The rate the graph's cycles run at as the capture nodes see it (0 until
  // one has cycled), which every device follows: written on the sync thread.
  std::atomic<std::uint32_t> cycleRate_{0};
  asio::steady_timer rateTimer_{syncContext_};
  bool ratePolling_ = false;  // sync thread

  // Touched on the sync thread only.
  std::map<std::string, DeviceDescription> devices_;      // by UID
  std::map<std::int32_t, ProcessDescription> processes_;  // by pid
  std::string defaultSink_;
  std::string defaultSource_;
  std::set<std::string> sourcesInUse_;
  std::vector<std::string> killed_;  // recording devices the lost daemon took
  std::map<AudioObjectID, std::unique_ptr<Capture>> captures_;
  std::map<const void*, DeviceCapture> deviceCaptures_;
  std::uint32_t deviceCapturesMade_ = 0;
};

}  // namespace velmar::pipewire
