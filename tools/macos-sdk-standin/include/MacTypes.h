// Stand-in: base types of the macOS SDK (MacTypes.h), LP64.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef unsigned char UInt8;
typedef signed short SInt16;
typedef unsigned short UInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;
typedef double Float64;
typedef float Float32;
typedef SInt32 OSStatus;
typedef unsigned char Boolean;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
