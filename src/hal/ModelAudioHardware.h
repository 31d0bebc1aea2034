#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "audiohal/AudioHardware.h"
#include "hal/IORouting.h"
#include "hal/ModelObjects.h"
#include "runtime/PublishedValue.h"

namespace velmar::hal {

using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioTimeStamp;
using audiohal::PropertyValue;

// The HAL's object model, shared by every backend: the system object,
// devices with their streams, audio processes, process taps, aggregate
// devices, listeners and IO procedures, behind the AudioHardware interface.
// A backend is a source that feeds it (the control API: objects appearing,
// changing, going away) and drives its IO cycles (runIOCycle).
//
// Object IDs are handed out by the model, counting up, and are never reused
// while it lives, whatever IDs the source's own world uses.
//
// Threads: one mutex guards all state and is never held while a listener or
// an IO procedure runs. Listener blocks are posted to their queue, listener
// functions run on the model's notification thread. Every change publishes,
// under the mutex, an immutable routing snapshot; runIOCycle reads it
// without a lock, so the backend's IO thread never waits for a command
// thread. deviceStop, destroyIOProcID, destroyAggregateDevice and
// removeDevice wait (off the IO thread) until the IO thread has let go of
// every older snapshot, so the procedures they remove are not called after
// they return.
//
// The implementation is split by concern: shared state and property access
// (ModelAudioHardware.cpp), reads and writes of plain objects
// (ModelPropertyReads/Writes.cpp), taps (ModelTaps.cpp), aggregates and
// their stream layout (ModelAggregates.cpp), change notification
// (ModelNotifications.cpp), IO procedures and cycles (ModelIO.cpp) and the
// control API (ModelControl.cpp).
class ModelAudioHardware : public audiohal::AudioHardware {
 public:
  ModelAudioHardware();
  ~ModelAudioHardware() override;
  ModelAudioHardware(const ModelAudioHardware&) = delete;
  ModelAudioHardware& operator=(const ModelAudioHardware&) = delete;

  // --- HAL ---
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               const PropertyValue& qualifier, UInt32& outDataSize) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           const PropertyValue& qualifier, UInt32& ioDataSize,
                           PropertyValue& outData) override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           const PropertyValue& data) override;
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              bool& outIsSettable) override;
  OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    asio::any_io_executor queue,
                                    audiohal::AudioObjectPropertyListenerBlock block) override;
  OSStatus removePropertyListenerBlock(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       asio::any_io_executor queue,
                                       audiohal::AudioObjectPropertyListenerBlock block) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               audiohal::AudioObjectPropertyListenerProc listener,
                               void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  audiohal::AudioObjectPropertyListenerProc listener,
                                  void* clientData) override;
  OSStatus createProcessTap(const audiohal::CATapDescription& description,
                            AudioObjectID& outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const nlohmann::json& description,
                                 AudioObjectID& outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus createIOProcID(AudioObjectID device, audiohal::AudioDeviceIOProc proc, void* clientData,
                          audiohal::AudioDeviceIOProcID& outProcID) override;
  OSStatus destroyIOProcID(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;
  OSStatus deviceStart(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;

  // --- Control API: the source's view of the world ---
  // Adds a device; 0 when its UID is taken.
  AudioObjectID addDevice(const DeviceConfig& config);
  // Removes a device; when it was a default device, the first remaining
  // plain device with streams of that direction takes over, as on a Mac.
  bool removeDevice(const std::string& uid);
  // The device stops being alive ('livn' 0) but stays listed.
  bool killDevice(const std::string& uid);
  // A killed device is alive again; its IO procedures stay stopped.
  bool reviveDevice(const std::string& uid);
  bool setDeviceInUseElsewhere(const std::string& uid, bool inUse);
  // A device's format changed: its nominal rate and the channels of each of
  // its streams. A stream whose width changes is a new stream (new ID).
  bool updateDeviceFormat(const std::string& uid, Float64 nominalSampleRate,
                          const std::vector<UInt32>& inputStreams,
                          const std::vector<UInt32>& outputStreams);
  // Every device, aggregate devices included, now runs at `rate`: a source
  // whose devices all follow one clock changed its rate.
  void setEveryDeviceRate(Float64 rate);
  bool setDefaultInputDevice(const std::string& uid);
  bool setDefaultOutputDevice(const std::string& uid);
  // Adds an audio process; 0 when its PID is taken.
  AudioObjectID addProcess(const ProcessConfig& config);
  bool removeProcess(std::int32_t pid);
  bool setProcessRunning(std::int32_t pid, bool running);
  // The application behind a process names itself anew.
  bool updateProcessIdentity(std::int32_t pid, const std::optional<std::string>& name,
                             const std::string& bundleID);
  // An aggregate device made by another program; 0 when its UID is taken.
  AudioObjectID addAggregateDevice(const AggregateConfig& config);
  // A tap made by another program: listed unless private.
  AudioObjectID createForeignTap(const audiohal::CATapDescription& description);
  // Another program destroys the tap with this UID (whoever made it).
  bool destroyTapByUID(const std::string& uid);

  AudioObjectID deviceID(const std::string& uid) const;
  std::optional<DeviceConfig> deviceWithUID(const std::string& uid) const;
  AudioObjectID processObjectID(std::int32_t pid) const;
  std::optional<ProcessConfig> processWithPID(std::int32_t pid) const;
  std::vector<ProcessConfig> processes() const;
  Float64 deviceSampleRate(AudioObjectID device) const;
  // Where a device's input stream gets its samples; nullopt without one.
  std::optional<StreamRoute> inputStreamRoute(AudioObjectID device, std::size_t index) const;

  // --- IO cycles (the backend's IO thread) ---
  // The largest cycle the backend will drive and the widest stream it
  // expects. Buffers are sized off the IO thread, whenever the routing is
  // published, for `maxFramesPerCycle` frames of each stream's real width
  // (so a wider stream than announced still gets its own room); a longer
  // cycle is delivered in chunks of at most `maxFramesPerCycle` frames.
  void prepareIO(UInt32 maxFramesPerCycle, UInt32 maxChannels);
  // Runs one cycle of `device` (kAudioObjectUnknown: of every device with
  // started procedures): fills one buffer per input stream through `filler`
  // and calls the device's started procedures with them. Takes no lock and
  // allocates nothing. Returns how many devices cycled. One IO thread at a
  // time.
  UInt32 runIOCycle(AudioObjectID device, UInt32 frames, const AudioTimeStamp& time,
                    StreamFiller& filler);
  // The devices with started procedures and their nominal rates, from the
  // IO thread (no lock; `out` keeps its capacity).
  void startedDevices(std::vector<std::pair<AudioObjectID, Float64>>& out);
  // The same, for the backend's other threads (takes the lock; never from
  // the IO thread).
  std::vector<AudioObjectID> devicesWithStartedIO() const;
  // Whether some device has started procedures.
  bool hasStartedIO() const { return startedDeviceCount_.load() > 0; }

  // The model's notification thread.
  asio::any_io_executor notificationExecutor();
  bool isNotificationThread() const;

 protected:
  // Called after each change has been published, without the lock.
  virtual void routingChanged() {}

 private:
  struct Stream {
    AudioObjectID id = 0;
    AudioObjectID owner = 0;
    bool isInput = true;
    UInt32 channels = 0;
    StreamRoute::Source source = StreamRoute::Source::kDevice;
    std::string sourceUID;  // device or tap
    std::string key;        // identity within an aggregate, keeps IDs stable
  };
  struct Aggregate {
    bool isPrivate = false;
    bool tapAutoStart = false;
    std::vector<std::string> subDevices;
    std::vector<std::string> taps;
    std::string mainSubDevice;
    std::optional<std::string> clockDevice;
  };
  struct Device {
    AudioObjectID id = 0;
    DeviceConfig config;
    std::optional<Aggregate> aggregate;
    std::vector<AudioObjectID> inputStreams;
    std::vector<AudioObjectID> outputStreams;
    UInt32 clockSource = audiohal::fourCharCode("intl");  // 'csrc' as last written
    bool hardwareStarted = false;                         // started without an IO procedure
  };
  struct Process {
    AudioObjectID id = 0;
    ProcessConfig config;
  };
  struct Tap {
    AudioObjectID id = 0;
    std::string uid;
    audiohal::CATapDescription description;
    bool foreign = false;
  };
  struct IOProc {
    AudioObjectID device = 0;
    audiohal::AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool started = false;
  };
  struct BlockListener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    asio::any_io_executor queue;
    audiohal::AudioObjectPropertyListenerBlock block;
  };
  struct ProcListener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    audiohal::AudioObjectPropertyListenerProc proc;
    void* clientData;
  };
  using Observed = std::map<std::pair<AudioObjectID, UInt32>, std::string>;

  // Reads and writes, by object kind.
  OSStatus readLocked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                      const PropertyValue& qualifier, PropertyValue& out) const;
  OSStatus readSystemLocked(UInt32 selector, const PropertyValue& qualifier,
                            PropertyValue& out) const;
  OSStatus readDeviceLocked(const Device& device, const AudioObjectPropertyAddress& address,
                            PropertyValue& out) const;
  OSStatus readAggregateLocked(const Device& device, UInt32 selector, PropertyValue& out) const;
  OSStatus readStreamLocked(const Stream& stream, UInt32 selector, PropertyValue& out) const;
  OSStatus readProcessLocked(const Process& process, UInt32 selector, PropertyValue& out) const;
  OSStatus readTapLocked(const Tap& tap, UInt32 selector, PropertyValue& out) const;
  OSStatus writeLocked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                       const PropertyValue& data);
  OSStatus writeAggregateLocked(Device& device, UInt32 selector, const PropertyValue& data);
  OSStatus writeTapLocked(Tap& tap, const PropertyValue& data);
  bool settableLocked(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
  bool existsLocked(AudioObjectID object) const;

  Device* deviceLocked(AudioObjectID id);
  const Device* deviceLocked(AudioObjectID id) const;
  Device* deviceByUIDLocked(const std::string& uid);
  const Device* deviceByUIDLocked(const std::string& uid) const;
  const Tap* tapByUIDLocked(const std::string& uid) const;
  Process* processByPIDLocked(std::int32_t pid);
  const Process* processByPIDLocked(std::int32_t pid) const;
  // IDs count up and are never handed out twice.
  AudioObjectID nextIDLocked() { return nextObjectID_++; }
  void createDeviceStreamsLocked(Device& device);
  void rebuildAggregateStreamsLocked();
  // Removes a device with its streams and IO procedures.
  void eraseDeviceLocked(AudioObjectID id);
  AudioObjectID addTapLocked(const audiohal::CATapDescription& description, bool foreign);
  bool deviceRunningLocked(const Device& device) const;
  bool deviceRunningSomewhereLocked(const Device& device) const;
  UInt32 tapChannelsLocked(const Tap& tap) const;
  // The output device whose audio a tap hears; null when there is none.
  const Device* tapDeviceLocked(const Tap& tap) const;
  audiohal::AudioStreamBasicDescription streamFormatLocked(const Stream& stream) const;
  void removeIOProcsOfDeviceLocked(AudioObjectID device);
  StreamRoute streamRouteLocked(const Stream& stream) const;
  void publishRoutingLocked();
  // Waits until the IO thread holds no routing older than the latest.
  void waitForIOCycle();

  Observed observeLocked() const;
  // Runs `change` under the lock, publishes the routing and then delivers
  // the listeners of every observed property it changed.
  template <typename Change>
  auto mutate(Change&& change);
  void deliver(std::unique_lock<std::mutex>& lock, const Observed& before);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  AudioObjectID nextObjectID_ = 40;
  std::map<AudioObjectID, Device> devices_;  // plain and aggregate, by ID
  std::vector<AudioObjectID> deviceOrder_;   // the HAL's device list order
  std::map<AudioObjectID, Stream> streams_;
  std::map<AudioObjectID, Process> processes_;
  std::vector<AudioObjectID> processOrder_;
  std::map<AudioObjectID, Tap> taps_;
  std::vector<AudioObjectID> tapOrder_;
  AudioObjectID defaultInput_ = 0;
  AudioObjectID defaultOutput_ = 0;
  std::map<audiohal::AudioDeviceIOProcID, std::unique_ptr<IOProc>> ioProcs_;
  std::vector<BlockListener> blockListeners_;
  std::vector<std::shared_ptr<ProcListener>> procListeners_;

  // IO: the routing (published under mutex_, read by the IO thread), the
  // prepared cycle size (under mutex_), and the IO thread's releases, which
  // waiters for a cycle watch.
  runtime::PublishedValue<IORouting> routing_{IORouting{}};
  UInt32 maxFramesPerCycle_ = 4096;
  std::atomic<std::size_t> startedDeviceCount_{0};
  std::atomic<std::uint64_t> ioReleases_{0};
  std::atomic<int> ioWaiters_{0};

  // Notification thread; listener functions being delivered are counted so
  // that removal can wait for them.
  asio::io_context notifications_;
  asio::executor_work_guard<asio::io_context::executor_type> notificationsWork_;
  std::thread notificationThread_;
  std::thread::id notificationThreadID_;
  int procDeliveries_ = 0;
};

template <typename Change>
auto ModelAudioHardware::mutate(Change&& change) {
  std::unique_lock lock(mutex_);
  Observed before = observeLocked();
  auto result = change();
  rebuildAggregateStreamsLocked();
  publishRoutingLocked();
  deliver(lock, before);
  routingChanged();
  return result;
}

}  // namespace velmar::hal
