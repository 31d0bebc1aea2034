#include "recording/StreamConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace velmar {

void mixChannels(const std::int16_t* in, std::size_t frames, std::uint32_t inChannels,
                 std::int16_t* out, std::uint32_t outChannels) {
  if (outChannels >= inChannels) {
    for (std::size_t f = 0; f < frames; ++f) {
      for (std::uint32_t j = 0; j < outChannels; ++j) {
        out[f * outChannels + j] = in[f * inChannels + j % inChannels];
      }
    }
    return;
  }
  if (inChannels == 2 && outChannels == 1) {
    // The common case (stereo to mono for speech), in a loop compilers
    // vectorise.
    for (std::size_t f = 0; f < frames; ++f) {
      const std::int32_t sum = in[2 * f] + in[2 * f + 1];
      out[f] = static_cast<std::int16_t>((sum + (sum >= 0 ? 1 : -1)) / 2);
    }
    return;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::uint32_t j = 0; j < outChannels; ++j) {
      std::int32_t sum = 0;
      std::int32_t count = 0;
      for (std::uint32_t i = j; i < inChannels; i += outChannels) {
        sum += in[f * inChannels + i];
        ++count;
      }
      // Nearest, halves away from zero: a plain average of equal channels
      // gives the channel back.
      const std::int32_t half = count / 2;
      out[f * outChannels + j] =
          static_cast<std::int16_t>((sum >= 0 ? sum + half : sum - half) / count);
    }
  }
}

StreamConverter::~StreamConverter() { release(); }

void StreamConverter::release() {
  if (resampler_ != nullptr) soxr_delete(resampler_);
  resampler_ = nullptr;
}

bool StreamConverter::configuredFor(double inRate, std::uint32_t inChannels, double outRate,
                                    std::uint32_t outChannels) const {
  return usable_ && inRate == inRate_ && inChannels == inChannels_ && outRate == outRate_ &&
         outChannels == outChannels_;
}

bool StreamConverter::configure(double inRate, std::uint32_t inChannels, double outRate,
                                std::uint32_t outChannels) {
  release();
  inRate_ = inRate;
  outRate_ = outRate;
  inChannels_ = std::max<std::uint32_t>(inChannels, 1);
  outChannels_ = std::max<std::uint32_t>(outChannels, 1);
  resampledChannels_ = std::min(inChannels_, outChannels_);
  usable_ = std::isfinite(inRate) && std::isfinite(outRate) && inRate > 0 && outRate > 0;
  if (!usable_ || inRate == outRate) return usable_;
  soxr_io_spec_t ioSpec = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  ioSpec.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // no threads of its own
  soxr_error_t error = nullptr;
  resampler_ =
      soxr_create(inRate, outRate, resampledChannels_, &error, &ioSpec, &quality, &runtime);
  if (error != nullptr || resampler_ == nullptr) {
    release();
    usable_ = false;
  }
  return usable_;
}

std::span<const std::int16_t> StreamConverter::resample(const std::int16_t* pcm, std::size_t frames,
                                                        bool last) {
  const std::size_t channels = resampledChannels_;
  resampled_.clear();
  if (resampler_ == nullptr) {
    resampled_.assign(pcm, pcm + frames * channels);
    return resampled_;
  }
  // Room for what this input makes plus what the filter held back; more
  // rounds if the resampler still has output.
  const auto room =
      static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * outRate_ / inRate_)) + 256;
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t at = resampled_.size();
    resampled_.resize(at + room * channels);
    std::size_t used = 0;
    std::size_t made = 0;
    const std::int16_t* input = last ? nullptr : pcm + consumed * channels;
    soxr_process(resampler_, input, last ? 0 : frames - consumed, &used, resampled_.data() + at,
                 room, &made);
    resampled_.resize(at + made * channels);
    consumed += used;
    const bool inputDone = last || consumed >= frames;
    if (inputDone && made < room) break;
    if (used == 0 && made == 0) break;
  }
  return resampled_;
}

std::span<const std::int16_t> StreamConverter::widen(std::span<const std::int16_t> pcm) {
  if (outChannels_ == resampledChannels_) return pcm;
  const std::size_t frames = pcm.size() / resampledChannels_;
  out_.resize(frames * outChannels_);
  mixChannels(pcm.data(), frames, resampledChannels_, out_.data(), outChannels_);
  return out_;
}

std::span<const std::int16_t> StreamConverter::convert(const std::int16_t* pcm,
                                                       std::size_t frames) {
  if (!usable_ || frames == 0) return {};
  const std::int16_t* source = pcm;
  if (outChannels_ < inChannels_) {
    mixed_.resize(frames * outChannels_);
    mixChannels(pcm, frames, inChannels_, mixed_.data(), outChannels_);
    source = mixed_.data();
  }
  return widen(resample(source, frames, false));
}

std::span<const std::int16_t> StreamConverter::drain() {
  if (resampler_ == nullptr) return {};
  const auto tail = widen(resample(nullptr, 0, true));
  soxr_clear(resampler_);
  return tail;
}

}  // namespace velmar
