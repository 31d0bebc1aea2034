#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiohal/AudioHardware.h"
#include "recording/AudioDataDelegate.h"

namespace velmar {

// The capture engine: binds to one device (in practice the first aggregate
// device), catalogs its streams, runs an IO procedure on it and hands every
// input buffer, with its stream index and rate, to the delegate on the IO
// thread. It writes no files (streaming mode) and keeps a session identity
// for durations. Its diagnostics go through the platform's logging call.
//
// Buffer i of a cycle is always input stream i of the catalog: a stream whose
// buffer has no data in a cycle is delivered as silence of the cycle's
// length. When the device's stream list changes (a tap joins the aggregate
// being recorded), the streams are cataloged anew with IO stopped, never
// reinterpreted on the fly.
//
// Threads: everything except the IO procedure and the listeners is called
// from the command side, one call at a time (the recorder manager runs its
// handlers on one serial queue). The IO procedure reads only the atomic
// flags, the delegate, the stream list and the silence buffer, which are
// refilled only after IO has stopped. The listeners only log and hand the
// work to `deviceLostHandler` or `streamsChangedHandler` (or do it inline
// when none is set).
class AudioRecorder {
 public:
  using StreamList = std::vector<audiohal::AudioStreamBasicDescription>;
  using ExtAudioFileRef = void*;  // no files in streaming mode
  using Clock = std::chrono::steady_clock;
  static constexpr const char* kPlaceholderPath = "/tmp/streaming_mode_placeholder";
  // The cycle assumed when a device does not announce its buffer frame size:
  // the largest an audio server uses.
  static constexpr audiohal::UInt32 kLargestCycleFrames = 8192;

  explicit AudioRecorder(audiohal::AudioHardware& hal);
  ~AudioRecorder();
  AudioRecorder(const AudioRecorder&) = delete;
  AudioRecorder& operator=(const AudioRecorder&) = delete;

  void setDeviceID(audiohal::AudioObjectID id);
  audiohal::AudioObjectID deviceID() const { return deviceID_; }
  void setRecordingEnabled(bool on);
  bool recordingEnabled() const { return recordingEnabled_.load(); }
  void setRecordingPaused(bool paused) { recordingPaused_.store(paused); }
  bool recordingPaused() const { return recordingPaused_.load(); }
  void setLoopbackEnabled(bool on) { loopbackEnabled_.store(on); }
  bool loopbackEnabled() const { return loopbackEnabled_.load(); }

  // Held weakly; set before IO runs.
  void setAudioDataDelegate(std::weak_ptr<AudioDataDelegate> delegate) {
    audioDataDelegate_ = std::move(delegate);
  }
  // Called on the notification thread with the device whose liveness
  // changed; it should call resetAfterDeviceChange(device) on the command
  // side.
  void setDeviceLostHandler(std::function<void(audiohal::AudioObjectID)> handler) {
    deviceLostHandler_ = std::move(handler);
  }
  // Unbinds when `device` is still the bound one (a late notice about a
  // device we already left changes nothing). True when it unbound.
  bool resetAfterDeviceChange(audiohal::AudioObjectID device);
  // Called on the notification thread when the bound device's stream list
  // changed; it should call recatalogAfterStreamChange(device) on the
  // command side.
  void setStreamsChangedHandler(std::function<void(audiohal::AudioObjectID)> handler) {
    streamsChangedHandler_ = std::move(handler);
  }
  // When `device` is the bound one and its input streams differ from the
  // catalog: stops IO, catalogs again and restarts IO if it ran. True when
  // the catalog changed.
  bool recatalogAfterStreamChange(audiohal::AudioObjectID device);
  // The largest cycle the bound device announced (frames), as cataloged.
  audiohal::UInt32 cycleFrames() const { return cycleFrames_; }

  // Where one cataloged input stream comes from: a sub-device's input
  // ("device") or a tap ("tap"), with the UID and name of that source and
  // the stream's format. Refilled with the catalog; command side only.
  struct StreamSource {
    std::string kind;
    std::string uid;
    std::string name;
    audiohal::UInt32 channels = 0;
    audiohal::Float64 sampleRate = 0;
  };
  // One entry per input stream of the catalog, in stream order.
  const std::vector<StreamSource>& streamSources() const { return streamSources_; }
  // Why the last start failed, in words a host can act on; empty after a
  // start that succeeded.
  const std::string& startFailure() const { return startFailure_; }

  const std::optional<std::string>& activeDeviceName() const { return activeDeviceName_; }
  const std::optional<std::string>& recordingURL() const { return recordingURL_; }
  const std::optional<std::string>& sessionID() const { return sessionID_; }
  const std::optional<Clock::time_point>& sessionStartTime() const { return sessionStartTime_; }
  std::shared_ptr<const StreamList> inputStreamList() const { return inputStreamList_; }
  std::shared_ptr<const StreamList> outputStreamList() const { return outputStreamList_; }
  audiohal::AudioDeviceIOProcID ioProcID() const { return ioProcID_; }

  bool adaptToDevice(audiohal::AudioObjectID id);
  void catalogDeviceStreams();
  bool startRecording();
  bool startIO();
  void stopIO();
  void destroyIOProc();
  void getDeviceName();
  void registerListeners();
  void unregisterListeners();
  bool makeRecordingFiles();
  void cleanUpRecordingFiles();
  void createNewRecordingSession();
  void endRecordingSession();

  // The platform callbacks; client data is the engine.
  static audiohal::OSStatus ioproc(audiohal::AudioObjectID inDevice,
                                   const audiohal::AudioTimeStamp* inNow,
                                   const audiohal::AudioBufferList* inInputData,
                                   const audiohal::AudioTimeStamp* inInputTime,
                                   audiohal::AudioBufferList* outOutputData,
                                   const audiohal::AudioTimeStamp* inOutputTime,
                                   void* inClientData);
  static audiohal::OSStatus deviceChangedListener(
      audiohal::AudioObjectID inObjectID, audiohal::UInt32 inNumberAddresses,
      const audiohal::AudioObjectPropertyAddress* inAddresses, void* inClientData);

 private:
  // `sample`: this cycle writes the every-hundredth-cycle lines.
  void deliver(const audiohal::AudioBufferList& input, double hostSeconds, bool sample);
  void deliverSilence(AudioDataDelegate& delegate, audiohal::UInt32 stream,
                      audiohal::UInt32 channels, std::size_t frames, audiohal::Float64 rate);
  StreamList readInputStreams();
  void prepareForCycles();
  void describeStreamSources();
  std::string tapName(const std::string& uid);
  void failStart(std::string cause);
  // Undoes a start made without an IO procedure, if one is in force.
  void stopStartWithoutIOProc();
  void destroyIOProcOn(audiohal::AudioObjectID device);

  audiohal::AudioHardware& hal_;
  std::atomic<bool> recordingEnabled_{false};
  std::atomic<bool> recordingPaused_{false};
  std::atomic<bool> loopbackEnabled_{false};
  audiohal::AudioObjectID deviceID_ = 0;
  std::optional<std::string> recordingURL_;
  std::optional<std::string> activeDeviceName_;
  audiohal::AudioDeviceIOProcID ioProcID_ = nullptr;
  // The device the held registration was made on: a registration belongs to
  // its device, so a rebind to another device makes a fresh one.
  audiohal::AudioObjectID ioProcDevice_ = 0;
  // The device a start without our IO procedure is in force on (0: none):
  // the platform keeps such a start until it is stopped the same way, so
  // stopping only our procedure would leave the device running.
  audiohal::AudioObjectID startedWithoutIOProc_ = 0;
  std::vector<StreamSource> streamSources_;
  std::string startFailure_;
  std::optional<std::string> sessionID_;
  std::optional<Clock::time_point> sessionStartTime_;
  std::optional<std::string> sessionFolderURL_;
  std::weak_ptr<AudioDataDelegate> audioDataDelegate_;
  std::function<void(audiohal::AudioObjectID)> deviceLostHandler_;
  std::function<void(audiohal::AudioObjectID)> streamsChangedHandler_;
  // Allocated once and refilled in place (only while IO is stopped).
  std::shared_ptr<StreamList> inputStreamList_ = std::make_shared<StreamList>();
  std::shared_ptr<StreamList> outputStreamList_ = std::make_shared<StreamList>();
  std::shared_ptr<std::vector<ExtAudioFileRef>> fileList_ =
      std::make_shared<std::vector<ExtAudioFileRef>>();
  // The one-buffer list handed to the delegate; touched only by the IO
  // thread, sized once so delivery never allocates.
  audiohal::AudioBufferList single_;
  // Sized with the catalog (while IO is stopped) for the largest cycle:
  // zeros handed out for a stream without data in a cycle. From calloc, so
  // pages that are only read stay shared zero pages.
  audiohal::UInt32 cycleFrames_ = 0;
  std::unique_ptr<float, void (*)(void*)> silence_{nullptr, &std::free};
  std::size_t silenceSamples_ = 0;
};

}  // namespace velmar
