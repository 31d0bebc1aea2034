#include "recording/AudioRecorder.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "platform/PlatformLog.h"
#include "runtime/Uuid.h"

namespace velmar {

using audiohal::AudioBuffer;
using audiohal::AudioBufferList;
using audiohal::AudioDeviceIOProcID;
using audiohal::AudioHardware;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioStreamBasicDescription;
using audiohal::AudioTimeStamp;
using audiohal::CATapDescription;
using audiohal::Float64;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDeviceClassID;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyMainSubDevice;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioDevicePropertyBufferFrameSize;
using audiohal::kAudioDevicePropertyDeviceIsAlive;
using audiohal::kAudioDevicePropertyDeviceIsRunning;
using audiohal::kAudioDevicePropertyDeviceName;
using audiohal::kAudioDevicePropertyDeviceUID;
using audiohal::kAudioDevicePropertyNominalSampleRate;
using audiohal::kAudioDevicePropertyStreams;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioHardwarePropertyTranslateUIDToDevice;
using audiohal::kAudioObjectPropertyClass;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioObjectUnknown;
using audiohal::kAudioStreamPropertyDirection;
using audiohal::kAudioStreamPropertyVirtualFormat;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyUID;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;
using platform::platformLog;
using platform::platformLogRealtime;

namespace {

// Process-wide, written only by the IO procedure (atomics so that a second
// engine's IO thread, in tests, cannot tear them). Signed 32-bit counters
// that wrap rather than overflow.
std::atomic<std::int32_t> ioprocCallCount{0};
std::atomic<std::int32_t> lastLoggedCall{0};
std::atomic<std::int32_t> logCounter{0};
std::atomic<std::int32_t> delegateCallCount{0};
std::atomic<std::int32_t> noDelegate{0};
// Turns away the nested start made by the re-adapt step of startRecording.
std::atomic<bool> isStartingRecording{false};

std::int32_t increment(std::atomic<std::int32_t>& counter) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(counter.fetch_add(1, std::memory_order_relaxed)) + 1u);
}

// A status as the platform's documentation names it: the number, and its
// four characters when they are printable ('nope').
std::string statusText(OSStatus status) {
  std::string text = std::to_string(status);
  const auto code = static_cast<std::uint32_t>(status);
  std::string chars;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((code >> shift) & 0xFF);
    if (c < 0x20 || c > 0x7E) return text;
    chars += c;
  }
  return text + " ('" + chars + "')";
}

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

const char* orNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

constexpr AudioObjectPropertyAddress kAliveAddress =
    globalAddress(kAudioDevicePropertyDeviceIsAlive);
constexpr AudioObjectPropertyAddress kStreamsAddress = globalAddress(kAudioDevicePropertyStreams);
// A device whose rate changes delivers its streams at the new rate: they
// are cataloged again, as when the streams themselves change.
constexpr AudioObjectPropertyAddress kRateAddress =
    globalAddress(kAudioDevicePropertyNominalSampleRate);

}  // namespace

AudioRecorder::AudioRecorder(AudioHardware& hal) : hal_(hal) {
  single_.mBuffers.resize(1);
  platformLog("AudioRecorder initialized");
}

AudioRecorder::~AudioRecorder() {
  unregisterListeners();
  if (ioProcID_ != nullptr) destroyIOProcOn(ioProcDevice_);
}

void AudioRecorder::setDeviceID(AudioObjectID id) {
  if (id == deviceID_) return;
  if (id == 0) platformLog("Warning: Device ID 0 was provided, this may cause issues");
  platformLog("Setting device ID to: %u", id);
  adaptToDevice(id);
}

bool AudioRecorder::adaptToDevice(AudioObjectID id) {
  platformLog("Adapting to device ID: %u", id);
  stopIO();
  unregisterListeners();
  deviceID_ = id;
  catalogDeviceStreams();
  registerListeners();
  if (deviceID_ != 0) {
    if (recordingEnabled_.load()) return startRecording();
    if (loopbackEnabled_.load()) return startIO();
  }
  return true;
}

bool AudioRecorder::resetAfterDeviceChange(AudioObjectID device) {
  if (deviceID_ == 0 || device != deviceID_) return false;
  adaptToDevice(0);
  return true;
}

void AudioRecorder::catalogDeviceStreams() {
  platformLog("Cataloging device streams for device ID: %u", deviceID_);
  // Refilled in place while IO is stopped: the IO procedure never sees a
  // list being refilled.
  inputStreamList_->clear();
  outputStreamList_->clear();
  streamSources_.clear();
  if (deviceID_ == 0) {
    platformLog("Cannot catalog streams for unknown device");
    return;
  }
  const auto streamsAddress = globalAddress(kAudioDevicePropertyStreams);
  UInt32 size = 0;
  OSStatus status = hal_.getPropertyDataSize(deviceID_, streamsAddress, {}, size);
  const UInt32 count = size / sizeof(AudioObjectID);
  if (status != kAudioHardwareNoError || count == 0) {
    platformLog("Error getting stream count: %d", status);
    return;
  }
  PropertyValue value;
  UInt32 returned = size;
  status = hal_.getPropertyData(deviceID_, streamsAddress, {}, returned, value);
  if (status != kAudioHardwareNoError) {
    platformLog("Error getting stream list: %d", status);
    return;
  }
  platformLog("Found %lu streams on device %u", static_cast<unsigned long>(count), deviceID_);
  std::vector<AudioObjectID> streams;
  if (auto* ids = std::get_if<std::vector<AudioObjectID>>(&value)) streams = std::move(*ids);
  streams.resize(std::min<std::size_t>(streams.size(), returned / sizeof(AudioObjectID)));

  for (AudioObjectID stream : streams) {
    AudioStreamBasicDescription format{};
    if (hal_.getProperty(stream, globalAddress(kAudioStreamPropertyVirtualFormat), format) !=
        kAudioHardwareNoError) {
      continue;
    }
    UInt32 direction = 0;
    hal_.getProperty(stream, globalAddress(kAudioStreamPropertyDirection), direction);
    if (direction != 0) {
      inputStreamList_->push_back(format);
      platformLog("Found input stream with %u channels at %f Hz", format.mChannelsPerFrame,
                  format.mSampleRate);
    } else {
      outputStreamList_->push_back(format);
      platformLog("Found output stream with %u channels at %f Hz", format.mChannelsPerFrame,
                  format.mSampleRate);
    }
  }
  platformLog("Cataloged %lu input streams and %lu output streams",
              static_cast<unsigned long>(inputStreamList_->size()),
              static_cast<unsigned long>(outputStreamList_->size()));
  prepareForCycles();
  describeStreamSources();
}

void AudioRecorder::describeStreamSources() {
  // The platform does not say which source an aggregate device's input
  // stream belongs to; its order does: every sub-device's input streams in
  // sub-device order, then one stream per tap.
  std::vector<StreamSource> sources;
  std::string ownUID;
  hal_.getProperty(deviceID_, globalAddress(kAudioDevicePropertyDeviceUID), ownUID);
  std::string ownName;
  hal_.getProperty(deviceID_, globalAddress(kAudioDevicePropertyDeviceName), ownName);
  UInt32 classID = 0;
  hal_.getProperty(deviceID_, globalAddress(kAudioObjectPropertyClass), classID);
  if (classID == kAudioAggregateDeviceClassID) {
    std::optional<std::vector<std::string>> subDevices;
    std::optional<std::vector<std::string>> taps;
    hal_.getProperty(deviceID_, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList),
                     subDevices);
    hal_.getProperty(deviceID_, globalAddress(kAudioAggregateDevicePropertyTapList), taps);
    for (const auto& uid : subDevices.value_or(std::vector<std::string>{})) {
      AudioObjectID device = kAudioObjectUnknown;
      if (hal_.getProperty(kAudioObjectSystemObject,
                           globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), device,
                           PropertyValue{uid}) != kAudioHardwareNoError ||
          device == kAudioObjectUnknown) {
        continue;  // gone: it contributes no streams
      }
      UInt32 size = 0;
      hal_.getPropertyDataSize(
          device, {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput, 0}, {}, size);
      std::string name;
      hal_.getProperty(device, globalAddress(kAudioDevicePropertyDeviceName), name);
      for (UInt32 i = 0; i < size / sizeof(AudioObjectID); ++i) {
        sources.push_back({"device", uid, name});
      }
    }
    for (const auto& uid : taps.value_or(std::vector<std::string>{})) {
      sources.push_back({"tap", uid, tapName(uid)});
    }
  }
  for (std::size_t i = 0; i < inputStreamList_->size(); ++i) {
    // A stream the composition does not explain is described by the device.
    if (i >= sources.size()) sources.push_back({"device", ownUID, ownName});
    sources[i].channels = (*inputStreamList_)[i].mChannelsPerFrame;
    sources[i].sampleRate = (*inputStreamList_)[i].mSampleRate;
  }
  sources.resize(inputStreamList_->size());
  streamSources_ = std::move(sources);
}

std::string AudioRecorder::tapName(const std::string& uid) {
  std::vector<AudioObjectID> taps;
  PropertyValue value;
  UInt32 size = 0xFFFFFFFF;
  if (hal_.getPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyTapList),
                           {}, size, value) == kAudioHardwareNoError) {
    if (auto* ids = std::get_if<std::vector<AudioObjectID>>(&value)) taps = *ids;
  }
  for (AudioObjectID tap : taps) {
    std::string tapUID;
    hal_.getProperty(tap, globalAddress(kAudioTapPropertyUID), tapUID);
    if (tapUID != uid) continue;
    CATapDescription description;
    hal_.getProperty(tap, globalAddress(kAudioTapPropertyDescription), description);
    return description.name;
  }
  return "";
}

void AudioRecorder::failStart(std::string cause) {
  // The first cause is the one that stopped the start.
  if (startFailure_.empty()) startFailure_ = std::move(cause);
}

void AudioRecorder::stopStartWithoutIOProc() {
  if (startedWithoutIOProc_ == 0) return;
  platformLog("Stopping the start made without IOProc on device %u", startedWithoutIOProc_);
  hal_.deviceStop(startedWithoutIOProc_, nullptr);
  startedWithoutIOProc_ = 0;
}

void AudioRecorder::prepareForCycles() {
  // Sized here, with IO stopped, so the IO thread never allocates whatever
  // cycle the device delivers up to the one it announces.
  UInt32 frames = 0;
  if (hal_.getProperty(deviceID_, globalAddress(kAudioDevicePropertyBufferFrameSize), frames) !=
          kAudioHardwareNoError ||
      frames == 0) {
    frames = kLargestCycleFrames;
  }
  UInt32 channels = 1;
  for (const auto& format : *inputStreamList_) {
    channels = std::max(channels, format.mChannelsPerFrame);
  }
  cycleFrames_ = frames;
  const std::size_t samples = static_cast<std::size_t>(frames) * channels;
  if (samples != silenceSamples_) {
    silence_.reset(static_cast<float*>(std::calloc(samples, sizeof(float))));
    silenceSamples_ = silence_ ? samples : 0;
  }
  platformLog("Prepared for cycles of up to %u frames of %u channels", frames, channels);
  if (auto delegate = audioDataDelegate_.lock()) delegate->prepareForBuffers(samples);
}

AudioRecorder::StreamList AudioRecorder::readInputStreams() {
  StreamList inputs;
  PropertyValue value;
  UInt32 size = 0xFFFFFFFF;
  if (hal_.getPropertyData(deviceID_, globalAddress(kAudioDevicePropertyStreams), {}, size,
                           value) != kAudioHardwareNoError) {
    return inputs;
  }
  const auto* streams = std::get_if<std::vector<AudioObjectID>>(&value);
  if (streams == nullptr) return inputs;
  for (AudioObjectID stream : *streams) {
    AudioStreamBasicDescription format{};
    if (hal_.getProperty(stream, globalAddress(kAudioStreamPropertyVirtualFormat), format) !=
        kAudioHardwareNoError) {
      continue;
    }
    UInt32 direction = 0;
    hal_.getProperty(stream, globalAddress(kAudioStreamPropertyDirection), direction);
    if (direction != 0) inputs.push_back(format);
  }
  return inputs;
}

bool AudioRecorder::recatalogAfterStreamChange(AudioObjectID device) {
  if (deviceID_ == 0 || device != deviceID_) return false;
  const StreamList now = readInputStreams();
  const auto sameFormat = [](const AudioStreamBasicDescription& a,
                             const AudioStreamBasicDescription& b) {
    return a.mSampleRate == b.mSampleRate && a.mChannelsPerFrame == b.mChannelsPerFrame;
  };
  if (std::equal(now.begin(), now.end(), inputStreamList_->begin(), inputStreamList_->end(),
                 sameFormat)) {
    return false;
  }
  platformLog("Input streams of device %u changed (%zu cataloged, %zu now): cataloging again",
              deviceID_, inputStreamList_->size(), now.size());
  // The catalog is refilled with IO stopped, so no cycle sees a mix of the
  // old and the new stream order.
  const bool running = recordingEnabled_.load() || loopbackEnabled_.load();
  stopIO();
  catalogDeviceStreams();
  if (running && !inputStreamList_->empty() && !startIO()) {
    platformLog("❌ Could not restart IO on device %u after its streams changed", deviceID_);
  }
  return true;
}

void AudioRecorder::setRecordingEnabled(bool on) {
  if (on == recordingEnabled_.load()) return;
  platformLog("Setting recordingEnabled to %s", yesNo(on));
  recordingEnabled_.store(on);
  if (on) {
    if (loopbackEnabled_.load()) stopIO();
    if (!startRecording()) {
      platformLog("Failed to start recording, resetting recordingEnabled to NO");
      recordingEnabled_.store(false);
    }
    return;
  }
  stopIO();
  if (!loopbackEnabled_.load()) {
    endRecordingSession();
    cleanUpRecordingFiles();
    platformLog("Keeping IOProc registered but inactive for faster restart");
  } else {
    cleanUpRecordingFiles();
  }
}

bool AudioRecorder::startRecording() {
  if (isStartingRecording.load()) {
    platformLog("Warning: Recursive call to startRecording detected - avoiding duplicates");
    return false;
  }
  platformLog("Starting recording with device ID: %u", deviceID_);
  isStartingRecording.store(true);
  startFailure_.clear();

  if (!sessionID_ || !sessionStartTime_) {
    platformLog("Creating new recording session (no existing session found)");
    createNewRecordingSession();
  } else {
    platformLog("Continuing existing recording session: %s", sessionID_->c_str());
  }

  bool result = false;
  if (deviceID_ == 0) {
    platformLog("Cannot start recording with unknown device");
    failStart("Cannot start recording with unknown device");
  } else {
    platformLog("Explicitly re-adapting to device ID: %u to ensure proper initialization",
                deviceID_);
    adaptToDevice(deviceID_);
    getDeviceName();
    if (!activeDeviceName_ || *activeDeviceName_ == "Unknown Device") {
      platformLog("Warning: Device ID %u could not be verified, may be invalid", deviceID_);
    }
    platformLog("Refreshing stream information for device ID: %u", deviceID_);
    catalogDeviceStreams();
    if (!makeRecordingFiles()) {
      platformLog("Failed to create recording files");
    } else if (!startIO()) {
      platformLog("Failed to start IO");
      cleanUpRecordingFiles();
    } else {
      result = true;
    }
  }
  isStartingRecording.store(false);
  return result;
}

bool AudioRecorder::makeRecordingFiles() {
  if (inputStreamList_->empty()) {
    platformLog("No input streams available for recording");
    failStart("No input streams available for recording on device " + std::to_string(deviceID_));
    return false;
  }
  platformLog("Preparing audio streaming for %zu input streams (no files will be created)",
              inputStreamList_->size());
  getDeviceName();
  recordingURL_ = std::string("file://") + kPlaceholderPath;
  fileList_->clear();
  platformLog("Audio streaming setup complete - ready to stream to host");
  return true;
}

bool AudioRecorder::startIO() {
  platformLog("Starting IO for device ID: %u", deviceID_);
  if (deviceID_ == 0) {
    platformLog("Cannot start IO for unknown device");
    failStart("Cannot start IO for unknown device");
    return false;
  }
  // A registration belongs to the device it was made on; starting another
  // device with it cannot deliver anything, so it is replaced.
  if (ioProcID_ != nullptr && ioProcDevice_ != deviceID_) destroyIOProcOn(ioProcDevice_);
  if (ioProcID_ != nullptr) {
    platformLog("Reusing existing IOProc %p for device ID: %u", static_cast<void*>(ioProcID_),
                deviceID_);
  } else {
    platformLog("Creating new IOProc for device ID: %u", deviceID_);
    AudioDeviceIOProcID created = nullptr;
    const OSStatus status = hal_.createIOProcID(deviceID_, &AudioRecorder::ioproc, this, created);
    if (status != kAudioHardwareNoError) {
      platformLog("Error creating IO proc: %d", status);
      failStart("Error creating IO proc: " + statusText(status));
      return false;
    }
    ioProcID_ = created;
    ioProcDevice_ = deviceID_;
    platformLog("✅ Created IOProc %p for device %u", static_cast<void*>(ioProcID_), deviceID_);
  }

  stopStartWithoutIOProc();
  hal_.deviceStop(deviceID_, nullptr);
  platformLog("🎯 Calling AudioDeviceStart for device %u with IOProc %p", deviceID_,
              static_cast<void*>(ioProcID_));
  const OSStatus status = hal_.deviceStart(deviceID_, ioProcID_);
  if (status != kAudioHardwareNoError) {
    platformLog("❌ Error starting device: %d", status);
    const std::string refused = "Error starting device " + std::to_string(deviceID_) +
                                " with the IO procedure: " + statusText(status);
    if (status != kAudioHardwareIllegalOperationError) {
      failStart(refused);
      return false;
    }
    platformLog("🔄 Trying AudioDeviceStart without IOProc parameter");
    const OSStatus retry = hal_.deviceStart(deviceID_, nullptr);
    if (retry != kAudioHardwareNoError) {
      platformLog("❌ Still failed with error: %d", retry);
      failStart(refused +
                "; starting it without the IO procedure failed too: " + statusText(retry));
      return false;
    }
    platformLog("✅ Device started without IOProc parameter");
    // Without our procedure the device runs but hands us nothing: that is
    // no recording, and the start must not outlive this attempt.
    platformLog("❌ Device %u runs without the IO procedure and would deliver no audio", deviceID_);
    hal_.deviceStop(deviceID_, nullptr);
    failStart(refused + "; it would run without it and deliver no audio");
    return false;
  } else {
    platformLog("✅ AudioDeviceStart returned success for device ID: %u with IOProc %p", deviceID_,
                static_cast<void*>(ioProcID_));
  }

  const auto runningAddress = globalAddress(kAudioDevicePropertyDeviceIsRunning);
  std::this_thread::sleep_for(std::chrono::microseconds(100000));
  UInt32 isRunning = 0;
  OSStatus runningStatus = hal_.getProperty(deviceID_, runningAddress, isRunning);
  platformLog("🔍 Device %u running check: isRunning=%u, error=%d", deviceID_, isRunning,
              runningStatus);
  if (isRunning != 0) return true;

  platformLog(
      "⚠️ Device is not running after AudioDeviceStart. This might be an aggregate "
      "device issue.");
  UInt32 classID = 0;
  const OSStatus classStatus =
      hal_.getProperty(deviceID_, globalAddress(kAudioObjectPropertyClass), classID);
  platformLog("🔍 Device class check: classID=%u (aggregate=%u), error=%d", classID,
              kAudioAggregateDeviceClassID, classStatus);
  if (classID != kAudioAggregateDeviceClassID) return true;

  platformLog("📦 Confirmed: This is an aggregate device");
  std::optional<std::string> clock;
  const OSStatus clockStatus =
      hal_.getProperty(deviceID_, globalAddress(kAudioAggregateDevicePropertyClockDevice), clock);
  if (clockStatus == kAudioHardwareNoError && clock) {
    platformLog("🕐 Aggregate device clock source: %s", clock->c_str());
  } else {
    platformLog("⚠️ No clock source set for aggregate device (error=%d)", clockStatus);
    std::optional<std::string> mainSub;
    const OSStatus mainStatus = hal_.getProperty(
        deviceID_, globalAddress(kAudioAggregateDevicePropertyMainSubDevice), mainSub);
    if (mainStatus == kAudioHardwareNoError && mainSub) {
      platformLog("🕐 Aggregate device main sub-device: %s", mainSub->c_str());
    } else {
      platformLog("⚠️ No main sub-device set either (error=%d)", mainStatus);
    }
  }
  nlohmann::json composition;
  const OSStatus compositionStatus = hal_.getProperty(
      deviceID_, globalAddress(kAudioAggregateDevicePropertyComposition), composition);
  if (compositionStatus == kAudioHardwareNoError && !composition.is_null()) {
    platformLog("📦 Aggregate device composition has %ld items",
                static_cast<long>(composition.size()));
  } else {
    platformLog("❌ Failed to get aggregate device composition (error=%d)", compositionStatus);
  }
  platformLog("🔄 Attempting to start aggregate device without IOProc...");
  const OSStatus retried = hal_.deviceStart(deviceID_, nullptr);
  platformLog("🔄 Start attempt result: %d", retried);
  // Our procedure was accepted; this extra start is ours to stop with it.
  if (retried == kAudioHardwareNoError) startedWithoutIOProc_ = deviceID_;
  std::this_thread::sleep_for(std::chrono::microseconds(100000));
  isRunning = 0;
  hal_.getProperty(deviceID_, runningAddress, isRunning);
  platformLog("🔍 Device %u running check after retry: isRunning=%u", deviceID_, isRunning);
  return true;
}

void AudioRecorder::stopIO() {
  platformLog("Stopping IO");
  stopStartWithoutIOProc();
  if (deviceID_ == 0 || ioProcID_ == nullptr) return;
  platformLog("Stopping IO for device ID: %u, IOProcID: %p", deviceID_,
              static_cast<void*>(ioProcID_));
  // The registration's own device: after a rebind it may differ from the
  // bound one (it is replaced at the next start).
  const OSStatus status = hal_.deviceStop(ioProcDevice_, ioProcID_);
  if (status != kAudioHardwareNoError) platformLog("Error stopping device: %d", status);
  platformLog("Successfully stopped IO for device ID: %u (keeping IOProc %p registered)", deviceID_,
              static_cast<void*>(ioProcID_));
}

void AudioRecorder::destroyIOProc() {
  if (deviceID_ == 0 || ioProcID_ == nullptr) return;
  destroyIOProcOn(ioProcDevice_);
}

void AudioRecorder::destroyIOProcOn(AudioObjectID device) {
  platformLog("Destroying IOProc %p for device ID: %u", static_cast<void*>(ioProcID_), device);
  hal_.deviceStop(device, ioProcID_);
  const OSStatus status = hal_.destroyIOProcID(device, ioProcID_);
  if (status != kAudioHardwareNoError) {
    platformLog("Error destroying IO proc: %d", status);
  } else {
    platformLog("Successfully destroyed IOProc");
  }
  ioProcID_ = nullptr;
  ioProcDevice_ = 0;
}

void AudioRecorder::getDeviceName() {
  if (deviceID_ == 0) {
    activeDeviceName_ = "Unknown Device";
    return;
  }
  std::string name;
  const OSStatus status =
      hal_.getProperty(deviceID_, globalAddress(kAudioDevicePropertyDeviceName), name);
  // Read as a C string: it ends at the first NUL.
  name.resize(std::min(name.find('\0'), name.size()));
  if (status != kAudioHardwareNoError || name.empty()) {
    activeDeviceName_ = "Device_" + std::to_string(deviceID_);
  } else {
    activeDeviceName_ = std::move(name);
  }
  platformLog("Device name for ID %u: %s", deviceID_, activeDeviceName_->c_str());
}

void AudioRecorder::registerListeners() {
  if (deviceID_ == 0) return;
  hal_.addPropertyListener(deviceID_, kAliveAddress, &AudioRecorder::deviceChangedListener, this);
  hal_.addPropertyListener(deviceID_, kStreamsAddress, &AudioRecorder::deviceChangedListener, this);
  hal_.addPropertyListener(deviceID_, kRateAddress, &AudioRecorder::deviceChangedListener, this);
}

void AudioRecorder::unregisterListeners() {
  if (deviceID_ == 0) return;
  hal_.removePropertyListener(deviceID_, kAliveAddress, &AudioRecorder::deviceChangedListener,
                              this);
  hal_.removePropertyListener(deviceID_, kStreamsAddress, &AudioRecorder::deviceChangedListener,
                              this);
  hal_.removePropertyListener(deviceID_, kRateAddress, &AudioRecorder::deviceChangedListener, this);
}

void AudioRecorder::cleanUpRecordingFiles() {
  // Streaming mode opens no files; the list only ever holds null handles.
  fileList_->clear();
}

void AudioRecorder::createNewRecordingSession() {
  sessionID_ = runtime::makeUUID();
  sessionStartTime_ = Clock::now();
  platformLog("Created new recording session: %s", sessionID_->c_str());
}

void AudioRecorder::endRecordingSession() {
  platformLog("Ending recording session: %s", orNull(sessionID_));
  sessionID_.reset();
  sessionStartTime_.reset();
  sessionFolderURL_.reset();
}

OSStatus AudioRecorder::deviceChangedListener(AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                              const AudioObjectPropertyAddress* inAddresses,
                                              void* inClientData) {
  auto* self = static_cast<AudioRecorder*>(inClientData);
  if (self == nullptr || inAddresses == nullptr) return kAudioHardwareNoError;
  for (UInt32 i = 0; i < inNumberAddresses; ++i) {
    if (inAddresses[i].mSelector == kAudioDevicePropertyStreams ||
        inAddresses[i].mSelector == kAudioDevicePropertyNominalSampleRate) {
      platformLog(inAddresses[i].mSelector == kAudioDevicePropertyStreams
                      ? "Device streams changed - checking the cataloged streams"
                      : "Device sample rate changed - checking the cataloged streams");
      if (self->streamsChangedHandler_) {
        self->streamsChangedHandler_(inObjectID);
      } else {
        self->recatalogAfterStreamChange(inObjectID);
      }
      continue;
    }
    if (inAddresses[i].mSelector != kAudioDevicePropertyDeviceIsAlive) continue;
    platformLog("Device alive property changed - resetting device");
    if (self->deviceLostHandler_) {
      self->deviceLostHandler_(inObjectID);
    } else {
      self->adaptToDevice(0);
    }
  }
  return kAudioHardwareNoError;
}

// --- IO thread: no locks, no allocation, no waiting ---

OSStatus AudioRecorder::ioproc(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                               const AudioBufferList* inInputData,
                               const AudioTimeStamp* inInputTime, AudioBufferList*,
                               const AudioTimeStamp*, void* inClientData) {
  const std::int32_t calls = increment(ioprocCallCount);
  if (calls - lastLoggedCall.load(std::memory_order_relaxed) >= 100) {
    platformLogRealtime("🎤 IOProc called %d times for device %u", calls, inDevice);
    lastLoggedCall.store(calls, std::memory_order_relaxed);
  }
  auto* self = static_cast<AudioRecorder*>(inClientData);
  const bool sample = calls % 100 == 1;
  if (sample) {
    platformLogRealtime("🎤 IOProc: recorder=%p, recordingEnabled=%d", static_cast<void*>(self),
                        self == nullptr ? -1 : (self->recordingEnabled_.load() ? 1 : 0));
  }
  if (inInputData == nullptr || inInputData->mBuffers.empty()) {
    if (sample) {
      platformLogRealtime("⚠️ IOProc: No input data! inInputData=%p",
                          static_cast<const void*>(inInputData));
    }
    return kAudioHardwareNoError;
  }
  if (self == nullptr) return kAudioHardwareNoError;
  // The input's own time stamp dates the cycle; every stream of it shares it.
  const AudioTimeStamp* stamp = inInputTime != nullptr ? inInputTime : inNow;
  const double hostSeconds = stamp == nullptr ? 0.0 : static_cast<double>(stamp->mHostTime) / 1e9;
  self->deliver(*inInputData, hostSeconds, sample);
  return kAudioHardwareNoError;
}

void AudioRecorder::deliver(const AudioBufferList& input, double hostSeconds, bool sample) {
  // Second references keep the lists alive for the cycle.
  const std::shared_ptr<const StreamList> streams = inputStreamList_;
  const std::shared_ptr<const std::vector<ExtAudioFileRef>> files = fileList_;
  if (auto delegate = audioDataDelegate_.lock()) delegate->beginCycle(hostSeconds);
  const UInt32 n = input.numberBuffers();
  if (sample) {
    const AudioBuffer& first = input.mBuffers[0];
    const UInt32 frames = first.mNumberChannels == 0
                              ? 0
                              : first.mDataByteSize / (first.mNumberChannels * sizeof(float));
    platformLogRealtime("🎤 IOProc: inInputData has %u buffers, %u frames to record", n, frames);
    platformLogRealtime("🎤 IOProc: fileList size=%zu, inputStreamList size=%zu", files->size(),
                        streams->size());
  }
  // The cycle's length, from the first buffer that carries data: a stream
  // without data gets that much silence.
  std::size_t cycleFrames = 0;
  for (UInt32 i = 0; i < n && cycleFrames == 0; ++i) {
    const AudioBuffer& buffer = input.mBuffers[i];
    if (buffer.mData != nullptr && buffer.mNumberChannels != 0) {
      cycleFrames = buffer.mDataByteSize / (buffer.mNumberChannels * sizeof(float));
    }
  }
  // Every cataloged stream, in catalog order; buffers beyond it are ignored.
  const UInt32 streamCount = std::max<UInt32>(n, static_cast<UInt32>(streams->size()));
  for (UInt32 i = 0; i < streamCount; ++i) {
    const AudioBuffer none{};
    const AudioBuffer& buffer = i < n ? input.mBuffers[i] : none;
    if (recordingEnabled_.load() && !recordingPaused_.load() && i < n) {
      const std::int32_t c = logCounter.fetch_add(1, std::memory_order_relaxed);
      if (c % 500 == 0) {
        float maximum = 0;
        const auto* samples = static_cast<const float*>(buffer.mData);
        const std::size_t count =
            samples == nullptr ? 0 : std::min<std::size_t>(10, buffer.mDataByteSize / 4);
        for (std::size_t s = 0; s < count; ++s) maximum = std::max(maximum, std::fabs(samples[s]));
        platformLogRealtime("Streaming audio buffer %zu: %d bytes, max amplitude: %.6f",
                            static_cast<std::size_t>(i), static_cast<int>(buffer.mDataByteSize),
                            static_cast<double>(maximum));
      }
    }
    if (i >= streams->size()) continue;  // beyond the cataloged streams
    if (auto delegate = audioDataDelegate_.lock()) {
      const Float64 rate = (*streams)[i].mSampleRate;
      const std::int32_t calls = increment(delegateCallCount);
      if (calls % 100 == 0) {
        platformLogRealtime(
            "📡 Calling audio delegate: call #%d, buffer size: %u bytes, sample rate: %.0f", calls,
            buffer.mDataByteSize, rate);
      }
      if (buffer.mData == nullptr || buffer.mDataByteSize == 0) {
        const UInt32 channels =
            buffer.mNumberChannels != 0 ? buffer.mNumberChannels : (*streams)[i].mChannelsPerFrame;
        deliverSilence(*delegate, i, channels, cycleFrames, rate);
        continue;
      }
      single_.mBuffers[0] = buffer;  // the descriptor only, never the samples
      delegate->didReceiveAudioData(single_, i, rate);
    } else {
      const std::int32_t missing = increment(noDelegate);
      if (missing % 100 == 0) {
        platformLogRealtime("⚠️ No audio delegate set! recorder=%p, delegate=%p",
                            static_cast<void*>(this), static_cast<void*>(nullptr));
      }
    }
  }
}

void AudioRecorder::deliverSilence(AudioDataDelegate& delegate, UInt32 stream, UInt32 channels,
                                   std::size_t frames, Float64 rate) {
  // Without a buffer that has data the cycle's length is unknown: nothing
  // to match, so nothing is made up.
  channels = std::max<UInt32>(channels, 1);
  const std::size_t piece = silenceSamples_ / channels;  // whole frames
  if (frames == 0 || piece == 0) return;
  for (std::size_t done = 0; done < frames; done += piece) {
    const std::size_t part = std::min(piece, frames - done);
    single_.mBuffers[0] = {channels, static_cast<UInt32>(part * channels * sizeof(float)),
                           silence_.get()};
    delegate.didReceiveAudioData(single_, stream, rate);
  }
}

}  // namespace velmar
