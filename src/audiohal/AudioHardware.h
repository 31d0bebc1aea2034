#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <nlohmann/json.hpp>

#include "audiohal/CATapDescription.h"
#include "audiohal/HalTypes.h"

namespace velmar::audiohal {

// A property listener block. The HAL identifies a registration by the block
// itself, so blocks are shared pointers: keep the pointer to remove it.
using AudioObjectPropertyListenerBlock = std::shared_ptr<const std::function<void(
    UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>>;

template <typename F>
AudioObjectPropertyListenerBlock makeListenerBlock(F&& function) {
  return std::make_shared<const std::function<void(UInt32, const AudioObjectPropertyAddress*)>>(
      std::forward<F>(function));
}

// A property listener function, called on the HAL's notification thread.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID inObjectID,
                                                     UInt32 inNumberAddresses,
                                                     const AudioObjectPropertyAddress* inAddresses,
                                                     void* inClientData);

// An IO procedure, called on the device's IO thread once per cycle with one
// input buffer per input stream of the device.
using AudioDeviceIOProc = OSStatus (*)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                       const AudioBufferList* inInputData,
                                       const AudioTimeStamp* inInputTime,
                                       AudioBufferList* outOutputData,
                                       const AudioTimeStamp* inOutputTime, void* inClientData);

// Opaque registration handle of an IO procedure; null means "none".
struct OpaqueAudioDeviceIOProc;
using AudioDeviceIOProcID = OpaqueAudioDeviceIOProc*;

// The audio hardware abstraction layer: every audio object, property,
// listener, tap, aggregate device and IO procedure of the machine is reached
// through this interface and nothing else. Each call answers with a status
// (0 = success) so callers can decide, call by call, whether to look at it.
//
// The contract every backend keeps (the managers rely on nothing else):
//
// Reads (value type):
//   system   'dev#' 'prs#' 'tps#' ID lists; 'dIn ' 'dOut' device ID;
//            'uidd' device ID for a UID qualifier (0 when none)
//   device   'uid ' 'lnam' 'name' text; 'clas' 'tran' UInt32; 'nsr#' ranges;
//            'nsrt' Float64; 'csrc' UInt32 (absent where no source can be
//            chosen); 'slay' buffer list (input scope); 'stm#' ID list (input
//            scope); 'goin' 'livn' UInt32; 'gone' UInt32 (input scope: some
//            program captures from it)
//   aggregate 'apcd' text or null; 'amst' text or null; 'acom' dictionary;
//            'grup' 'tap#' text lists
//   stream   'sfmt' format; 'sdir' UInt32 (1 = input)
//   process  'ppid' SInt32; 'pbid' text; 'pir?' UInt32
//   tap      'tuid' text; 'tfmt' format; 'tdsc' description
// Writes: 'apcd' 'amst' 'acom' 'grup' 'tap#' of aggregates, 'tdsc' of taps,
//   'csrc' of devices that have a settable one.
// Notified (listeners of the address are called after a change): the system's
//   'dev#' 'prs#' 'tps#' 'dIn ' 'dOut'; a process's 'pir?'; a device's 'livn' (also when it goes
//   away; it then reads 0 or its reads fail), 'goin', 'gone', 'stm#', 'nsrt', 'lnam'; aggregates'
//   'grup' 'tap#' 'acom' 'apcd' 'amst'; a tap's 'tdsc' 'tfmt'.
// Object IDs are never reused while the service runs.
// Threads: any call may come from any thread except where noted; none calls
//   back into the caller while holding a lock the caller could need.
//   Listener blocks run on the executor given, listener functions on the
//   backend's notification thread. IO procedures run on the backend's
//   real-time thread with one buffer per input stream of the device, in
//   stream order, every cycle (silence when a source has nothing), and are
//   not called again once deviceStop or destroyIOProcID has returned.
class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // Property data. Sizes are the HAL's bytes (see PropertyValue). On input
  // ioDataSize is the room the caller has; lists are cut to fit it, a scalar
  // that does not fit fails with kAudioHardwareBadPropertySizeError. On
  // success it holds the size written. `qualifier` is monostate when none.
  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       const PropertyValue& qualifier, UInt32& outDataSize) = 0;
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   const PropertyValue& qualifier, UInt32& ioDataSize,
                                   PropertyValue& outData) = 0;
  virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   const PropertyValue& data) = 0;
  virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
  virtual OSStatus isPropertySettable(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      bool& outIsSettable) = 0;

  // Listener blocks are posted to `queue` (the notification thread when the
  // executor is empty); removal needs the same object, address, queue and
  // block.
  virtual OSStatus addPropertyListenerBlock(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            asio::any_io_executor queue,
                                            AudioObjectPropertyListenerBlock block) = 0;
  virtual OSStatus removePropertyListenerBlock(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               asio::any_io_executor queue,
                                               AudioObjectPropertyListenerBlock block) = 0;
  // Listener functions run on the notification thread. Once removal has
  // returned, the function is not running and will not run for that
  // registration (unless removal is called from the notification thread).
  virtual OSStatus addPropertyListener(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       AudioObjectPropertyListenerProc listener,
                                       void* clientData) = 0;
  virtual OSStatus removePropertyListener(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          AudioObjectPropertyListenerProc listener,
                                          void* clientData) = 0;

  // Process taps.
  virtual OSStatus createProcessTap(const CATapDescription& description,
                                    AudioObjectID& outTapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;

  // Aggregate devices, created from their description dictionary.
  virtual OSStatus createAggregateDevice(const nlohmann::json& description,
                                         AudioObjectID& outDeviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

  // IO procedures. Starting with a null procedure starts the device itself
  // without delivering to anyone; stopping with null undoes that. Once
  // deviceStop has returned (called off the IO thread) the procedure is not
  // running and is not called again until the next start.
  virtual OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                  AudioDeviceIOProcID& outProcID) = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

  // Convenience reads on top of getPropertyData, for typed callers: reads the
  // whole value; on success stores it in `out` when it has type T (a null
  // reference gives nullopt for std::optional<T>). On any failure `out`
  // keeps its preset value. A value of another type fails with
  // kAudioHardwareBadPropertySizeError.
  template <typename T>
  OSStatus getProperty(AudioObjectID object, const AudioObjectPropertyAddress& address, T& out,
                       const PropertyValue& qualifier = {});
};

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
OSStatus AudioHardware::getProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    T& out, const PropertyValue& qualifier) {
  UInt32 size = 0xFFFFFFFF;
  PropertyValue value;
  OSStatus status = getPropertyData(object, address, qualifier, size, value);
  if (status != kAudioHardwareNoError) return status;
  if constexpr (IsOptional<T>::value) {
    using Inner = typename T::value_type;
    if (std::holds_alternative<std::monostate>(value)) {
      out = std::nullopt;
      return status;
    }
    if (auto* typed = std::get_if<Inner>(&value)) {
      out = std::move(*typed);
      return status;
    }
  } else {
    if (auto* typed = std::get_if<T>(&value)) {
      out = std::move(*typed);
      return status;
    }
  }
  return kAudioHardwareBadPropertySizeError;
}

// Shorthand for a global-scope, main-element address.
constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

}  // namespace velmar::audiohal
