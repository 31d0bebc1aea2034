#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmar {

// Captured 32-bit float samples to 16-bit signed PCM, on the IO thread.
//
// Each sample s becomes round(s × 32768), computed in single precision,
// rounded to nearest with halves away from zero, then clamped to
// [-32768, 32767]: 1.0 gives 32767, -1.0 gives -32768, ±∞ saturate, and a NaN
// sample becomes 0 (silence rather than a full-scale click).
//
//   PcmConverter converter;  // reserves, so no later allocation
//   auto pcm = converter.convert(buffer.mData, buffer.mDataByteSize);
//   // pcm: little-endian int16 bytes, 2 per whole input sample, valid until
//   // the next convert(); a 10-byte buffer gives 2 samples (4 bytes).
//
// pcm16FromFloat() is the reference for one sample; over arrays,
// convertToPcm16() is the fast path (SSE2 where available) and
// convertToPcm16Portable() the branch-free scalar path for processors without
// SSE2. All give the same result for every float bit pattern.
class PcmConverter {
 public:
  // Room for a buffer of this many samples without allocating; larger buffers
  // grow the storage once (reserve() first to keep that off a real-time
  // thread).
  static constexpr std::size_t kReservedSamples = 8192;

  PcmConverter();

  // Room for buffers of up to `samples` samples without allocating.
  void reserve(std::size_t samples) { pcm_.reserve(samples); }
  std::size_t capacity() const { return pcm_.capacity(); }

  // Converts the whole samples of `byteSize` bytes of float samples (any
  // alignment). Returns the PCM bytes; empty for a null pointer or fewer than
  // four bytes.
  std::span<const std::uint8_t> convert(const void* samples, std::size_t byteSize);

 private:
  std::vector<std::int16_t> pcm_;
};

// Number of whole float32 samples in `byteSize` bytes; trailing bytes that do
// not make a sample are ignored.
constexpr std::size_t wholeSampleCount(std::size_t byteSize) { return byteSize / sizeof(float); }

// The reference conversion of one sample, written as the rule reads.
inline std::int16_t pcm16FromFloat(float sample) {
  if (std::isnan(sample)) return 0;
  const float scaled = sample * 32768.0f;
  const float rounded = std::round(scaled);  // halves away from zero
  if (rounded > 32767.0f) return 32767;
  if (rounded < -32768.0f) return -32768;
  return static_cast<std::int16_t>(rounded);
}

// Reference over an array (one sample at a time).
void convertToPcm16Reference(const float* in, std::size_t count, std::int16_t* out);

// Fast path: SSE2 eight samples at a time, the portable path elsewhere.
void convertToPcm16(const float* in, std::size_t count, std::int16_t* out);

// Branch-free scalar path that compilers can vectorise.
void convertToPcm16Portable(const float* in, std::size_t count, std::int16_t* out);

}  // namespace velmar
