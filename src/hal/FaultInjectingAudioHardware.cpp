#include "hal/FaultInjectingAudioHardware.h"

namespace velmar::hal {

using audiohal::AudioDeviceIOProc;
using audiohal::AudioDeviceIOProcID;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertyListenerBlock;
using audiohal::AudioObjectPropertyListenerProc;
using audiohal::CATapDescription;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::UInt32;

void FaultInjectingAudioHardware::injectFailure(const FailureRule& rule) {
  std::lock_guard lock(mutex_);
  failures_.push_back(rule);
}

void FaultInjectingAudioHardware::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

std::size_t FaultInjectingAudioHardware::failedCalls() const {
  std::lock_guard lock(mutex_);
  return failedCalls_;
}

std::optional<OSStatus> FaultInjectingAudioHardware::injected(HalOperation operation,
                                                              AudioObjectID object,
                                                              std::optional<UInt32> selector) {
  std::lock_guard lock(mutex_);
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->operation != operation) continue;
    if (it->object && *it->object != object) continue;
    if (it->selector && (!selector || *it->selector != *selector)) continue;
    OSStatus status = it->status;
    ++failedCalls_;
    if (it->times && --*it->times <= 0) failures_.erase(it);
    return status;
  }
  return std::nullopt;
}

OSStatus FaultInjectingAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address,
                                                          const PropertyValue& qualifier,
                                                          UInt32& outDataSize) {
  if (auto status = injected(HalOperation::kGetPropertyDataSize, object, address.mSelector)) {
    return *status;
  }
  return inner_.getPropertyDataSize(object, address, qualifier, outDataSize);
}

OSStatus FaultInjectingAudioHardware::getPropertyData(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address,
                                                      const PropertyValue& qualifier,
                                                      UInt32& ioDataSize, PropertyValue& outData) {
  if (auto status = injected(HalOperation::kGetPropertyData, object, address.mSelector)) {
    return *status;
  }
  return inner_.getPropertyData(object, address, qualifier, ioDataSize, outData);
}

OSStatus FaultInjectingAudioHardware::setPropertyData(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address,
                                                      const PropertyValue& data) {
  if (auto status = injected(HalOperation::kSetPropertyData, object, address.mSelector)) {
    return *status;
  }
  return inner_.setPropertyData(object, address, data);
}

bool FaultInjectingAudioHardware::hasProperty(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address) {
  if (injected(HalOperation::kHasProperty, object, address.mSelector)) return false;
  return inner_.hasProperty(object, address);
}

OSStatus FaultInjectingAudioHardware::isPropertySettable(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         bool& outIsSettable) {
  if (auto status = injected(HalOperation::kIsPropertySettable, object, address.mSelector)) {
    return *status;
  }
  return inner_.isPropertySettable(object, address, outIsSettable);
}

OSStatus FaultInjectingAudioHardware::addPropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address, asio::any_io_executor queue,
    AudioObjectPropertyListenerBlock block) {
  if (auto status = injected(HalOperation::kAddPropertyListener, object, address.mSelector)) {
    return *status;
  }
  return inner_.addPropertyListenerBlock(object, address, std::move(queue), std::move(block));
}

OSStatus FaultInjectingAudioHardware::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address, asio::any_io_executor queue,
    AudioObjectPropertyListenerBlock block) {
  if (auto status = injected(HalOperation::kRemovePropertyListener, object, address.mSelector)) {
    return *status;
  }
  return inner_.removePropertyListenerBlock(object, address, std::move(queue), std::move(block));
}

OSStatus FaultInjectingAudioHardware::addPropertyListener(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address,
                                                          AudioObjectPropertyListenerProc listener,
                                                          void* clientData) {
  if (auto status = injected(HalOperation::kAddPropertyListener, object, address.mSelector)) {
    return *status;
  }
  return inner_.addPropertyListener(object, address, listener, clientData);
}

OSStatus FaultInjectingAudioHardware::removePropertyListener(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerProc listener, void* clientData) {
  if (auto status = injected(HalOperation::kRemovePropertyListener, object, address.mSelector)) {
    // Refused or not, the function is not called once this returns.
    inner_.removePropertyListener(object, address, listener, clientData);
    return *status;
  }
  return inner_.removePropertyListener(object, address, listener, clientData);
}

OSStatus FaultInjectingAudioHardware::createProcessTap(const CATapDescription& description,
                                                       AudioObjectID& outTapID) {
  if (auto status = injected(HalOperation::kCreateProcessTap, 0)) return *status;
  return inner_.createProcessTap(description, outTapID);
}

OSStatus FaultInjectingAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  if (auto status = injected(HalOperation::kDestroyProcessTap, tapID)) return *status;
  return inner_.destroyProcessTap(tapID);
}

OSStatus FaultInjectingAudioHardware::createAggregateDevice(const nlohmann::json& description,
                                                            AudioObjectID& outDeviceID) {
  if (auto status = injected(HalOperation::kCreateAggregateDevice, 0)) return *status;
  return inner_.createAggregateDevice(description, outDeviceID);
}

OSStatus FaultInjectingAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  if (auto status = injected(HalOperation::kDestroyAggregateDevice, deviceID)) return *status;
  return inner_.destroyAggregateDevice(deviceID);
}

OSStatus FaultInjectingAudioHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                                     void* clientData,
                                                     AudioDeviceIOProcID& outProcID) {
  if (auto status = injected(HalOperation::kCreateIOProcID, device)) return *status;
  return inner_.createIOProcID(device, proc, clientData, outProcID);
}

OSStatus FaultInjectingAudioHardware::destroyIOProcID(AudioObjectID device,
                                                      AudioDeviceIOProcID procID) {
  if (auto status = injected(HalOperation::kDestroyIOProcID, device)) {
    // Refused, the procedure stays registered, but it is not called again.
    inner_.deviceStop(device, procID);
    return *status;
  }
  return inner_.destroyIOProcID(device, procID);
}

OSStatus FaultInjectingAudioHardware::deviceStart(AudioObjectID device,
                                                  AudioDeviceIOProcID procID) {
  if (auto status = injected(HalOperation::kDeviceStart, device)) return *status;
  return inner_.deviceStart(device, procID);
}

OSStatus FaultInjectingAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  if (auto status = injected(HalOperation::kDeviceStop, device)) {
    // Refused or not, a procedure is not called once this returns.
    if (procID != nullptr) inner_.deviceStop(device, procID);
    return *status;
  }
  return inner_.deviceStop(device, procID);
}

}  // namespace velmar::hal
