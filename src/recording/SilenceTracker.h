#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmar {

// Decides, from what the IO thread saw of each stream, when a stream has
// gone silent while its source should sound, why that most likely is, and
// when its signal is back. Told once per silent run: one notice when the
// run is found, one when it ends. Pure bookkeeping: the caller gathers the
// facts and sends the notices (command side, one call at a time).
class SilenceTracker {
 public:
  // Exact zeros this long, while the source should sound, are reported.
  static constexpr double kReportAfterSeconds = 2.0;
  // Other streams count as silent, when explaining one, after this long.
  static constexpr double kCountsAsSilentSeconds = 1.0;

  struct Stream {
    bool isTap = false;
    // Whether the source should sound now: a tap whose processes include
    // one running audio, a device that is running. Only asked for while
    // zeros run.
    bool shouldSound = false;
    double zeroSeconds = 0;           // the current run of exact zeros
    std::uint64_t signalBuffers = 0;  // changes whenever a signal arrives
    double endedRunSeconds = 0;       // the last run a signal ended
  };

  struct Notice {
    bool restored = false;  // else a silence found
    std::uint32_t streamIndex = 0;
    double seconds = 0;       // the silence so far, or all of it once restored
    std::string likelyCause;  // "permission", "route" or "device"; found only
  };

  // Whether the user allows what a stream hears: other applications' audio
  // for a tap, the microphone for a device. Each is asked at most once per
  // update, and only when a cause depends on it.
  struct Authorisations {
    std::function<bool()> systemAudio;
    std::function<bool()> microphone;
  };

  // The streams were cataloged anew: what was known of them is void.
  void reset() { states_.clear(); }

  // `now` in seconds of a steady clock.
  std::vector<Notice> update(const std::vector<Stream>& streams, double now,
                             const Authorisations& authorisations);

  // Whether the stream's source needs looking at: it carries zeros and is
  // not already reported.
  bool wantsSourceState(std::uint32_t stream, double zeroSeconds) const;

 private:
  struct State {
    std::optional<double> soundingSince;  // should have sounded since (while zeros run)
    bool reported = false;
    std::uint64_t signalAtReport = 0;
    double lastZeroSeconds = 0;
  };

  // Answers already asked of `Authorisations` during one update.
  struct Asked {
    std::optional<bool> systemAudio;
    std::optional<bool> microphone;
  };

  std::string causeFor(const std::vector<Stream>& streams, const Stream& silent,
                       const Authorisations& authorisations, Asked& asked) const;

  std::vector<State> states_;
};

}  // namespace velmar
