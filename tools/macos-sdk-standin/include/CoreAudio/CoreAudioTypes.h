// Stand-in: the CoreAudioTypes records and constants the Mac backend uses.
#pragma once

#include <MacTypes.h>

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* mData;
};
typedef struct AudioBuffer AudioBuffer;

struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];  // variable length
};
typedef struct AudioBufferList AudioBufferList;

struct AudioValueRange {
  Float64 mMinimum;
  Float64 mMaximum;
};
typedef struct AudioValueRange AudioValueRange;

typedef UInt32 SMPTETimeType;
typedef UInt32 SMPTETimeFlags;
struct SMPTETime {
  SInt16 mSubframes;
  SInt16 mSubframeDivisor;
  UInt32 mCounter;
  SMPTETimeType mType;
  SMPTETimeFlags mFlags;
  SInt16 mHours;
  SInt16 mMinutes;
  SInt16 mSeconds;
  SInt16 mFrames;
};
typedef struct SMPTETime SMPTETime;

typedef UInt32 AudioTimeStampFlags;
enum : UInt32 {
  kAudioTimeStampNothingValid = 0,
  kAudioTimeStampSampleTimeValid = (1U << 0),
  kAudioTimeStampHostTimeValid = (1U << 1),
  kAudioTimeStampRateScalarValid = (1U << 2),
};

struct AudioTimeStamp {
  Float64 mSampleTime;
  UInt64 mHostTime;
  Float64 mRateScalar;
  UInt64 mWordClockTime;
  SMPTETime mSMPTETime;
  AudioTimeStampFlags mFlags;
  UInt32 mReserved;
};
typedef struct AudioTimeStamp AudioTimeStamp;
