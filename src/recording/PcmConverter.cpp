#include "recording/PcmConverter.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VELMAR_PCM_SSE2 1
#endif

namespace velmar {

namespace {

// Samples are read bytewise so that a buffer at any address is fine.
inline float loadSample(const float* in, std::size_t i) {
  float sample;
  std::memcpy(&sample, reinterpret_cast<const unsigned char*>(in) + i * sizeof(float),
              sizeof sample);
  return sample;
}

// Clamping before rounding gives the same result as rounding first (every
// value beyond the limits rounds to or past them), and keeps the value in
// the range where truncation to int32 is defined and the fraction x - trunc(x)
// is exact. Rounding is then trunc(x) moved one step outwards when the
// fraction's magnitude is at least one half.
inline std::int16_t pcm16Branchless(float sample) {
  float x = sample * 32768.0f;
  x = (x == x) ? x : 0.0f;  // NaN
  x = std::min(std::max(x, -32768.0f), 32767.0f);
  auto whole = static_cast<std::int32_t>(x);
  const float fraction = x - static_cast<float>(whole);
  whole +=
      static_cast<std::int32_t>(fraction >= 0.5f) - static_cast<std::int32_t>(fraction <= -0.5f);
  return static_cast<std::int16_t>(whole);
}

#if defined(VELMAR_PCM_SSE2)
// Four samples. NaN is masked to +0 and only the upper limit is applied in
// float: below -2^31 truncation yields INT32_MIN, and the saturating pack
// turns every value under -32768 into -32768. Rounding adds the largest float
// below one half, signed like x, and truncates: a value just under a half
// step stays below the next integer, an exact half step reaches it (the sum
// rounds up to it), which is halves away from zero for every float in the
// default round-to-nearest mode.
inline __m128i pcm32x4(__m128 samples) {
  const __m128 x0 = _mm_mul_ps(samples, _mm_set1_ps(32768.0f));
  const __m128 x1 = _mm_and_ps(x0, _mm_cmpord_ps(x0, x0));
  const __m128 x = _mm_min_ps(x1, _mm_set1_ps(32767.0f));
  const __m128 sign = _mm_and_ps(x, _mm_set1_ps(-0.0f));
  const __m128 half = _mm_or_ps(sign, _mm_set1_ps(0x1.fffffep-2f));
  return _mm_cvttps_epi32(_mm_add_ps(x, half));
}
#endif

}  // namespace

PcmConverter::PcmConverter() { pcm_.reserve(kReservedSamples); }

std::span<const std::uint8_t> PcmConverter::convert(const void* samples, std::size_t byteSize) {
  const std::size_t count = samples ? wholeSampleCount(byteSize) : 0;
  // resize() only allocates when a buffer is larger than any before it.
  if (pcm_.size() < count) pcm_.resize(count);
  convertToPcm16(static_cast<const float*>(samples), count, pcm_.data());
  return {reinterpret_cast<const std::uint8_t*>(pcm_.data()), count * sizeof(std::int16_t)};
}

void convertToPcm16Reference(const float* in, std::size_t count, std::int16_t* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = pcm16FromFloat(loadSample(in, i));
}

void convertToPcm16Portable(const float* in, std::size_t count, std::int16_t* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = pcm16Branchless(loadSample(in, i));
}

void convertToPcm16(const float* in, std::size_t count, std::int16_t* out) {
#if defined(VELMAR_PCM_SSE2)
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i low = pcm32x4(_mm_loadu_ps(in + i));
    const __m128i high = pcm32x4(_mm_loadu_ps(in + i + 4));
    // The saturating pack also clamps at -32768.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(low, high));
  }
  convertToPcm16Portable(in + i, count - i, out + i);
#else
  convertToPcm16Portable(in, count, out);
#endif
}

}  // namespace velmar
