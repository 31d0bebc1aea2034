#pragma once

// The vocabulary of the audio hardware layer: object IDs, statuses, property
// addresses, four-character codes and the value records the HAL hands out.
// Names follow the platform's own so that calling code reads like the
// platform's API and four-character codes can be compared with its docs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiohal/CATapDescription.h"

namespace velmar::audiohal {

using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using Float64 = double;
using OSStatus = std::int32_t;
using FourCharCode = std::uint32_t;

using AudioObjectID = UInt32;
using AudioObjectPropertySelector = UInt32;
using AudioObjectPropertyScope = UInt32;
using AudioObjectPropertyElement = UInt32;
using AudioClassID = UInt32;

// Four ASCII characters read big-endian: the first character lands in the
// most significant byte, so "bltn" is 0x626C746E.
constexpr FourCharCode fourCharCode(const char (&code)[5]) {
  return (static_cast<UInt32>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<UInt32>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<UInt32>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<UInt32>(static_cast<unsigned char>(code[3]));
}

// Runtime variant for codes that come from text (scenario files); nullopt
// unless the text is exactly four characters.
std::optional<FourCharCode> fourCharCodeFromString(std::string_view code);
// The code as its four characters (non-printable bytes as '?').
std::string fourCharCodeToString(FourCharCode code);

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector = 0;
  AudioObjectPropertyScope mScope = 0;
  AudioObjectPropertyElement mElement = 0;

  friend bool operator==(const AudioObjectPropertyAddress&,
                         const AudioObjectPropertyAddress&) = default;
};

// Objects.
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes and elements.
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = fourCharCode("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard =
    fourCharCode("****");

// Properties of every object.
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyClass = fourCharCode("clas");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");

// System object.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    fourCharCode("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslateUIDToDevice =
    fourCharCode("uidd");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList =
    fourCharCode("prs#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTapList = fourCharCode("tps#");

// Process objects.
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunning = fourCharCode("pir?");

// Tap objects.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyDescription = fourCharCode("tdsc");

// Devices.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceName = fourCharCode("name");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType =
    fourCharCode("tran");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyAvailableNominalSampleRates =
    fourCharCode("nsr#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate =
    fourCharCode("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSource = fourCharCode("csrc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration =
    fourCharCode("slay");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunningSomewhere =
    fourCharCode("gone");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
// UInt32: the frames of one IO cycle (the largest the device will deliver).
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize =
    fourCharCode("fsiz");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunning =
    fourCharCode("goin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive =
    fourCharCode("livn");

// Aggregate devices.
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyClockDevice =
    fourCharCode("apcd");
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyMainSubDevice =
    fourCharCode("amst");
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyComposition =
    fourCharCode("acom");
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyFullSubDeviceList =
    fourCharCode("grup");
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyTapList =
    fourCharCode("tap#");

// Streams.
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat =
    fourCharCode("sfmt");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyDirection = fourCharCode("sdir");

// Classes.
inline constexpr AudioClassID kAudioSystemObjectClassID = fourCharCode("asys");
inline constexpr AudioClassID kAudioDeviceClassID = fourCharCode("adev");
inline constexpr AudioClassID kAudioAggregateDeviceClassID = fourCharCode("aagg");
inline constexpr AudioClassID kAudioStreamClassID = fourCharCode("astr");
inline constexpr AudioClassID kAudioProcessClassID = fourCharCode("clnt");
inline constexpr AudioClassID kAudioTapClassID = fourCharCode("tcls");

// Transport types.
inline constexpr UInt32 kAudioDeviceTransportTypeUnknown = 0;
inline constexpr UInt32 kAudioDeviceTransportTypeBuiltIn = fourCharCode("bltn");
inline constexpr UInt32 kAudioDeviceTransportTypeAggregate = fourCharCode("grup");
inline constexpr UInt32 kAudioDeviceTransportTypeVirtual = fourCharCode("virt");
inline constexpr UInt32 kAudioDeviceTransportTypePCI = fourCharCode("pci ");
inline constexpr UInt32 kAudioDeviceTransportTypeUSB = fourCharCode("usb ");
inline constexpr UInt32 kAudioDeviceTransportTypeFireWire = fourCharCode("1394");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetooth = fourCharCode("blue");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetoothLE = fourCharCode("blea");
inline constexpr UInt32 kAudioDeviceTransportTypeHDMI = fourCharCode("hdmi");
inline constexpr UInt32 kAudioDeviceTransportTypeDisplayPort = fourCharCode("dprt");
inline constexpr UInt32 kAudioDeviceTransportTypeAirPlay = fourCharCode("airp");
inline constexpr UInt32 kAudioDeviceTransportTypeAVB = fourCharCode("eavb");
inline constexpr UInt32 kAudioDeviceTransportTypeThunderbolt = fourCharCode("thun");

// Statuses.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError =
    static_cast<OSStatus>(fourCharCode("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError =
    static_cast<OSStatus>(fourCharCode("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(fourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(fourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError =
    static_cast<OSStatus>(fourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError =
    static_cast<OSStatus>(fourCharCode("!dev"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(fourCharCode("unop"));

// Stream formats.
inline constexpr UInt32 kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr UInt32 kAudioFormatFlagIsFloat = 1U << 0;
inline constexpr UInt32 kAudioFormatFlagIsPacked = 1U << 3;

// The 40-byte stream format record.
struct AudioStreamBasicDescription {
  Float64 mSampleRate = 0;
  UInt32 mFormatID = 0;
  UInt32 mFormatFlags = 0;
  UInt32 mBytesPerPacket = 0;
  UInt32 mFramesPerPacket = 0;
  UInt32 mBytesPerFrame = 0;
  UInt32 mChannelsPerFrame = 0;
  UInt32 mBitsPerChannel = 0;
  UInt32 mReserved = 0;

  friend bool operator==(const AudioStreamBasicDescription&,
                         const AudioStreamBasicDescription&) = default;
};

// Packed interleaved 32-bit float at the given rate and channel count, the
// format every simulated stream uses.
AudioStreamBasicDescription makeFloatFormat(Float64 sampleRate, UInt32 channels);

// One buffer: interleaved samples of mNumberChannels channels. mData is null
// in layouts (the stream configuration property) and points at samples in IO.
struct AudioBuffer {
  UInt32 mNumberChannels = 0;
  UInt32 mDataByteSize = 0;
  void* mData = nullptr;
};

// A list of buffers; the HAL's byte size of a list is 8 + 16 per buffer.
struct AudioBufferList {
  std::vector<AudioBuffer> mBuffers;

  UInt32 numberBuffers() const { return static_cast<UInt32>(mBuffers.size()); }
};

struct AudioValueRange {
  Float64 mMinimum = 0;
  Float64 mMaximum = 0;

  friend bool operator==(const AudioValueRange&, const AudioValueRange&) = default;
};

struct AudioTimeStamp {
  Float64 mSampleTime = 0;
  UInt64 mHostTime = 0;  // nanoseconds of the steady clock
  Float64 mRateScalar = 1.0;
};

// A property value. References (CFString, CFArray, CFDictionary, tap
// descriptions) are typed here but sized like the 8-byte references they are
// on the platform; lists are sized per element, so "count = size / element
// size" holds for ID lists (4) and value ranges (16).
//   std::monostate               a null reference (e.g. no clock device set)
//   UInt32 / SInt32 / Float64    scalars, object IDs, class IDs, flags
//   std::string                  CFString
//   std::vector<AudioObjectID>   object ID lists
//   std::vector<std::string>     CFArray of CFString
//   nlohmann::json               CFDictionary
using PropertyValue =
    std::variant<std::monostate, UInt32, SInt32, Float64, std::string, std::vector<AudioObjectID>,
                 std::vector<std::string>, AudioStreamBasicDescription, AudioBufferList,
                 std::vector<AudioValueRange>, nlohmann::json, CATapDescription>;

// The HAL's byte size of a value (see PropertyValue).
UInt32 propertyDataSize(const PropertyValue& value);

}  // namespace velmar::audiohal
