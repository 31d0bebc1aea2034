#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "coreaudio/AudioHardware.h"
#include "sim/SimulatedObjects.h"

namespace velmar::sim {

using coreaudio::AudioObjectPropertyAddress;
using coreaudio::PropertyValue;

// An in-memory audio machine behind the HAL interface: devices, streams,
// audio processes, process taps, aggregate devices and IO procedures.
//
// Threads: one mutex guards all state and is never held while a listener or
// an IO procedure runs. Listener blocks are posted to their queue, listener
// functions run on the machine's notification thread, and IO procedures run
// on its IO thread, which ticks every 10 ms and delivers one buffer per input
// stream of each started device, filled with that stream's deterministic
// signal (see docs/platform.md).
//
// The control API below the HAL overrides is for tests and scenarios only.
//
// The implementation is split by what it simulates: shared state and
// property access (SimulatedAudioHardware.cpp), reads and writes of plain
// objects (SimulatedPropertyReads/Writes.cpp), taps (SimulatedTaps.cpp),
// aggregates and their stream layout (SimulatedAggregates.cpp), change
// notification (SimulatedNotifications.cpp), the IO engine
// (SimulatedIOEngine.cpp), signal synthesis (SimulatedSignals.cpp) and the
// control API (SimulatedControl.cpp).
class SimulatedAudioHardware : public coreaudio::AudioHardware {
 public:
  // Period of one IO cycle.
  static constexpr double kIOCycleSeconds = 0.010;
  // Amplitude of each tone source.
  static constexpr float kToneAmplitude = 0.25f;

  SimulatedAudioHardware();
  ~SimulatedAudioHardware() override;
  SimulatedAudioHardware(const SimulatedAudioHardware&) = delete;
  SimulatedAudioHardware& operator=(const SimulatedAudioHardware&) = delete;

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
                                    coreaudio::AudioObjectPropertyListenerBlock block) override;
  OSStatus removePropertyListenerBlock(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       asio::any_io_executor queue,
                                       coreaudio::AudioObjectPropertyListenerBlock block) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               coreaudio::AudioObjectPropertyListenerProc listener,
                               void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  coreaudio::AudioObjectPropertyListenerProc listener,
                                  void* clientData) override;
  OSStatus createProcessTap(const coreaudio::CATapDescription& description,
                            AudioObjectID& outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const nlohmann::json& description,
                                 AudioObjectID& outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus createIOProcID(AudioObjectID device, coreaudio::AudioDeviceIOProc proc, void* clientData,
                          coreaudio::AudioDeviceIOProcID& outProcID) override;
  OSStatus destroyIOProcID(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;
  OSStatus deviceStart(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;

  // --- Control API (tests, scenarios) ---
  // Adds a device; 0 when its UID is taken.
  AudioObjectID addDevice(const SimulatedDeviceConfig& config);
  // Removes a device; when it was a default device, the first remaining
  // plain device with streams of that direction takes over, as on a Mac.
  bool removeDevice(const std::string& uid);
  // The device stops being alive ('livn' 0) but stays listed.
  bool killDevice(const std::string& uid);
  bool setDeviceInUseElsewhere(const std::string& uid, bool inUse);
  bool setDefaultInputDevice(const std::string& uid);
  bool setDefaultOutputDevice(const std::string& uid);
  // Adds an audio process; 0 when its PID is taken.
  AudioObjectID addProcess(const SimulatedProcessConfig& config);
  bool removeProcess(std::int32_t pid);
  bool setProcessRunning(std::int32_t pid, bool running);
  // An aggregate device made by another program; 0 when its UID is taken.
  AudioObjectID addAggregateDevice(const SimulatedAggregateConfig& config);
  // A tap made by another program: listed unless private.
  AudioObjectID createForeignTap(const coreaudio::CATapDescription& description);
  // Another program destroys the tap with this UID (whoever made it).
  bool destroyTapByUID(const std::string& uid);

  void injectFailure(const FailureRule& rule);
  void clearFailures();

  AudioObjectID deviceID(const std::string& uid) const;
  AudioObjectID processObjectID(std::int32_t pid) const;
  std::optional<SimulatedProcessConfig> processWithPID(std::int32_t pid) const;
  std::vector<SimulatedProcessConfig> processes() const;
  // Frequency of the tone a device's microphone or a process produces.
  Float64 deviceToneFrequency(const std::string& uid) const;
  Float64 processToneFrequency(std::int32_t pid) const;

  // Fills `frames` interleaved frames of `channels` channels with what the
  // device's first input stream carries at `sampleTime`; the input audio
  // unit renders through this. Non-zero for a device without input.
  OSStatus renderDeviceInput(AudioObjectID device, Float64 sampleTime, UInt32 frames,
                             UInt32 channels, float* out) const;
  Float64 deviceSampleRate(AudioObjectID device) const;

  // The platform's notification thread.
  asio::any_io_executor notificationExecutor();
  bool isNotificationThread() const;

 private:
  struct Tone {
    Float64 frequency;
    float amplitude;
    Waveform waveform = Waveform::kSine;
  };
  // Where an input stream's samples come from.
  struct StreamSource {
    enum class Kind { kDevice, kTap } kind = Kind::kDevice;
    std::string uid;  // device or tap
  };
  struct Stream {
    AudioObjectID id = 0;
    AudioObjectID owner = 0;
    bool isInput = true;
    UInt32 channels = 0;
    StreamSource source;
    std::string key;  // identity within an aggregate, keeps IDs stable
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
    SimulatedDeviceConfig config;
    std::optional<Aggregate> aggregate;
    std::vector<AudioObjectID> inputStreams;
    std::vector<AudioObjectID> outputStreams;
    UInt32 clockSource = coreaudio::fourCharCode("intl");  // 'csrc' as last written
    bool hardwareStarted = false;                          // started without an IO procedure
    Float64 sampleTime = 0;
  };
  struct Process {
    AudioObjectID id = 0;
    SimulatedProcessConfig config;
  };
  struct Tap {
    AudioObjectID id = 0;
    std::string uid;
    coreaudio::CATapDescription description;
    bool foreign = false;
  };
  struct IOProc {
    AudioObjectID device = 0;
    coreaudio::AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool started = false;
  };
  struct BlockListener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    asio::any_io_executor queue;
    coreaudio::AudioObjectPropertyListenerBlock block;
  };
  struct ProcListener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    coreaudio::AudioObjectPropertyListenerProc proc;
    void* clientData;
  };
  using Observed = std::map<std::pair<AudioObjectID, UInt32>, std::string>;
  struct Notification {
    AudioObjectID object;
    std::vector<AudioObjectPropertyAddress> addresses;
  };

  std::optional<OSStatus> injectedFailureLocked(HalOperation operation, AudioObjectID object,
                                                std::optional<UInt32> selector);
  std::optional<OSStatus> injectedFailure(HalOperation operation, AudioObjectID object,
                                          std::optional<UInt32> selector = std::nullopt);

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
  const Device* deviceByUIDLocked(const std::string& uid) const;
  const Tap* tapByUIDLocked(const std::string& uid) const;
  AudioObjectID nextIDLocked() { return nextObjectID_++; }
  void createDeviceStreamsLocked(Device& device);
  void rebuildAggregateStreamsLocked();
  // Removes a device with its streams and IO procedures.
  void eraseDeviceLocked(AudioObjectID id);
  AudioObjectID addTapLocked(const coreaudio::CATapDescription& description, bool foreign);
  bool deviceRunningLocked(const Device& device) const;
  bool deviceRunningSomewhereLocked(const Device& device) const;
  // Fills `tones` (cleared first) with what an input stream carries.
  void streamTonesLocked(const Stream& stream, std::vector<Tone>& tones) const;
  UInt32 tapChannelsLocked(const Tap& tap) const;
  // The output device whose audio a tap hears; null when there is none.
  const Device* tapDeviceLocked(const Tap& tap) const;
  Float64 toneOfDeviceLocked(const Device& device) const;
  coreaudio::AudioStreamBasicDescription streamFormatLocked(const Stream& stream) const;
  void removeIOProcsOfDeviceLocked(AudioObjectID device);
  static void synthesize(const std::vector<Tone>& tones, Float64 rate, Float64 sampleTime,
                         UInt32 frames, UInt32 channels, float* out);

  Observed observeLocked() const;
  // Runs `change` under the lock and then delivers the listeners of every
  // observed property it changed.
  template <typename Change>
  auto mutate(Change&& change);
  void deliver(std::unique_lock<std::mutex>& lock, const Observed& before);
  void waitForDispatchLocked(std::unique_lock<std::mutex>& lock);
  void ensureIOThreadLocked();
  void ioThreadMain();

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
  std::map<coreaudio::AudioDeviceIOProcID, std::unique_ptr<IOProc>> ioProcs_;
  std::vector<BlockListener> blockListeners_;
  std::vector<std::shared_ptr<ProcListener>> procListeners_;
  std::vector<FailureRule> failures_;

  // IO thread.
  std::thread ioThread_;
  std::thread::id ioThreadID_;
  bool ioDispatching_ = false;
  bool stopping_ = false;

  // Notification thread; listener functions being delivered are counted so
  // that removal can wait for them.
  asio::io_context notifications_;
  asio::executor_work_guard<asio::io_context::executor_type> notificationsWork_;
  std::thread notificationThread_;
  std::thread::id notificationThreadID_;
  int procDeliveries_ = 0;
};

template <typename Change>
auto SimulatedAudioHardware::mutate(Change&& change) {
  std::unique_lock lock(mutex_);
  Observed before = observeLocked();
  auto result = change();
  rebuildAggregateStreamsLocked();
  deliver(lock, before);
  return result;
}

}  // namespace velmar::sim
