// The silence half of RecorderManager: while a recording runs, a check on
// the command queue reads what the IO thread noted of each stream and tells
// the host when a stream that should sound carries only zeros, and when its
// signal is back.
#include <cmath>

#include <asio/post.hpp>

#include "permissions/PermissionsManager.h"
#include "protocol/NumberFormat.h"
#include "recording/RecorderManager.h"
#include "recording/SourceActivity.h"

namespace velmar {

using nlohmann::json;

namespace {

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Hundredths are what a host can use; the checks are a quarter second apart.
double rounded(double seconds) { return std::round(seconds * 100) / 100; }

}  // namespace

void RecorderManager::startSilenceChecks() {
  const std::uint64_t generation = ++silenceGeneration_;
  // The tick runs on the main loop and only posts: stopping the timer from
  // the command queue never waits on a check.
  silenceTimer_.start(kSilenceCheckPeriod, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (!self) return;
    asio::post(self->commandQueue_, [weak, generation] {
      if (auto manager = weak.lock()) manager->checkSilence(generation);
    });
  });
}

void RecorderManager::stopSilenceChecks() {
  ++silenceGeneration_;  // checks already posted do nothing
  silenceTimer_.stop();
}

void RecorderManager::checkSilence(std::uint64_t generation) {
  if (generation != silenceGeneration_) return;
  if (!recorder_->recordingEnabled()) {
    stopSilenceChecks();
    return;
  }
  const auto& sources = recorder_->streamSources();
  std::vector<SilenceTracker::Stream> streams(sources.size());
  for (std::uint32_t i = 0; i < sources.size(); ++i) {
    const auto reading = signalWatch_.read(i);
    const double rate = sources[i].sampleRate;
    SilenceTracker::Stream& stream = streams[i];
    stream.isTap = sources[i].kind == "tap";
    stream.signalBuffers = reading.signalBuffers;
    if (rate > 0) {
      stream.zeroSeconds = static_cast<double>(reading.zeroFrames) / rate;
      stream.endedRunSeconds = static_cast<double>(reading.endedRunFrames) / rate;
    }
    // The HAL is asked only about streams carrying zeros.
    if (silenceTracker_.wantsSourceState(i, stream.zeroSeconds)) {
      stream.shouldSound = stream.isTap
                               ? source_activity::tapHasRunningProcess(hal_, sources[i].uid)
                               : source_activity::deviceIsRunning(hal_, sources[i].uid);
    }
  }
  // A tap's silence is judged by the system-audio authorisation, a device's
  // by the microphone's.
  const SilenceTracker::Authorisations authorisations{
      .systemAudio = [] { return PermissionsManager().checkSystemAudioPermission(); },
      .microphone = [] { return PermissionsManager().checkMicrophonePermission(); }};
  const auto notices = silenceTracker_.update(streams, steadySeconds(), authorisations);
  for (const auto& notice : notices) {
    const std::string index = std::to_string(notice.streamIndex);
    const double seconds = rounded(notice.seconds);
    if (notice.restored) {
      eventEmitter_.logToStderr("🔊 Stream " + index + " carries a signal again after " +
                                formatShortestDouble(seconds) + " s of silence");
      eventEmitter_.emitEvent("audioSignalRestored", json{{"streamIndex", notice.streamIndex},
                                                          {"silentSeconds", seconds}});
    } else {
      eventEmitter_.logToStderr(
          "⚠️ Stream " + index + " (" + sources[notice.streamIndex].kind + " " +
          sources[notice.streamIndex].uid + ") carries only zeros for " +
          formatShortestDouble(seconds) +
          " s while its source should sound; likely cause: " + notice.likelyCause);
      eventEmitter_.emitEvent("audioSilenceDetected", json{{"streamIndex", notice.streamIndex},
                                                           {"seconds", seconds},
                                                           {"likelyCause", notice.likelyCause}});
    }
  }
}

}  // namespace velmar
