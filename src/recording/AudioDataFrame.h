#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/FrameBuilder.h"

namespace velmar {

// What one "audioData" event says about one captured buffer.
struct AudioDataFields {
  std::span<const std::uint8_t> pcm;  // 16-bit PCM bytes; written as Base64 in `buffer`
  std::string_view format;            // the streaming format, echoed
  double sampleRate = 0;              // actual rate, or the configured one as a double
  std::int64_t channels = 0;          // actual count, or the configured one
  std::optional<std::uint32_t> streamIndex;
  std::optional<std::int64_t> actualChannels;
  // With the timeline on: the buffer's number in its stream, its IO cycle's
  // time in seconds, and its audio frames.
  struct Timeline {
    std::uint64_t sequence = 0;
    double hostTime = 0;
    std::uint64_t frames = 0;
  };
  std::optional<Timeline> timeline = std::nullopt;
};

// Builds the "audioData" EVENT frame by hand into buffers it keeps, so after
// the first frame of a given size nothing is allocated (the constructor
// already makes room for 16 KB of PCM, reserve() for more). The data object has exactly the eight
// keys `actualChannels`, `buffer`, `bufferSize`, `channels`, `format`,
// `sampleRate`, `streamIndex`, `timestamp` (and, with a timeline, `frames`,
// `hostTime` and `sequence`), and the bytes are those the
// generic JSON writer produces for the same data. Not thread-safe: one per
// producing thread (the IO thread owns one).
//
//   AudioDataFrame frame;
//   const FrameBuilder& built = frame.build({.pcm = pcm, .format = "pcm16",
//       .sampleRate = 48000.0, .channels = 2, .streamIndex = 0, .actualChannels = 2});
//   emitter.emitBuiltEvent(built);  // or copy built.frame() into a queue
class AudioDataFrame {
 public:
  static constexpr std::size_t kReservedPcmBytes = 16384;

  AudioDataFrame();

  // One clock read gives both times: the frame's integer milliseconds
  // (seconds × 1000, truncated) and the data's floating-point seconds.
  const FrameBuilder& build(const AudioDataFields& fields, double nowSeconds);
  const FrameBuilder& build(const AudioDataFields& fields);  // reads the wall clock

  const FrameBuilder& frame() const { return builder_; }

  // Room for buffers of up to `pcmBytes` without allocating; call it before
  // the producing thread runs. Memory is reserved, not touched.
  void reserve(std::size_t pcmBytes);
  // The largest frame a buffer of `pcmBytes` makes.
  static std::size_t frameBytesFor(std::size_t pcmBytes);

 private:
  FrameBuilder builder_;
  std::string base64_;  // only ever grows
};

}  // namespace velmar
