#include "recording/SilenceTracker.h"

#include <algorithm>

namespace velmar {

namespace {

bool ask(const std::function<bool()>& question, std::optional<bool>& answer) {
  if (!answer) answer = question ? question() : true;
  return *answer;
}

}  // namespace

bool SilenceTracker::wantsSourceState(std::uint32_t stream, double zeroSeconds) const {
  if (zeroSeconds <= 0) return false;
  return stream >= states_.size() || !states_[stream].reported;
}

std::vector<SilenceTracker::Notice> SilenceTracker::update(const std::vector<Stream>& streams,
                                                           double now,
                                                           const Authorisations& authorisations) {
  states_.resize(streams.size());
  std::vector<Notice> notices;
  Asked asked;  // each asked once, when needed
  for (std::uint32_t i = 0; i < streams.size(); ++i) {
    const Stream& stream = streams[i];
    State& state = states_[i];
    if (state.reported) {
      if (stream.signalBuffers != state.signalAtReport) {
        // The run ended between two looks: the longer of what was seen and
        // what the IO thread says it came to.
        const double silent = std::max(state.lastZeroSeconds, stream.endedRunSeconds);
        notices.push_back(
            {.restored = true, .streamIndex = i, .seconds = silent, .likelyCause = {}});
        state = State{};
        continue;
      }
      state.lastZeroSeconds = stream.zeroSeconds;
      continue;
    }
    if (stream.zeroSeconds <= 0 || !stream.shouldSound) {
      state.soundingSince.reset();
      continue;
    }
    if (!state.soundingSince) state.soundingSince = now;
    // Both must hold for the whole time: zeros, and a source that should
    // have sounded.
    if (std::min(stream.zeroSeconds, now - *state.soundingSince) < kReportAfterSeconds) continue;
    notices.push_back({.restored = false,
                       .streamIndex = i,
                       .seconds = stream.zeroSeconds,
                       .likelyCause = causeFor(streams, stream, authorisations, asked)});
    state.reported = true;
    state.signalAtReport = stream.signalBuffers;
    state.lastZeroSeconds = stream.zeroSeconds;
  }
  return notices;
}

// Everything silent: the system withholds the audio ("permission"). So too
// when every stream of the silent one's kind is silent and the user has not
// allowed what it hears: other applications' audio for taps, the microphone
// for devices. Only taps silent: the processes play elsewhere or nothing
// reaches the tap ("route"). Otherwise a device delivers nothing ("device").
std::string SilenceTracker::causeFor(const std::vector<Stream>& streams, const Stream& reported,
                                     const Authorisations& authorisations, Asked& asked) const {
  const auto silent = [](const Stream& s) { return s.zeroSeconds >= kCountsAsSilentSeconds; };
  bool everyOfItsKindSilent = true;
  bool everySilent = true;
  bool onlyTapsSilent = true;
  for (const Stream& s : streams) {
    if (s.isTap == reported.isTap && !silent(s)) everyOfItsKindSilent = false;
    if (!silent(s)) everySilent = false;
    if (silent(s) && !s.isTap) onlyTapsSilent = false;
  }
  if (everySilent) return "permission";
  if (everyOfItsKindSilent) {
    const bool granted = reported.isTap ? ask(authorisations.systemAudio, asked.systemAudio)
                                        : ask(authorisations.microphone, asked.microphone);
    if (!granted) return "permission";
  }
  return onlyTapsSilent ? "route" : "device";
}

}  // namespace velmar
