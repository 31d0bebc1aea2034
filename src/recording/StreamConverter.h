#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct soxr;

namespace velmar {

// One captured stream's 16-bit interleaved PCM brought to another rate and
// channel count. Channels are mixed before resampling when there are fewer
// out than in (so fewer are resampled) and repeated after it when there are
// more: output channel j is the average of the input channels i with
// i % out == j, or input channel j % in. Rates are changed by libsoxr (high
// quality, no dither, so silence stays silence); equal rates pass through.
//
// Not real-time safe: it allocates and is meant for the conversion worker.
//
//   StreamConverter converter;
//   converter.configure(48000, 2, 16000, 1);
//   auto out = converter.convert(pcm, frames);   // interleaved, at 16 kHz mono
//   auto tail = converter.drain();                // what the filter still holds
class StreamConverter {
 public:
  StreamConverter() = default;
  ~StreamConverter();
  StreamConverter(const StreamConverter&) = delete;
  StreamConverter& operator=(const StreamConverter&) = delete;

  // False when libsoxr refuses the rates (the converter then passes nothing).
  bool configure(double inRate, std::uint32_t inChannels, double outRate,
                 std::uint32_t outChannels);
  bool configuredFor(double inRate, std::uint32_t inChannels, double outRate,
                     std::uint32_t outChannels) const;

  // `frames` frames of `inChannels` interleaved samples; the result holds
  // whole output frames and stays valid until the next call.
  std::span<const std::int16_t> convert(const std::int16_t* pcm, std::size_t frames);
  // Ends the input: returns what the resampler still holds, then starts
  // afresh (same rates) for audio that does not continue this one.
  std::span<const std::int16_t> drain();

  std::uint32_t outChannels() const { return outChannels_; }

 private:
  void release();
  std::span<const std::int16_t> resample(const std::int16_t* pcm, std::size_t frames, bool last);
  std::span<const std::int16_t> widen(std::span<const std::int16_t> pcm);

  soxr* resampler_ = nullptr;
  double inRate_ = 0;
  double outRate_ = 0;
  std::uint32_t inChannels_ = 0;
  std::uint32_t outChannels_ = 0;
  std::uint32_t resampledChannels_ = 0;  // the fewer of the two
  bool usable_ = false;
  std::vector<std::int16_t> mixed_;
  std::vector<std::int16_t> resampled_;
  std::vector<std::int16_t> out_;
};

// Output channel j of `out` from `in` by the rule above (also used with
// equal counts, as a copy).
void mixChannels(const std::int16_t* in, std::size_t frames, std::uint32_t inChannels,
                 std::int16_t* out, std::uint32_t outChannels);

}  // namespace velmar
