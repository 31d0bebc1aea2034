#pragma once

// Conversions between Apple's HAL values and the project's PropertyValue.
// Objective-C++ only: included by the backend's .mm files.

#include <CoreAudio/AudioHardwareTapping.h>
#include <CoreAudio/CATapDescription.h>
#include <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "audiohal/CATapDescription.h"
#include "audiohal/HalTypes.h"

namespace velmar::mac {

// What the HAL's untyped bytes hold for a selector. The HAL does not say;
// Apple documents it per property, and this table is that documentation.
enum class ValueKind {
  kUnknown,         // not converted: the backend answers 'who?'
  kUInt32,          // UInt32 (also object IDs and class IDs)
  kSInt32,          // SInt32 (pid_t)
  kFloat64,         // Float64
  kObjectIDList,    // AudioObjectID[]
  kString,          // CFStringRef, released here; NULL is a null reference
  kCString,         // char[] ('name')
  kStringArray,     // CFArrayRef of CFStringRef, released here
  kDictionary,      // CFDictionaryRef, released here
  kStreamFormat,    // AudioStreamBasicDescription
  kValueRanges,     // AudioValueRange[]
  kBufferList,      // AudioBufferList of variable length
  kTapDescription,  // CATapDescription*, released here
};

ValueKind valueKindOf(::AudioObjectPropertySelector selector);

// The project's byte size of a value of this kind when the HAL says `appleSize`:
// references count 8 bytes whatever they hold, everything else is the HAL's size.
::UInt32 projectDataSize(ValueKind kind, ::UInt32 appleSize);

NSString* toNSString(const std::string& text);
std::string fromNSString(NSString* text);

// JSON to Foundation objects (object → NSDictionary, array → NSArray, string →
// NSString, boolean and numbers → NSNumber, null → NSNull) and back. Booleans
// come back as booleans only when the HAL made them CFBooleans.
id toFoundation(const nlohmann::json& value);
nlohmann::json fromFoundation(id object);

// An aggregate's composition as the managers read it: the flags the HAL may
// hand back as CFNumber 0/1 ("private", "stacked", "tapautostart") become
// booleans.
void normaliseCompositionFlags(nlohmann::json& composition);

// A creation dictionary as Apple documents it: sub-devices and taps given as
// bare UIDs become dictionaries with their "uid".
nlohmann::json normaliseAggregateDescription(const nlohmann::json& description);

::AudioStreamBasicDescription toApple(const audiohal::AudioStreamBasicDescription& format);
audiohal::AudioStreamBasicDescription fromApple(const ::AudioStreamBasicDescription& format);

// Nil when the description cannot be expressed (a "uuid" that is not a UUID).
::CATapDescription* toApple(const audiohal::CATapDescription& description);
audiohal::CATapDescription fromApple(::CATapDescription* description);

audiohal::AudioObjectPropertyAddress fromApple(const ::AudioObjectPropertyAddress& address);
::AudioObjectPropertyAddress toApple(const audiohal::AudioObjectPropertyAddress& address);

}  // namespace velmar::mac
