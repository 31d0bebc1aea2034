#include "recording/SilenceTracker.h"

#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "recording/StreamSignalWatch.h"

namespace velmar {
namespace {

using Stream = SilenceTracker::Stream;

Stream stream(bool isTap, bool shouldSound, double zeroSeconds) {
  Stream s;
  s.isTap = isTap;
  s.shouldSound = shouldSound;
  s.zeroSeconds = zeroSeconds;
  return s;
}

// Stream 0 is the microphone, 1 and 2 taps; every source should sound. A
// tap's silence is judged by the system-audio authorisation, the
// microphone's by its own.
struct CauseCase {
  const char* name;
  double microphoneZeros;
  double firstTapZeros;
  double secondTapZeros;
  bool systemAudioGranted;
  bool microphoneGranted;
  std::uint32_t reported;
  const char* cause;
};

class SilenceCauseTest : public ::testing::TestWithParam<CauseCase> {};

TEST_P(SilenceCauseTest, NamesTheLikelyCause) {
  const CauseCase& c = GetParam();
  const std::vector<Stream> streams{stream(false, true, c.microphoneZeros),
                                    stream(true, true, c.firstTapZeros),
                                    stream(true, true, c.secondTapZeros)};
  SilenceTracker tracker;
  int systemAudioAsked = 0;
  int microphoneAsked = 0;
  const auto systemAudio = [&] {
    ++systemAudioAsked;
    return c.systemAudioGranted;
  };
  const auto microphone = [&] {
    ++microphoneAsked;
    return c.microphoneGranted;
  };
  const SilenceTracker::Authorisations authorisations{systemAudio, microphone};
  // The source must have been seen to sound for the whole time too.
  EXPECT_TRUE(tracker.update(streams, 100, authorisations).empty());
  const auto notices = tracker.update(streams, 102, authorisations);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].streamIndex, c.reported);
  EXPECT_EQ(notices[0].likelyCause, c.cause);
  EXPECT_LE(systemAudioAsked, 1);
  EXPECT_LE(microphoneAsked, 1);
  // Once per run.
  EXPECT_TRUE(tracker.update(streams, 103, authorisations).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SilenceCauseTest,
    ::testing::Values(
        CauseCase{"EverythingSilent", 5, 1.5, 1.5, true, true, 0, "permission"},
        CauseCase{"TapsWithoutAuthorisation", 0, 5, 1, false, true, 1, "permission"},
        CauseCase{"TapsWithAuthorisation", 0, 5, 1, true, true, 1, "route"},
        // The microphone's refusal says nothing about what taps hear.
        CauseCase{"TapsWithOnlyTheMicrophoneRefused", 0, 5, 1, true, false, 1, "route"},
        CauseCase{"OneTapOfTwo", 0, 0, 5, false, true, 2, "route"},
        CauseCase{"Microphone", 5, 0, 0, true, true, 0, "device"},
        CauseCase{"MicrophoneWithoutAuthorisation", 5, 0, 0, true, false, 0, "permission"},
        // Nor does the system audio's refusal say anything about the microphone.
        CauseCase{"MicrophoneWithOnlySystemAudioRefused", 5, 0, 0, false, true, 0, "device"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SilenceTrackerTest, QuietSourcesAreNotReportedAndARestoredRunIsToldOnce) {
  SilenceTracker tracker;
  std::vector<Stream> streams{stream(true, false, 5)};
  const SilenceTracker::Authorisations granted{.systemAudio = [] { return true; },
                                               .microphone = [] { return true; }};
  EXPECT_TRUE(tracker.update(streams, 0, granted).empty());
  EXPECT_TRUE(tracker.update(streams, 3, granted).empty());
  streams[0].shouldSound = true;  // the application starts playing, zeros
  EXPECT_TRUE(tracker.update(streams, 4, granted).empty());
  EXPECT_EQ(tracker.update(streams, 6, granted).size(), 1u);
  streams[0] = stream(true, false, 0);
  streams[0].signalBuffers = 1;
  streams[0].endedRunSeconds = 6.5;
  const auto restored = tracker.update(streams, 7, granted);
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_TRUE(restored[0].restored);
  EXPECT_EQ(restored[0].seconds, 6.5);
  EXPECT_TRUE(tracker.update(streams, 8, granted).empty());
}

// The IO thread's scan: only +0 and -0 are silence, wherever the first
// other sample sits (in a whole block or in the tail after the blocks).
TEST(StreamSignalWatchTest, OnlyExactZerosAreSilenceWhereverTheFirstSoundIs) {
  std::vector<float> samples(1000, 0.0f);
  EXPECT_TRUE(StreamSignalWatch::allZero(samples.data(), samples.size()));
  samples[500] = -0.0f;
  EXPECT_TRUE(StreamSignalWatch::allZero(samples.data(), samples.size()));
  for (std::size_t at : {0u, 63u, 64u, 959u, 960u, 999u}) {
    for (float sound : {1e-45f, -0.25f, std::numeric_limits<float>::quiet_NaN()}) {
      samples[at] = sound;
      EXPECT_FALSE(StreamSignalWatch::allZero(samples.data(), samples.size())) << at;
      samples[at] = 0.0f;
    }
  }
}

}  // namespace
}  // namespace velmar
