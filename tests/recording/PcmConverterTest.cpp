#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "recording/PcmConverter.h"

namespace velmar {
namespace {

using ArrayConversion = void (*)(const float*, std::size_t, std::int16_t*);

struct NamedConversion {
  const char* name;
  ArrayConversion convert;
};

const NamedConversion kConversions[] = {{"reference", convertToPcm16Reference},
                                        {"fast", convertToPcm16},
                                        {"portable", convertToPcm16Portable}};

float fromBits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(PcmConverterTest, EdgeValuesRoundHalvesAwayFromZeroAndSaturate) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kStep = 1.0f / 32768.0f;
  const struct {
    float in;
    std::int16_t out;
  } cases[] = {
      {0.5f, 16384},
      {-0.5f, -16384},
      {1.0f, 32767},
      {-1.0f, -32768},
      {1.5f, 32767},
      {-1.5f, -32768},
      {0.25f * kStep, 0},
      {-0.25f * kStep, 0},
      {0.5f * kStep, 1},  // a half step goes up, not to even
      {-0.5f * kStep, -1},
      {1.5f * kStep, 2},
      {2.5f * kStep, 3},
      {-2.5f * kStep, -3},
      {std::nextafter(0.5f * kStep, 0.0f), 0},  // just below a half step
      {32766.5f * kStep, 32767},
      {-32767.5f * kStep, -32768},
      {kInf, 32767},
      {-kInf, -32768},
      {std::numeric_limits<float>::max(), 32767},
      {std::numeric_limits<float>::lowest(), -32768},
      {std::numeric_limits<float>::quiet_NaN(), 0},
      {-std::numeric_limits<float>::quiet_NaN(), 0},
      {fromBits(0x7F800001u), 0},  // signalling NaN
      {fromBits(0xFFFFFFFFu), 0},
      {-0.0f, 0},
      {std::numeric_limits<float>::denorm_min(), 0},
      {0.0f, 0},
  };
  // Every value at every lane position, so the vector lanes and the scalar
  // tail all see it.
  for (const auto& c : cases) {
    EXPECT_EQ(pcm16FromFloat(c.in), c.out) << c.in;
    for (std::size_t lane = 0; lane < 11; ++lane) {
      std::vector<float> in(11, 0.125f);
      in[lane] = c.in;
      for (const auto& conversion : kConversions) {
        std::vector<std::int16_t> out(11, 99);
        conversion.convert(in.data(), in.size(), out.data());
        ASSERT_EQ(out[lane], c.out) << conversion.name << " " << c.in << " lane " << lane;
        ASSERT_EQ(out[(lane + 1) % 11], 4096) << conversion.name;
      }
    }
  }
}

TEST(PcmConverterTest, ConverterTakesWholeSamplesOnlyInMachineOrder) {
  PcmConverter converter;
  unsigned char bytes[10];
  const float samples[2] = {0.5f, -1.0f};
  std::memcpy(bytes, samples, sizeof samples);
  bytes[8] = bytes[9] = 0x7F;  // a partial third sample, ignored
  const auto pcm = converter.convert(bytes, sizeof bytes);
  ASSERT_EQ(pcm.size(), 4u);
  // Little-endian: 16384 = 0x4000, -32768 = 0x8000.
  EXPECT_EQ(std::vector<std::uint8_t>(pcm.begin(), pcm.end()),
            (std::vector<std::uint8_t>{0x00, 0x40, 0x00, 0x80}));

  EXPECT_TRUE(converter.convert(bytes, 3).empty());
  EXPECT_TRUE(converter.convert(nullptr, 64).empty());
  EXPECT_TRUE(converter.convert(bytes, 0).empty());
}

TEST(PcmConverterTest, ConvertsUnalignedBuffersOfAnyLength) {
  std::vector<unsigned char> storage(4 * 40 + 1);
  for (std::size_t count = 1; count <= 40; ++count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = std::sin(0.37f * i) * 1.1f;
    std::memcpy(storage.data() + 1, samples.data(), count * sizeof(float));
    std::vector<std::int16_t> expected(count);
    for (std::size_t i = 0; i < count; ++i) expected[i] = pcm16FromFloat(samples[i]);

    PcmConverter converter;
    const auto pcm = converter.convert(storage.data() + 1, count * sizeof(float));
    ASSERT_EQ(pcm.size(), 2 * count);
    std::vector<std::int16_t> got(count);
    std::memcpy(got.data(), pcm.data(), pcm.size());
    EXPECT_EQ(got, expected) << count;
  }
}

// A dense sample of all 2^32 bit patterns (the exhaustive run is
// bench/pcm_exhaustive_check.sh): a stride through the whole space, and every
// pattern within a few units of the last place of each integer and each half
// step of the output range, where rounding and clamping decide.
TEST(PcmConverterTest, FastPathsMatchTheReferenceOnADenseSample) {
  std::vector<std::uint32_t> patterns;
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 1021) {
    patterns.push_back(static_cast<std::uint32_t>(bits));
  }
  for (int halfSteps = -65540; halfSteps <= 65540; ++halfSteps) {
    const std::uint32_t centre = std::bit_cast<std::uint32_t>(halfSteps / 65536.0f);
    for (std::uint32_t d = 0; d <= 4; ++d) {
      patterns.push_back(centre + d);
      patterns.push_back(centre - d);
    }
  }
  for (std::uint32_t special : {0x7F800000u, 0xFF800000u, 0x7F800001u, 0x7FC00000u, 0xFFC00001u,
                                0x7F7FFFFFu, 0x00000001u, 0x80000001u}) {
    patterns.push_back(special);
  }

  constexpr std::size_t kChunk = 4096;
  std::vector<float> in(kChunk);
  std::vector<std::int16_t> reference(kChunk), fast(kChunk), portable(kChunk);
  for (std::size_t start = 0; start < patterns.size(); start += kChunk) {
    const std::size_t n = std::min(kChunk, patterns.size() - start);
    for (std::size_t i = 0; i < n; ++i) in[i] = fromBits(patterns[start + i]);
    convertToPcm16Reference(in.data(), n, reference.data());
    convertToPcm16(in.data(), n, fast.data());
    convertToPcm16Portable(in.data(), n, portable.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(fast[i], reference[i]) << std::hex << "bits 0x" << patterns[start + i];
      ASSERT_EQ(portable[i], reference[i]) << std::hex << "bits 0x" << patterns[start + i];
    }
  }
}

}  // namespace
}  // namespace velmar
