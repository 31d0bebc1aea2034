#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "audiohal/AudioHardware.h"

namespace velmar::hal {

using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

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
  OSStatus status = audiohal::kAudioHardwareUnspecifiedError;
  // How many calls fail before the rule lapses; nullopt = every call.
  std::optional<int> times;

  static FailureRule when(HalOperation operation, std::optional<UInt32> selector = std::nullopt,
                          std::optional<AudioObjectID> object = std::nullopt,
                          OSStatus status = audiohal::kAudioHardwareUnspecifiedError,
                          std::optional<int> times = std::nullopt) {
    return FailureRule{operation, selector, object, status, times};
  }
};

// Test tooling in front of any HAL: forwards every call to `inner` unless an
// injected rule matches it, in which case the call answers the rule's status
// without reaching `inner`. A status of 0 on a creation therefore succeeds
// without handing out an object. Only what the interface promises whatever
// the answer (an IO procedure stopped or destroyed, a listener function
// removed, is not called again) is still done in `inner`, as every backend
// does it. Rules are guarded by their own mutex, never held while `inner`
// runs.
class FaultInjectingAudioHardware : public audiohal::AudioHardware {
 public:
  explicit FaultInjectingAudioHardware(audiohal::AudioHardware& inner) : inner_(inner) {}

  void injectFailure(const FailureRule& rule);
  void clearFailures();
  // Calls a rule has answered so far, so a test can tell that its failure
  // was met at all.
  std::size_t failedCalls() const;

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
                                    audiohal::AudioObjectPropertyListenerBlock block) override;
  OSStatus removePropertyListenerBlock(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       asio::any_io_executor queue,
                                       audiohal::AudioObjectPropertyListenerBlock block) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               audiohal::AudioObjectPropertyListenerProc listener,
                               void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  audiohal::AudioObjectPropertyListenerProc listener,
                                  void* clientData) override;
  OSStatus createProcessTap(const audiohal::CATapDescription& description,
                            AudioObjectID& outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const nlohmann::json& description,
                                 AudioObjectID& outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus createIOProcID(AudioObjectID device, audiohal::AudioDeviceIOProc proc, void* clientData,
                          audiohal::AudioDeviceIOProcID& outProcID) override;
  OSStatus destroyIOProcID(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;
  OSStatus deviceStart(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, audiohal::AudioDeviceIOProcID procID) override;

 private:
  std::optional<OSStatus> injected(HalOperation operation, AudioObjectID object,
                                   std::optional<UInt32> selector = std::nullopt);

  audiohal::AudioHardware& inner_;
  mutable std::mutex mutex_;
  std::vector<FailureRule> failures_;
  std::size_t failedCalls_ = 0;
};

}  // namespace velmar::hal
