// Stand-in: the AudioToolbox (AUHAL) declarations the Mac backend uses.
#pragma once

#include <CoreAudio/CoreAudioTypes.h>

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct ComponentInstanceRecord* AudioComponentInstance;
typedef AudioComponentInstance AudioUnit;

struct AudioComponentDescription {
  OSType componentType;
  OSType componentSubType;
  OSType componentManufacturer;
  UInt32 componentFlags;
  UInt32 componentFlagsMask;
};
typedef struct AudioComponentDescription AudioComponentDescription;

typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;

typedef OSStatus (*AURenderCallback)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                     UInt32 inNumberFrames, AudioBufferList* ioData);
struct AURenderCallbackStruct {
  AURenderCallback inputProc;
  void* inputProcRefCon;
};
typedef struct AURenderCallbackStruct AURenderCallbackStruct;

enum : AudioUnitPropertyID {
  kAudioUnitProperty_StreamFormat = 8,
  kAudioUnitProperty_MaximumFramesPerSlice = 14,
  kAudioUnitProperty_SetRenderCallback = 23,
  kAudioOutputUnitProperty_CurrentDevice = 2000,
  kAudioOutputUnitProperty_EnableIO = 2003,
  kAudioOutputUnitProperty_SetInputCallback = 2005,
};

extern "C" {
AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc);
OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);
OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize);
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize);
OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioUnitUninitialize(AudioUnit inUnit);
OSStatus AudioOutputUnitStart(AudioUnit ci);
OSStatus AudioOutputUnitStop(AudioUnit ci);
OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList* ioData);
}
