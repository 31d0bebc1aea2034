// Pins every SDK function the backend calls to the signature Apple
// documents. Compiled by the Mac build against the real SDK and by
// `make check-macos` against tools/macos-sdk-standin, so the stand-in and the
// SDK cannot drift apart silently: a difference fails one of the two.
// It holds no code.

#include <AVFoundation/AVFoundation.h>
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/AudioHardwareTapping.h>
#include <CoreAudio/CATapDescription.h>
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>
#include <dlfcn.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <sys/sysctl.h>

#include <cstddef>
#include <string_view>
#include <type_traits>

namespace velmar::mac::pins {

template <typename Declared, typename Expected>
constexpr bool kSame = std::is_same_v<Declared, Expected>;

// The HAL (CoreAudio/AudioHardware.h, AudioHardwareTapping.h).
static_assert(kSame<decltype(&::AudioObjectGetPropertyDataSize),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*, ::UInt32,
                                   const void*, ::UInt32*)>);
static_assert(kSame<decltype(&::AudioObjectGetPropertyData),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*, ::UInt32,
                                   const void*, ::UInt32*, void*)>);
static_assert(kSame<decltype(&::AudioObjectSetPropertyData),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*, ::UInt32,
                                   const void*, ::UInt32, const void*)>);
static_assert(kSame<decltype(&::AudioObjectHasProperty),
                    ::Boolean (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*)>);
static_assert(
    kSame<decltype(&::AudioObjectIsPropertySettable),
          ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*, ::Boolean*)>);
static_assert(
    kSame<::AudioObjectPropertyListenerProc,
          ::OSStatus (*)(::AudioObjectID, ::UInt32, const ::AudioObjectPropertyAddress*, void*)>);
static_assert(kSame<decltype(&::AudioObjectAddPropertyListener),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*,
                                   ::AudioObjectPropertyListenerProc, void*)>);
static_assert(kSame<decltype(&::AudioObjectRemovePropertyListener),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*,
                                   ::AudioObjectPropertyListenerProc, void*)>);
static_assert(kSame<::AudioObjectPropertyListenerBlock,
                    void (^)(::UInt32, const ::AudioObjectPropertyAddress*)>);
static_assert(kSame<decltype(&::AudioObjectAddPropertyListenerBlock),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*,
                                   ::dispatch_queue_t, ::AudioObjectPropertyListenerBlock)>);
static_assert(kSame<decltype(&::AudioObjectRemovePropertyListenerBlock),
                    ::OSStatus (*)(::AudioObjectID, const ::AudioObjectPropertyAddress*,
                                   ::dispatch_queue_t, ::AudioObjectPropertyListenerBlock)>);
static_assert(kSame<decltype(&::AudioHardwareCreateProcessTap),
                    ::OSStatus (*)(::CATapDescription*, ::AudioObjectID*)>);
static_assert(kSame<decltype(&::AudioHardwareDestroyProcessTap), ::OSStatus (*)(::AudioObjectID)>);
static_assert(kSame<decltype(&::AudioHardwareCreateAggregateDevice),
                    ::OSStatus (*)(::CFDictionaryRef, ::AudioObjectID*)>);
static_assert(
    kSame<decltype(&::AudioHardwareDestroyAggregateDevice), ::OSStatus (*)(::AudioObjectID)>);
static_assert(
    kSame<::AudioDeviceIOProc, ::OSStatus (*)(::AudioObjectID, const ::AudioTimeStamp*,
                                              const ::AudioBufferList*, const ::AudioTimeStamp*,
                                              ::AudioBufferList*, const ::AudioTimeStamp*, void*)>);
static_assert(kSame<::AudioDeviceIOProcID, ::AudioDeviceIOProc>);
static_assert(
    kSame<decltype(&::AudioDeviceCreateIOProcID),
          ::OSStatus (*)(::AudioObjectID, ::AudioDeviceIOProc, void*, ::AudioDeviceIOProcID*)>);
static_assert(kSame<decltype(&::AudioDeviceDestroyIOProcID),
                    ::OSStatus (*)(::AudioObjectID, ::AudioDeviceIOProcID)>);
static_assert(
    kSame<decltype(&::AudioDeviceStart), ::OSStatus (*)(::AudioObjectID, ::AudioDeviceIOProcID)>);
static_assert(
    kSame<decltype(&::AudioDeviceStop), ::OSStatus (*)(::AudioObjectID, ::AudioDeviceIOProcID)>);

// The records the backend converts field by field, and the HAL's sizes the
// project's byte counts assume.
static_assert(sizeof(::AudioObjectPropertyAddress) == 12);
static_assert(sizeof(::AudioStreamBasicDescription) == 40);
static_assert(sizeof(::AudioValueRange) == 16);
static_assert(sizeof(::AudioBuffer) == 16);
static_assert(offsetof(::AudioBufferList, mBuffers) == 8);
static_assert(sizeof(::AudioObjectID) == 4);

// The aggregate description keys the project's dictionaries use verbatim.
static_assert(std::string_view(kAudioAggregateDeviceUIDKey) == "uid");
static_assert(std::string_view(kAudioAggregateDeviceNameKey) == "name");
static_assert(std::string_view(kAudioAggregateDeviceSubDeviceListKey) == "subdevices");
static_assert(std::string_view(kAudioAggregateDeviceMainSubDeviceKey) == "master");
static_assert(std::string_view(kAudioAggregateDeviceClockDeviceKey) == "clock");
static_assert(std::string_view(kAudioAggregateDeviceIsPrivateKey) == "private");
static_assert(std::string_view(kAudioAggregateDeviceIsStackedKey) == "stacked");
static_assert(std::string_view(kAudioAggregateDeviceTapListKey) == "taps");
static_assert(std::string_view(kAudioAggregateDeviceTapAutoStartKey) == "tapautostart");
static_assert(std::string_view(kAudioSubDeviceUIDKey) == "uid");

// The constants the backend names.
static_assert(::kAudioObjectSystemObject == 1);
static_assert(::kAudioObjectPropertyScopeInput == 'inpt');
static_assert(::kAudioObjectPropertyElementMain == 0);
static_assert(::kAudioDevicePropertyStreamConfiguration == 'slay');
static_assert(::kAudioHardwareBadPropertySizeError == '!siz');
static_assert(::kAudioHardwareIllegalOperationError == 'nope');
static_assert(::kAudioHardwareUnknownPropertyError == 'who?');
static_assert(::kAudioHardwareUnsupportedOperationError == 'unop');
static_assert(::kAudioTimeStampRateScalarValid == (1U << 2));
static_assert(::kAudioOutputUnitProperty_SetInputCallback == 2005);
static_assert(::kAudioUnitProperty_SetRenderCallback == 23);

// AudioToolbox (AUHAL).
static_assert(kSame<decltype(&::AudioComponentFindNext),
                    ::AudioComponent (*)(::AudioComponent, const ::AudioComponentDescription*)>);
static_assert(kSame<decltype(&::AudioComponentInstanceNew),
                    ::OSStatus (*)(::AudioComponent, ::AudioComponentInstance*)>);
static_assert(
    kSame<decltype(&::AudioComponentInstanceDispose), ::OSStatus (*)(::AudioComponentInstance)>);
static_assert(kSame<::AudioUnit, ::AudioComponentInstance>);
static_assert(kSame<decltype(&::AudioUnitSetProperty),
                    ::OSStatus (*)(::AudioUnit, ::AudioUnitPropertyID, ::AudioUnitScope,
                                   ::AudioUnitElement, const void*, ::UInt32)>);
static_assert(kSame<decltype(&::AudioUnitGetProperty),
                    ::OSStatus (*)(::AudioUnit, ::AudioUnitPropertyID, ::AudioUnitScope,
                                   ::AudioUnitElement, void*, ::UInt32*)>);
static_assert(kSame<decltype(&::AudioUnitInitialize), ::OSStatus (*)(::AudioUnit)>);
static_assert(kSame<decltype(&::AudioUnitUninitialize), ::OSStatus (*)(::AudioUnit)>);
static_assert(kSame<decltype(&::AudioOutputUnitStart), ::OSStatus (*)(::AudioUnit)>);
static_assert(kSame<decltype(&::AudioOutputUnitStop), ::OSStatus (*)(::AudioUnit)>);
static_assert(kSame<::AURenderCallback,
                    ::OSStatus (*)(void*, ::AudioUnitRenderActionFlags*, const ::AudioTimeStamp*,
                                   ::UInt32, ::UInt32, ::AudioBufferList*)>);
static_assert(
    kSame<decltype(&::AudioUnitRender),
          ::OSStatus (*)(::AudioUnit, ::AudioUnitRenderActionFlags*, const ::AudioTimeStamp*,
                         ::UInt32, ::UInt32, ::AudioBufferList*)>);

// CoreFoundation, Mach and the kernel.
static_assert(kSame<decltype(&::CFRelease), void (*)(::CFTypeRef)>);
static_assert(kSame<decltype(&::CFGetTypeID), ::CFTypeID (*)(::CFTypeRef)>);
static_assert(kSame<decltype(&::CFBooleanGetTypeID), ::CFTypeID (*)()>);
static_assert(kSame<decltype(&::CFNumberIsFloatType), ::Boolean (*)(::CFNumberRef)>);
static_assert(kSame<decltype(&::CFRunLoopRunInMode),
                    ::CFRunLoopRunResult (*)(::CFRunLoopMode, ::CFTimeInterval, ::Boolean)>);
static_assert(kSame<decltype(&::mach_timebase_info), ::kern_return_t (*)(::mach_timebase_info_t)>);
static_assert(
    kSame<decltype(&::task_info), ::kern_return_t (*)(::task_name_t, ::task_flavor_t, ::task_info_t,
                                                      ::mach_msg_type_number_t*)>);
static_assert(
    kSame<decltype(&::sysctl), int (*)(int*, unsigned int, void*, size_t*, void*, size_t)>);
static_assert(kSame<decltype(&::dispatch_queue_create),
                    ::dispatch_queue_t (*)(const char*, ::dispatch_queue_attr_t)>);
static_assert(kSame<::dispatch_block_t, void (^)()>);
static_assert(kSame<decltype(&::dispatch_async), void (*)(::dispatch_queue_t, ::dispatch_block_t)>);
static_assert(kSame<decltype(&::dlopen), void* (*)(const char*, int)>);
static_assert(kSame<decltype(&::dlsym), void* (*)(void*, const char*)>);
static_assert(RTLD_NOW == 0x2 && RTLD_LOCAL == 0x4);

// The Objective-C members, by the types the backend reads and writes.
static_assert(
    kSame<decltype([::AVCaptureDevice authorizationStatusForMediaType: ::AVMediaTypeAudio]),
          ::AVAuthorizationStatus>);
static_assert(
    kSame<decltype(static_cast<::CATapDescription*>(nil).muteBehavior), ::CATapMuteBehavior>);
static_assert(
    kSame<decltype(static_cast<::CATapDescription*>(nil).processes), NSArray<NSNumber*>*>);
static_assert(kSame<decltype(static_cast<::CATapDescription*>(nil).UUID), NSUUID*>);
static_assert(kSame<decltype(static_cast<::CATapDescription*>(nil).stream), NSNumber*>);
static_assert(kSame<decltype(static_cast<::CATapDescription*>(nil).isPrivate), BOOL>);

}  // namespace velmar::mac::pins
