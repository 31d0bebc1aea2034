#include "microphone/AudioLevelMonitor.h"

#include <algorithm>
#include <cmath>

#include "microphone/LevelNumber.h"
#include "platform/Platform.h"

namespace velmar {

using namespace platform;
using audiohal::AudioBufferList;
using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::OSStatus;
using audiohal::UInt32;

namespace {

// The layout assumed when the unit does not say the device's.
constexpr UInt32 kFallbackChannels = 2;
constexpr AudioUnitElement kInputElement = 1;
constexpr AudioUnitElement kOutputElement = 0;
// How often the publisher looks for levels to send.
constexpr auto kPublisherPeriod = std::chrono::milliseconds(20);

}  // namespace

AudioLevelMonitor::AudioLevelMonitor() : AudioLevelMonitor(Platform::shared().audioUnits()) {}

AudioLevelMonitor::AudioLevelMonitor(AudioUnitService& units, MonitorClock clock)
    : units_(units), clock_(std::move(clock)), lastUpdateTime_(clock_.steadyNow()) {
  bufferList_.mBuffers.resize(1);
}

AudioLevelMonitor::~AudioLevelMonitor() {
  stopMonitoring();
  stopPublisher();
}

bool AudioLevelMonitor::startMonitoring(AudioObjectID deviceID) {
  std::lock_guard lock(controlMutex_);
  return startLocked(deviceID);
}

bool AudioLevelMonitor::startLocked(AudioObjectID deviceID) {
  stopLocked();
  currentDeviceID_ = deviceID;

  const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                              kAudioUnitManufacturer_Apple, 0, 0};
  AudioComponent component = units_.findNextComponent(nullptr, description);
  if (component == nullptr) {
    eventEmitter_.logToStderr("Failed to find AUHAL component");
    return false;
  }
  AudioUnit unit = nullptr;
  OSStatus status = units_.instanceNew(component, unit);
  if (status != 0 || unit == nullptr) {
    eventEmitter_.logToStderr("Failed to create audio unit: " + std::to_string(status));
    return false;
  }
  // From here on a failure leaves the unit open; the next start or stop
  // disposes of it.
  inputUnit_ = unit;

  units_.setProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, kInputElement,
                     UInt32{1});
  units_.setProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output,
                     kOutputElement, UInt32{0});

  status = units_.setProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                              0, UInt32{deviceID});
  if (status != 0) {
    eventEmitter_.logToStderr("Failed to set input device: " + std::to_string(status));
    return false;
  }

  // Rendered in the device's own layout (a mono microphone's unit refuses
  // two channels), as interleaved floats at the device's rate.
  channels_ = kFallbackChannels;
  AudioUnitPropertyValue format = AudioStreamBasicDescription{};
  if (units_.getProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input,
                         kInputElement, format) == 0) {
    if (const auto* read = std::get_if<AudioStreamBasicDescription>(&format);
        read != nullptr && read->mChannelsPerFrame > 0) {
      inputFormat_ = *read;
      channels_ = read->mChannelsPerFrame;
      units_.setProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output,
                         kInputElement, audiohal::makeFloatFormat(read->mSampleRate, channels_));
    }
  }

  allocateBuffer(unit);

  // An input-only unit calls its input callback; a render callback would
  // never run.
  status =
      units_.setProperty(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
                         AURenderCallbackStruct{&AudioLevelMonitor::inputProc, this});
  if (status != 0) {
    eventEmitter_.logToStderr("Failed to set input callback: " + std::to_string(status));
    return false;
  }
  status = units_.initialize(unit);
  if (status != 0) {
    eventEmitter_.logToStderr("Failed to initialize audio unit: " + std::to_string(status));
    return false;
  }
  startPublisher();
  status = units_.outputUnitStart(unit);
  if (status != 0) {
    eventEmitter_.logToStderr("Failed to start audio unit: " + std::to_string(status));
    return false;
  }
  eventEmitter_.logToStderr("Started monitoring device " + std::to_string(deviceID));
  return true;
}

void AudioLevelMonitor::allocateBuffer(AudioUnit unit) {
  // Sized once for the largest cycle the unit will ask for, so the input
  // thread never allocates.
  UInt32 frames = kFallbackMaximumFrames;
  AudioUnitPropertyValue announced;
  if (units_.getProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                         announced) == 0) {
    if (const auto* value = std::get_if<UInt32>(&announced); value != nullptr && *value > 0) {
      frames = *value;
    }
  }
  maximumFrames_ = frames;
  samples_.assign(static_cast<std::size_t>(frames) * channels_, 0.0f);
  auto& buffer = bufferList_.mBuffers.front();
  buffer.mNumberChannels = channels_;
  buffer.mDataByteSize = 0;
  buffer.mData = samples_.data();
}

void AudioLevelMonitor::stopMonitoring() {
  std::lock_guard lock(controlMutex_);
  stopLocked();
}

void AudioLevelMonitor::stopLocked() {
  AudioUnit unit = inputUnit_.load();
  if (unit == nullptr) return;
  // Stopped before it is disposed of, so no cycle runs on a dead unit.
  units_.outputUnitStop(unit);
  units_.uninitialize(unit);
  units_.instanceDispose(unit);
  stopPublisher();
  inputUnit_ = nullptr;
  currentDeviceID_ = 0;
  currentRMS_ = 0;
  currentPeak_ = 0;
}

AudioLevelMonitor::Levels AudioLevelMonitor::getCurrentLevels() const {
  return {currentRMS_.load(std::memory_order_relaxed),
          currentPeak_.load(std::memory_order_relaxed)};
}

OSStatus AudioLevelMonitor::inputProc(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData) {
  return static_cast<AudioLevelMonitor*>(inRefCon)->inputCallback(
      ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames, ioData);
}

OSStatus AudioLevelMonitor::inputCallback(AudioUnitRenderActionFlags* ioActionFlags,
                                          const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                          UInt32 inNumberFrames, AudioBufferList*) {
  AudioUnit unit = inputUnit_.load(std::memory_order_acquire);
  if (unit == nullptr) return -1;
  // An empty cycle has nothing to measure.
  if (inNumberFrames == 0) return 0;
  if (inNumberFrames > maximumFrames_) {
    skippedCycles_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  auto& buffer = bufferList_.mBuffers.front();
  buffer.mNumberChannels = channels_;
  buffer.mDataByteSize = inNumberFrames * 4 * channels_;
  buffer.mData = samples_.data();
  if (units_.render(unit, ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames, &bufferList_) !=
      0) {
    return 0;
  }

  const UInt32 n = inNumberFrames * channels_;
  float sumOfSquares = 0;
  float peak = 0;
  for (UInt32 i = 0; i < n; ++i) {
    const float a = std::fabs(samples_[i]);
    sumOfSquares += a * a;
    if (a > peak) peak = a;
  }
  const float rms = std::sqrt(sumOfSquares / static_cast<float>(n));
  currentRMS_.store(rms, std::memory_order_relaxed);
  currentPeak_.store(peak, std::memory_order_relaxed);

  const auto now = clock_.steadyNow();
  if (std::chrono::duration<double>(now - lastUpdateTime_).count() >= updateInterval_) {
    // Odd while the record is being written, so the publisher never sends
    // one made of two cycles' values.
    const std::uint64_t sequence = publishedSequence_.load(std::memory_order_relaxed);
    publishedSequence_.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    publishedDevice_.store(currentDeviceID_.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
    publishedRMS_.store(rms, std::memory_order_relaxed);
    publishedPeak_.store(peak, std::memory_order_relaxed);
    publishedMillis_.store(millisSinceEpoch(clock_.wallNow()), std::memory_order_relaxed);
    publishedSequence_.store(sequence + 2, std::memory_order_release);
    lastUpdateTime_ = now;
  }
  return 0;
}

void AudioLevelMonitor::startPublisher() {
  if (publisher_.joinable()) return;
  {
    std::lock_guard lock(publisherMutex_);
    publisherStopping_ = false;
  }
  // What is already handed over counts as sent; taken here rather than on
  // the new thread, which may first run after the unit's first report.
  const std::uint64_t seen = publishedSequence_.load(std::memory_order_acquire);
  publisher_ = std::thread([this, seen] { publishLoop(seen); });
}

void AudioLevelMonitor::stopPublisher() {
  if (!publisher_.joinable()) return;
  {
    std::lock_guard lock(publisherMutex_);
    publisherStopping_ = true;
  }
  publisherWake_.notify_all();
  publisher_.join();
}

void AudioLevelMonitor::publishLoop(std::uint64_t seen) {
  std::unique_lock lock(publisherMutex_);
  while (true) {
    const bool stopping =
        publisherWake_.wait_for(lock, kPublisherPeriod, [this] { return publisherStopping_; });
    lock.unlock();
    // Levels handed over just before the unit stopped still go out.
    publishPending(seen);
    if (stopping) return;
    lock.lock();
  }
}

void AudioLevelMonitor::publishPending(std::uint64_t& seen) {
  const std::uint64_t before = publishedSequence_.load(std::memory_order_acquire);
  // Nothing new, or the input thread is writing a record: look again on the
  // next round (it is never waited for).
  if (before == seen || (before & 1) != 0) return;
  const AudioObjectID device = publishedDevice_.load(std::memory_order_relaxed);
  const float rms = publishedRMS_.load(std::memory_order_relaxed);
  const float peak = publishedPeak_.load(std::memory_order_relaxed);
  const std::int64_t millis = publishedMillis_.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (publishedSequence_.load(std::memory_order_relaxed) != before) return;
  seen = before;
  // Reported levels are capped at full scale; the stored ones are not.
  eventEmitter_.emitEvent("audioLevels", {{"deviceID", device},
                                          {"rms", levelNumber(std::min(rms, 1.0f))},
                                          {"peak", levelNumber(std::min(peak, 1.0f))},
                                          {"timestamp", millis}});
}

}  // namespace velmar
