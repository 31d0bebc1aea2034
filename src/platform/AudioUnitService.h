#pragma once

#include <variant>

#include "audiohal/HalTypes.h"

namespace velmar::platform {

using audiohal::AudioBufferList;
using audiohal::AudioStreamBasicDescription;
using audiohal::AudioTimeStamp;
using audiohal::OSStatus;
using audiohal::UInt32;

struct AudioComponentDescription {
  UInt32 componentType = 0;
  UInt32 componentSubType = 0;
  UInt32 componentManufacturer = 0;
  UInt32 componentFlags = 0;
  UInt32 componentFlagsMask = 0;
};

inline constexpr UInt32 kAudioUnitType_Output = audiohal::fourCharCode("auou");
inline constexpr UInt32 kAudioUnitSubType_HALOutput = audiohal::fourCharCode("ahal");
inline constexpr UInt32 kAudioUnitManufacturer_Apple = audiohal::fourCharCode("appl");

using AudioUnitPropertyID = UInt32;
using AudioUnitScope = UInt32;
using AudioUnitElement = UInt32;
using AudioUnitRenderActionFlags = UInt32;

inline constexpr AudioUnitScope kAudioUnitScope_Global = 0;
inline constexpr AudioUnitScope kAudioUnitScope_Input = 1;
inline constexpr AudioUnitScope kAudioUnitScope_Output = 2;

inline constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;
// The most frames one render cycle asks for (UInt32, global scope).
inline constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_SetRenderCallback = 23;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = 2003;
// The callback an input-only unit calls each cycle (its render callback is
// never called: it has no output to render).
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = 2005;

inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;

using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
  AURenderCallback inputProc = nullptr;
  void* inputProcRefCon = nullptr;
};

// Values of the unit properties used here: a 32-bit flag or device ID, a
// stream format, or a callback (input or render).
using AudioUnitPropertyValue =
    std::variant<UInt32, AudioStreamBasicDescription, AURenderCallbackStruct>;

struct OpaqueAudioComponent;
using AudioComponent = OpaqueAudioComponent*;
struct OpaqueAudioUnit;
using AudioUnit = OpaqueAudioUnit*;

// The hardware input unit (AUHAL) used for level metering: open it on a
// device, enable its input element (1), set the input callback, start it;
// the callback then runs on the unit's IO thread every cycle and pulls the
// cycle's input with render(), in the device's own channel layout.
class AudioUnitService {
 public:
  virtual ~AudioUnitService() = default;

  // Null when no component matches.
  virtual AudioComponent findNextComponent(AudioComponent after,
                                           const AudioComponentDescription& description) = 0;
  virtual OSStatus instanceNew(AudioComponent component, AudioUnit& outUnit) = 0;
  // Stops the unit first if it still runs.
  virtual OSStatus instanceDispose(AudioUnit unit) = 0;
  virtual OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID property, AudioUnitScope scope,
                               AudioUnitElement element, const AudioUnitPropertyValue& value) = 0;
  virtual OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID property, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitPropertyValue& outValue) = 0;
  virtual OSStatus initialize(AudioUnit unit) = 0;
  virtual OSStatus uninitialize(AudioUnit unit) = 0;
  virtual OSStatus outputUnitStart(AudioUnit unit) = 0;
  // Once it returns (off the unit's thread) the callback is not
  // running and is not called again.
  virtual OSStatus outputUnitStop(AudioUnit unit) = 0;
  // Fills each buffer of `ioData` (interleaved float32, room for `frames`
  // frames) with the cycle's input; a buffer whose mNumberChannels is not the
  // device's channel count is refused.
  virtual OSStatus render(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                          const AudioTimeStamp* timeStamp, UInt32 busNumber, UInt32 frames,
                          AudioBufferList* ioData) = 0;
};

}  // namespace velmar::platform
