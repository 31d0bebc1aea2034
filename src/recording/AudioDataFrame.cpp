#include "recording/AudioDataFrame.h"

#include <vector>

#include "protocol/Base64.h"
#include "protocol/Timestamps.h"

namespace velmar {

AudioDataFrame::AudioDataFrame() {
  reserve(kReservedPcmBytes);
  // One frame of the reserved size sizes every buffer up front.
  const std::vector<std::uint8_t> silence(kReservedPcmBytes);
  build({.pcm = silence, .format = "pcm16", .streamIndex = 0, .actualChannels = 0}, 0.0);
}

namespace {
// Everything of an "audioData" frame but the Base64 text: the keys, the
// numbers at their longest, a format name of reasonable length.
constexpr std::size_t kFrameOverheadBytes = 512;
}  // namespace

std::size_t AudioDataFrame::frameBytesFor(std::size_t pcmBytes) {
  return base64::encodedSize(pcmBytes) + kFrameOverheadBytes;
}

void AudioDataFrame::reserve(std::size_t pcmBytes) {
  base64_.reserve(base64::encodedSize(pcmBytes));
  builder_.reserve(frameBytesFor(pcmBytes));
}

const FrameBuilder& AudioDataFrame::build(const AudioDataFields& fields) {
  return build(fields, nowSeconds());
}

const FrameBuilder& AudioDataFrame::build(const AudioDataFields& fields, double nowSeconds) {
  const std::size_t encoded = base64::encodedSize(fields.pcm.size());
  if (base64_.size() < encoded) base64_.resize(encoded);
  base64::encode(fields.pcm.data(), fields.pcm.size(), base64_.data());

  FrameBuilder& f = builder_;
  f.beginEvent("audioData", static_cast<std::int64_t>(nowSeconds * 1000.0));
  // Keys in the generic writer's (sorted) order, so the data bytes match it.
  f.plainKey("actualChannels");
  if (fields.actualChannels) {
    f.value(*fields.actualChannels);
  } else {
    f.nullValue();
  }
  f.plainKey("buffer");
  f.plainStringValue(std::string_view(base64_.data(), encoded));
  f.plainKey("bufferSize");
  f.value(static_cast<std::uint64_t>(fields.pcm.size()));
  f.plainKey("channels");
  f.value(fields.channels);
  f.plainKey("format");
  f.value(fields.format);
  if (fields.timeline) {
    f.plainKey("frames");
    f.value(fields.timeline->frames);
    f.plainKey("hostTime");
    f.value(fields.timeline->hostTime);
  }
  f.plainKey("sampleRate");
  f.value(fields.sampleRate);
  if (fields.timeline) {
    f.plainKey("sequence");
    f.value(fields.timeline->sequence);
  }
  f.plainKey("streamIndex");
  if (fields.streamIndex) {
    f.value(static_cast<std::uint64_t>(*fields.streamIndex));
  } else {
    f.nullValue();
  }
  f.plainKey("timestamp");
  f.value(nowSeconds);
  f.finishEvent();
  return f;
}

}  // namespace velmar
