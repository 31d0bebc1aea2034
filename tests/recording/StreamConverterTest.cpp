// Channels mixed down by averaging or repeated up, and a resampled stream
// that ends with exactly the frames its length at the new rate holds.
#include "recording/StreamConverter.h"

#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "sim/ToneAnalysis.h"

namespace velmar {
namespace {

TEST(StreamConverterTest, ChannelsAreAveragedDownOrRepeatedUp) {
  struct Case {
    std::uint32_t in;
    std::uint32_t out;
    std::vector<std::int16_t> frame;
    std::vector<std::int16_t> expected;
  };
  const std::vector<Case> cases = {
      {2, 1, {100, 301}, {201}},                                         // halves away from zero
      {2, 1, {-100, -301}, {-201}}, {2, 1, {32767, 32767}, {32767}},     // no overflow
      {1, 2, {-7}, {-7, -7}},       {4, 2, {10, 20, 30, 40}, {20, 30}},  // j from i % 2 == j
      {3, 1, {1, 2, 4}, {2}},       {2, 3, {5, 6}, {5, 6, 5}},           // input j % 2
      {2, 2, {5, 6}, {5, 6}},
  };
  for (const auto& entry : cases) {
    std::vector<std::int16_t> out(entry.out);
    mixChannels(entry.frame.data(), 1, entry.in, out.data(), entry.out);
    EXPECT_EQ(out, entry.expected) << entry.in << " to " << entry.out;
  }
}

TEST(StreamConverterTest, AStereoToneBecomesMonoAtAThirdOfTheRateAndEndsWhole) {
  StreamConverter converter;
  ASSERT_TRUE(converter.configure(48000, 2, 16000, 1));
  std::vector<std::int16_t> stereo(2 * 480);
  std::vector<float> mono;
  for (int buffer = 0; buffer < 50; ++buffer) {
    for (int f = 0; f < 480; ++f) {
      const double t = (buffer * 480 + f) / 48000.0;
      const auto sample =
          static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * t));
      stereo[2 * f] = sample;
      stereo[2 * f + 1] = sample;
    }
    for (auto s : converter.convert(stereo.data(), 480)) mono.push_back(s / 32768.0f);
  }
  for (auto s : converter.drain()) mono.push_back(s / 32768.0f);
  EXPECT_EQ(mono.size(), 50u * 160);
  EXPECT_TRUE(testing::hasTone(mono, 440, 16000));
  EXPECT_FALSE(testing::hasTone(mono, 440.0 / 3, 16000));
  // A rate it cannot work with is refused.
  EXPECT_FALSE(converter.configure(48000, 2, 0, 1));
  EXPECT_TRUE(converter.convert(stereo.data(), 480).empty());
}

}  // namespace
}  // namespace velmar
