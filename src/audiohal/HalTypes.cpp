#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

namespace {

// Size of a reference (CFStringRef, CFArrayRef, ...) on the platform.
constexpr UInt32 kReferenceSize = 8;

}  // namespace

std::optional<FourCharCode> fourCharCodeFromString(std::string_view code) {
  if (code.size() != 4) return std::nullopt;
  FourCharCode value = 0;
  for (char c : code) value = (value << 8) | static_cast<unsigned char>(c);
  return value;
}

std::string fourCharCodeToString(FourCharCode code) {
  std::string text(4, '?');
  for (int i = 0; i < 4; ++i) {
    auto c = static_cast<unsigned char>((code >> (24 - 8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) text[i] = static_cast<char>(c);
  }
  return text;
}

AudioStreamBasicDescription makeFloatFormat(Float64 sampleRate, UInt32 channels) {
  AudioStreamBasicDescription format;
  format.mSampleRate = sampleRate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  format.mBytesPerFrame = 4 * channels;
  format.mBytesPerPacket = 4 * channels;
  format.mFramesPerPacket = 1;
  format.mChannelsPerFrame = channels;
  format.mBitsPerChannel = 32;
  return format;
}

UInt32 propertyDataSize(const PropertyValue& value) {
  struct Sizer {
    UInt32 operator()(const std::monostate&) const { return kReferenceSize; }
    UInt32 operator()(UInt32) const { return 4; }
    UInt32 operator()(SInt32) const { return 4; }
    UInt32 operator()(Float64) const { return 8; }
    UInt32 operator()(const std::string&) const { return kReferenceSize; }
    UInt32 operator()(const std::vector<AudioObjectID>& ids) const {
      return static_cast<UInt32>(4 * ids.size());
    }
    UInt32 operator()(const std::vector<std::string>&) const { return kReferenceSize; }
    UInt32 operator()(const AudioStreamBasicDescription&) const { return 40; }
    UInt32 operator()(const AudioBufferList& list) const {
      return static_cast<UInt32>(8 + 16 * list.mBuffers.size());
    }
    UInt32 operator()(const std::vector<AudioValueRange>& ranges) const {
      return static_cast<UInt32>(16 * ranges.size());
    }
    UInt32 operator()(const nlohmann::json&) const { return kReferenceSize; }
    UInt32 operator()(const CATapDescription&) const { return kReferenceSize; }
  };
  return std::visit(Sizer{}, value);
}

}  // namespace velmar::audiohal
