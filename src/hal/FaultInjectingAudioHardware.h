#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "coreaudio/AudioHardware.h"

namespace velmar::hal {

using coreaudio::AudioObjectID;
using coreaudio::AudioObjectPropertyAddress;
using coreaudio::OSStatus;
using coreaudio::PropertyValue;
using coreaudio::UInt32;

// Operations whose answers a test can force.
enum class HalOperation {
  kGetPropertyDataSize,
  kGetPropertyData,
  kSetPropertyData,
  kHasProperty,
  kIsPropertySettable,
  kAddPropertyListener,  // blocks and functions
  kRemovePropertyListener,
  kCreateProcessTap,
  kDestroyProcessTap,
  kCreateAggregateDevice,
  kDestroyAggregateDevice,
  kCreateIOProcID,
  kDestroyIOProcID,
  kDeviceStart,
  kDeviceStop,
};

// Makes matching calls fail with `status` (hasProperty answers false). A
// rule without selector or object matches every selector or object.
struct FailureRule {
  HalOperation operation = HalOperation::kGetPropertyData;
  std::optional<UInt32> selector;
  std::optional<AudioObjectID> object;
  OSStatus status = coreaudio::kAudioHardwareUnspecifiedError;
  // How many calls fail before the rule lapses; nullopt = every call.
  std::optional<int> times;

  static FailureRule when(HalOperation operation, std::optional<UInt32> selector = std::nullopt,
                          std::optional<AudioObjectID> object = std::nullopt,
                          OSStatus status = coreaudio::kAudioHardwareUnspecifiedError,
                          std::optional<int> times = std::nullopt) {
    return FailureRule{operation, selector, object, status, times};
  }
};

// Test tooling in front of any HAL: forwards every call to `inner` unless an
// injected rule matches it, in which case the call answers the rule's status
// without reaching `inner`. A status of 0 on a creation therefore succeeds
// without handing out an object. Rules are guarded by their own mutex, never
// held while `inner` runs.
class FaultInjectingAudioHardware : public coreaudio::AudioHardware {
 public:
  explicit FaultInjectingAudioHardware(coreaudio::AudioHardware& inner) : inner_(inner) {}

  void injectFailure(const FailureRule& rule);
  void clearFailures();

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               const PropertyValue& qualifier, UInt32& outDataSize) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           const PropertyValue& qualifier, UInt32& ioDataSize,
                           PropertyValue& outData) override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           const PropertyValue& data) override;
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              bool& outIsSettable) override;
  OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    asio::any_io_executor queue,
                                    coreaudio::AudioObjectPropertyListenerBlock block) override;
  OSStatus removePropertyListenerBlock(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       asio::any_io_executor queue,
                                       coreaudio::AudioObjectPropertyListenerBlock block) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               coreaudio::AudioObjectPropertyListenerProc listener,
                               void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  coreaudio::AudioObjectPropertyListenerProc listener,
                                  void* clientData) override;
  OSStatus createProcessTap(const coreaudio::CATapDescription& description,
                            AudioObjectID& outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const nlohmann::json& description,
                                 AudioObjectID& outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus createIOProcID(AudioObjectID device, coreaudio::AudioDeviceIOProc proc, void* clientData,
                          coreaudio::AudioDeviceIOProcID& outProcID) override;
  OSStatus destroyIOProcID(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;
  OSStatus deviceStart(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, coreaudio::AudioDeviceIOProcID procID) override;

 private:
  std::optional<OSStatus> injected(HalOperation operation, AudioObjectID object,
                                   std::optional<UInt32> selector = std::nullopt);

  coreaudio::AudioHardware& inner_;
  std::mutex mutex_;
  std::vector<FailureRule> failures_;
};

}  // namespace velmar::hal
