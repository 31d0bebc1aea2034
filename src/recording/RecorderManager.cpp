#include "recording/RecorderManager.h"

#include <algorithm>

#include "commands/CommandError.h"
#include "commands/CommandParameters.h"
#include "protocol/NumberFormat.h"

namespace velmar {

using nlohmann::json;

namespace {

std::string number(double value) { return formatShortestDouble(value); }
const char* boolText(bool value) { return value ? "true" : "false"; }
double secondsSince(RecorderManager::Clock::time_point start,
                    RecorderManager::Clock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

}  // namespace

std::shared_ptr<RecorderManager> RecorderManager::create(
    std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager, audiohal::AudioHardware& hal,
    AudioFrameQueue* audioQueue) {
  std::shared_ptr<RecorderManager> manager(
      new RecorderManager(std::move(aggregateDeviceManager), hal, audioQueue));
  manager->start();
  return manager;
}

RecorderManager::RecorderManager(std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager,
                                 audiohal::AudioHardware& hal, AudioFrameQueue* audioQueue)
    : aggregateDeviceManager_(std::move(aggregateDeviceManager)),
      hal_(hal),
      audioQueue_(audioQueue),
      recorder_(std::make_unique<AudioRecorder>(hal)) {}

RecorderManager::~RecorderManager() = default;

void RecorderManager::start() {
  eventEmitter_.logToStderr("RecorderManager initialized with CoreAudio implementation");
  audioDataBridge_ = std::make_shared<AudioDataBridge>(weak_from_this());
  recorder_->setAudioDataDelegate(audioDataBridge_);
  eventEmitter_.logToStderr("✅ AudioDataBridge set as delegate for AudioRecorder");
  // The liveness notice arrives on the notification thread; the engine is
  // touched only here, on the command queue.
  recorder_->setDeviceLostHandler([weak = weak_from_this()](audiohal::AudioObjectID device) {
    auto self = weak.lock();
    if (!self) return;
    asio::post(self->commandQueue_, [weak, device] {
      if (auto manager = weak.lock()) manager->handleDeviceLost(device);
    });
  });

  recorder_->setStreamsChangedHandler([weak = weak_from_this()](audiohal::AudioObjectID device) {
    auto self = weak.lock();
    if (!self) return;
    asio::post(self->commandQueue_, [weak, device] {
      if (auto manager = weak.lock()) manager->handleStreamsChanged(device);
    });
  });

  const auto devices = aggregateDeviceManager_->getAllAggregateDevices();
  eventEmitter_.logToStderr("Found " + std::to_string(devices.size()) +
                            " aggregate devices at initialization");
  for (const auto& device : devices) {
    eventEmitter_.logToStderr("  - Aggregate device: " + device.name +
                              " (ID: " + std::to_string(device.id) + ")");
    eventEmitter_.logToStderr("    - Sub-devices: " + std::to_string(device.deviceList.size()) +
                              ", Taps: " + std::to_string(device.tapList.size()));
  }
}

bool RecorderManager::deviceExists(audiohal::AudioObjectID id) {
  std::vector<audiohal::AudioObjectID> devices;
  hal_.getProperty(audiohal::kAudioObjectSystemObject,
                   audiohal::globalAddress(audiohal::kAudioHardwarePropertyDevices), devices);
  return std::find(devices.begin(), devices.end(), id) != devices.end();
}

void RecorderManager::startRecording(const json& params, const std::string& commandId) {
  eventEmitter_.logToStderr("Starting audio streaming (no file recording)...");
  pausedDuration_ = 0;
  pauseStartTime_.reset();

  eventEmitter_.logToStderr("Using the shared aggregate device manager to find aggregate devices");
  const auto devices = aggregateDeviceManager_->getAllAggregateDevices();
  // The host may name the device; without a choice the first aggregate
  // device by name records.
  const auto chosen = parameters::uint32(params, "deviceID");
  const AggregateDeviceInfo* aggregate = nullptr;
  if (chosen) {
    if (!deviceExists(*chosen)) {
      const auto error = CommandError::resourceNotFound("Device with ID " +
                                                        std::to_string(*chosen) + " not found");
      failStart(commandId, error.description(), error.code());
      return;
    }
    const auto entry = std::find_if(devices.begin(), devices.end(),
                                    [&](const auto& device) { return device.id == *chosen; });
    if (entry != devices.end()) aggregate = &*entry;
  } else if (devices.empty()) {
    eventEmitter_.logToStderr("ERROR: No aggregate devices available. Cannot start recording.");
    failStart(commandId, "No aggregate devices available");
    return;
  } else {
    aggregate = &devices.front();
  }
  const audiohal::AudioObjectID selected = aggregate != nullptr ? aggregate->id : *chosen;
  recorder_->setDeviceID(selected);
  const std::string idText = std::to_string(selected);
  if (aggregate != nullptr) {
    eventEmitter_.logToStderr("Selected aggregate device: " + aggregate->name + " (ID: " + idText +
                              ")");
    eventEmitter_.logToStderr("  - Sub-devices: " + std::to_string(aggregate->deviceList.size()));
    eventEmitter_.logToStderr("  - Taps: " + std::to_string(aggregate->tapList.size()));
  } else {
    eventEmitter_.logToStderr("Selected input device ID: " + idText);
  }

  eventEmitter_.logToStderr("Protecting aggregate device " + idText + " during recording");
  aggregateDeviceManager_->setActiveRecordingDevice(selected);
  if (aggregate != nullptr) {
    for (const auto& uid : aggregate->deviceList)
      eventEmitter_.logToStderr("    - Sub-device: " + uid);
    for (const auto& uid : aggregate->tapList) eventEmitter_.logToStderr("    - Tap: " + uid);
  }

  const auto deviceID = recorder_->deviceID();
  eventEmitter_.logToStderr("Starting recording with device ID: " + std::to_string(deviceID));
  recorder_->setRecordingEnabled(true);
  recorder_->setRecordingPaused(false);
  isPaused_ = false;

  if (!recorder_->recordingEnabled()) {
    const auto& url = recorder_->recordingURL();
    eventEmitter_.logToStderr(
        std::string("Recording failed to start, recordingEnabled: ") + boolText(false) +
        ", recordingURL: " + (url ? "Optional(" + *url + ")" : std::string("nil")));
    // A failed start must not leave the device protected for good.
    aggregateDeviceManager_->clearActiveRecordingDevice();
    stopSilenceChecks();
    const std::string& cause = recorder_->startFailure();
    failStart(commandId,
              cause.empty() ? "Failed to start recording" : "Failed to start recording: " + cause);
    return;
  }

  eventEmitter_.logToStderr("Recording started successfully with device ID: " +
                            std::to_string(deviceID));
  startSilenceChecks();
  eventEmitter_.sendResponse(commandId, true,
                             json{{"streamingMode", true}, {"deviceId", deviceID}});
  emitRecordingStarted(devices);
}

void RecorderManager::emitRecordingStarted(const std::vector<AggregateDeviceInfo>& devices) {
  eventEmitter_.emitEvent("recordingStarted", json{{"streamingMode", true},
                                                   {"deviceId", recorder_->deviceID()},
                                                   {"deviceName", deviceNameOrUnknown()},
                                                   {"deviceInfo", deviceInfo(devices)},
                                                   {"streams", streamMap()}});
}

json RecorderManager::streamMap() const {
  json streams = json::array();
  const auto& sources = recorder_->streamSources();
  for (std::size_t i = 0; i < sources.size(); ++i) {
    streams.push_back({{"streamIndex", i},
                       {"kind", sources[i].kind},
                       {"uid", sources[i].uid},
                       {"name", sources[i].name},
                       {"channels", sources[i].channels},
                       {"sampleRate", sources[i].sampleRate}});
  }
  return streams;
}

void RecorderManager::failStart(const std::string& commandId, const std::string& message,
                                const std::optional<std::string>& code) {
  eventEmitter_.logToStderr("Error starting recording: " + message);
  eventEmitter_.sendResponse(commandId, false, std::nullopt, message, code);
  eventEmitter_.emitEvent("recordingError", json{{"error", message}});
}

void RecorderManager::stopRecording(const json& /*params*/, const std::string& commandId) {
  if (!recorder_->recordingEnabled()) {
    // Never started, already stopped, or ended when its device went away.
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "No recording to stop");
    return;
  }
  const double duration = getActiveRecordingDuration();
  eventEmitter_.logToStderr("Stopping streaming/recording, mode: streaming, duration: " +
                            number(duration));
  recorder_->setRecordingEnabled(false);
  recorder_->setRecordingPaused(false);
  stopSilenceChecks();
  // IO has stopped: the last partial chunk and the resampler's tail go out.
  flushConversion();

  const auto deviceID = recorder_->deviceID();
  eventEmitter_.logToStderr("Clearing protection for device ID " + std::to_string(deviceID) +
                            " after stopping recording");
  aggregateDeviceManager_->clearActiveRecordingDevice();

  const auto devices = aggregateDeviceManager_->getAllAggregateDevices();
  const auto recorded = std::find_if(devices.begin(), devices.end(),
                                     [&](const auto& device) { return device.id == deviceID; });
  if (recorded != devices.end()) {
    eventEmitter_.logToStderr("Keeping aggregate device " + std::to_string(recorded->id) +
                              " selected for next recording");
    aggregateDeviceManager_->setCurrentDevice(recorded->id);
  } else {
    eventEmitter_.logToStderr("Device ID " + std::to_string(deviceID) +
                              " is no longer a valid aggregate device");
    if (!devices.empty()) {
      eventEmitter_.logToStderr("Switching to first available aggregate device: " +
                                std::to_string(devices.front().id));
      aggregateDeviceManager_->setCurrentDevice(devices.front().id);
    }
  }

  if (recorder_->recordingEnabled()) {
    eventEmitter_.logToStderr("Failed to stop streaming - recording still enabled");
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "Failed to stop streaming");
  } else {
    eventEmitter_.logToStderr("Streaming stopped successfully");
    eventEmitter_.sendResponse(commandId, true,
                               json{{"streamingMode", true}, {"duration", duration}});
    eventEmitter_.emitEvent("recordingStopped", json{{"streamingMode", true},
                                                     {"duration", duration},
                                                     {"deviceId", deviceID},
                                                     {"deviceName", deviceNameOrUnknown()},
                                                     {"deviceInfo", deviceInfo(devices)}});
  }
  isPaused_ = false;
  pausedDuration_ = 0;
  pauseStartTime_.reset();
}

void RecorderManager::pauseRecording(const json& /*params*/, const std::string& commandId) {
  if (!recorder_->recordingEnabled()) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "No recording to pause");
    return;
  }
  if (isPaused_) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "Recording is already paused");
    return;
  }
  eventEmitter_.logToStderr("Pausing recording");
  isPaused_ = true;
  recorder_->setRecordingPaused(true);
  pauseStartTime_ = Clock::now();
  const json data{{"isPaused", true}, {"isRecording", true}};
  eventEmitter_.sendResponse(commandId, true, data);
  eventEmitter_.emitEvent("recordingPaused", data);
}

void RecorderManager::resumeRecording(const json& /*params*/, const std::string& commandId) {
  if (!recorder_->recordingEnabled()) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "No recording to resume");
    return;
  }
  if (!isPaused_) {
    eventEmitter_.sendResponse(commandId, false, std::nullopt, "Recording is not paused");
    return;
  }
  if (pauseStartTime_) {
    const double pause = secondsSince(*pauseStartTime_, Clock::now());
    pausedDuration_ += pause;
    eventEmitter_.logToStderr("Resuming recording, adding " + number(pause) +
                              " seconds to paused duration (total: " + number(pausedDuration_) +
                              ")");
  }
  eventEmitter_.logToStderr("Resuming recording");
  isPaused_ = false;
  recorder_->setRecordingPaused(false);
  pauseStartTime_.reset();
  const json data{{"isPaused", false}, {"isRecording", true}};
  eventEmitter_.sendResponse(commandId, true, data);
  eventEmitter_.emitEvent("recordingResumed", data);
}

double RecorderManager::getActiveRecordingDuration() {
  const auto& start = recorder_->sessionStartTime();
  if (!start) {
    eventEmitter_.logToStderr("Duration calculation: No session start time, returning 0");
    return 0;
  }
  const auto now = Clock::now();
  const double totalElapsed = secondsSince(*start, now);
  double active = 0;
  if (!isPaused_) {
    active = totalElapsed - pausedDuration_;
    eventEmitter_.logToStderr(
        "Duration calculation (ACTIVE): totalElapsed=" + number(totalElapsed) +
        ", pausedDuration=" + number(pausedDuration_) + ", activeDuration=" + number(active));
  } else if (!pauseStartTime_) {
    active = totalElapsed - pausedDuration_;
    eventEmitter_.logToStderr(
        "Duration calculation (PAUSED, no pauseStart): totalElapsed=" + number(totalElapsed) +
        ", pausedDuration=" + number(pausedDuration_) + ", activeDuration=" + number(active));
  } else {
    const double currentPause = secondsSince(*pauseStartTime_, now);
    active = totalElapsed - pausedDuration_ - currentPause;
    eventEmitter_.logToStderr(
        "Duration calculation (PAUSED): totalElapsed=" + number(totalElapsed) +
        ", pausedDuration=" + number(pausedDuration_) +
        ", currentPauseDuration=" + number(currentPause) + ", activeDuration=" + number(active));
  }
  return std::max(0.0, active);
}

void RecorderManager::getRecordingStatus(const json& /*params*/, const std::string& commandId) {
  const bool isRecording = recorder_->recordingEnabled();
  const double duration = getActiveRecordingDuration();
  json filePath = nullptr;
  if (const auto& url = recorder_->recordingURL()) {
    constexpr std::string_view kScheme = "file://";
    filePath = url->starts_with(kScheme) ? url->substr(kScheme.size()) : *url;
  }
  const auto deviceID = recorder_->deviceID();
  const auto& name = recorder_->activeDeviceName();
  eventEmitter_.logToStderr(std::string("Recording status: isRecording=") + boolText(isRecording) +
                            ", isPaused=" + boolText(isPaused_) + ", duration=" + number(duration) +
                            ", deviceID=" + std::to_string(deviceID) + ", deviceName=" +
                            (name ? "Optional(\"" + *name + "\")" : std::string("nil")));
  eventEmitter_.sendResponse(
      commandId, true,
      json{{"isRecording", isRecording},
           {"isPaused", isPaused_},
           {"duration", duration},
           {"filePath", filePath},
           {"deviceId", deviceID},
           {"deviceName", deviceNameOrUnknown()},
           {"deviceInfo", deviceInfo(aggregateDeviceManager_->getAllAggregateDevices())}});
}

void RecorderManager::handleDeviceLost(audiohal::AudioObjectID device) {
  const bool wasRecording = recorder_->recordingEnabled();
  if (!recorder_->resetAfterDeviceChange(device) || !wasRecording) return;
  endRecordingAfterLoss(device, "Recording device is no longer available", "after losing it");
}

void RecorderManager::endRecordingAfterLoss(audiohal::AudioObjectID device,
                                            const std::string& message, const std::string& why) {
  // The recording is over: nothing records, nothing is protected, and the
  // status says so.
  recorder_->setRecordingEnabled(false);
  recorder_->setRecordingPaused(false);
  stopSilenceChecks();
  flushConversion();
  isPaused_ = false;
  pausedDuration_ = 0;
  pauseStartTime_.reset();
  eventEmitter_.logToStderr("Clearing protection for device ID " + std::to_string(device) + " " +
                            why);
  aggregateDeviceManager_->clearActiveRecordingDevice();
  // The host would otherwise wait for audio that will never come.
  eventEmitter_.logToStderr("Error while recording: " + message);
  eventEmitter_.emitEvent("recordingError", json{{"error", message}});
}

void RecorderManager::handleStreamsChanged(audiohal::AudioObjectID device) {
  if (!recorder_->recatalogAfterStreamChange(device) || !recorder_->recordingEnabled()) return;
  if (recorder_->inputStreamList()->empty()) {
    // Every source of the device went away (its only sub-device unplugged, its
    // taps destroyed): nothing will be heard again, so the recording ends as
    // if the device itself had gone.
    endRecordingAfterLoss(device, "Recording device has no input streams left",
                          "after it lost its input streams");
    return;
  }
  // Stream indices follow the new catalog from here on (sub-devices first,
  // then taps, as the device information lists them). The host hears of it
  // the way it hears of any (re)start of a recording, with the new layout.
  const auto deviceID = recorder_->deviceID();
  eventEmitter_.logToStderr("Recording device " + std::to_string(deviceID) +
                            " changed its input streams: recording continues with " +
                            std::to_string(recorder_->inputStreamList()->size()) +
                            " input streams, indexed in the new order");
  emitRecordingStarted(aggregateDeviceManager_->getAllAggregateDevices());
}

std::string RecorderManager::deviceNameOrUnknown() const {
  return recorder_->activeDeviceName().value_or("Unknown Device");
}

json RecorderManager::deviceInfo(const std::vector<AggregateDeviceInfo>& devices) const {
  const auto deviceID = recorder_->deviceID();
  json info{{"deviceId", deviceID}, {"deviceName", deviceNameOrUnknown()}};
  const auto entry = std::find_if(devices.begin(), devices.end(),
                                  [&](const auto& device) { return device.id == deviceID; });
  if (entry != devices.end()) {
    info["isAggregateDevice"] = true;
    info["subDeviceCount"] = entry->deviceList.size();
    info["tapCount"] = entry->tapList.size();
    info["subDevices"] =
        json(std::vector<std::string>(entry->deviceList.begin(), entry->deviceList.end()));
    info["taps"] = json(std::vector<std::string>(entry->tapList.begin(), entry->tapList.end()));
  }
  return info;
}

}  // namespace velmar
