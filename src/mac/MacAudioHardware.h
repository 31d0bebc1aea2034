#pragma once

// Objective-C++ only: included by the backend's .mm files.

#include <CoreAudio/CoreAudio.h>
#include <dispatch/dispatch.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "coreaudio/AudioHardware.h"

namespace velmar::mac {

// The project's HAL over the Mac's own (Core Audio). Values are converted
// through the selector table of MacPropertyValues; objects, IDs and
// notifications are the HAL's.
//
// Threads: listener blocks are registered on a private serial dispatch queue
// whose blocks copy the addresses and post into the caller's executor.
// Listener functions and IO procedures are called through trampolines that
// count calls in flight, so removal and deviceStop/destroyIOProcID can wait
// until nothing runs any more. Those records are never freed: the HAL may
// still be about to enter a trampoline when its removal returns, and a
// record that outlives it costs a few bytes.
class MacAudioHardware final : public coreaudio::AudioHardware {
 public:
  MacAudioHardware();
  ~MacAudioHardware() override;

  coreaudio::OSStatus getPropertyDataSize(coreaudio::AudioObjectID object,
                                          const coreaudio::AudioObjectPropertyAddress& address,
                                          const coreaudio::PropertyValue& qualifier,
                                          coreaudio::UInt32& outDataSize) override;
  coreaudio::OSStatus getPropertyData(coreaudio::AudioObjectID object,
                                      const coreaudio::AudioObjectPropertyAddress& address,
                                      const coreaudio::PropertyValue& qualifier,
                                      coreaudio::UInt32& ioDataSize,
                                      coreaudio::PropertyValue& outData) override;
  coreaudio::OSStatus setPropertyData(coreaudio::AudioObjectID object,
                                      const coreaudio::AudioObjectPropertyAddress& address,
                                      const coreaudio::PropertyValue& data) override;
  bool hasProperty(coreaudio::AudioObjectID object,
                   const coreaudio::AudioObjectPropertyAddress& address) override;
  coreaudio::OSStatus isPropertySettable(coreaudio::AudioObjectID object,
                                         const coreaudio::AudioObjectPropertyAddress& address,
                                         bool& outIsSettable) override;

  coreaudio::OSStatus addPropertyListenerBlock(
      coreaudio::AudioObjectID object, const coreaudio::AudioObjectPropertyAddress& address,
      asio::any_io_executor queue, coreaudio::AudioObjectPropertyListenerBlock block) override;
  coreaudio::OSStatus removePropertyListenerBlock(
      coreaudio::AudioObjectID object, const coreaudio::AudioObjectPropertyAddress& address,
      asio::any_io_executor queue, coreaudio::AudioObjectPropertyListenerBlock block) override;
  coreaudio::OSStatus addPropertyListener(coreaudio::AudioObjectID object,
                                          const coreaudio::AudioObjectPropertyAddress& address,
                                          coreaudio::AudioObjectPropertyListenerProc listener,
                                          void* clientData) override;
  coreaudio::OSStatus removePropertyListener(coreaudio::AudioObjectID object,
                                             const coreaudio::AudioObjectPropertyAddress& address,
                                             coreaudio::AudioObjectPropertyListenerProc listener,
                                             void* clientData) override;

  coreaudio::OSStatus createProcessTap(const coreaudio::CATapDescription& description,
                                       coreaudio::AudioObjectID& outTapID) override;
  coreaudio::OSStatus destroyProcessTap(coreaudio::AudioObjectID tapID) override;

  coreaudio::OSStatus createAggregateDevice(const nlohmann::json& description,
                                            coreaudio::AudioObjectID& outDeviceID) override;
  coreaudio::OSStatus destroyAggregateDevice(coreaudio::AudioObjectID deviceID) override;

  coreaudio::OSStatus createIOProcID(coreaudio::AudioObjectID device,
                                     coreaudio::AudioDeviceIOProc proc, void* clientData,
                                     coreaudio::AudioDeviceIOProcID& outProcID) override;
  coreaudio::OSStatus destroyIOProcID(coreaudio::AudioObjectID device,
                                      coreaudio::AudioDeviceIOProcID procID) override;
  coreaudio::OSStatus deviceStart(coreaudio::AudioObjectID device,
                                  coreaudio::AudioDeviceIOProcID procID) override;
  coreaudio::OSStatus deviceStop(coreaudio::AudioObjectID device,
                                 coreaudio::AudioDeviceIOProcID procID) override;

  // A registered listener function (see the class comment).
  struct ListenerFunction {
    ::AudioObjectID object = 0;
    coreaudio::AudioObjectPropertyAddress address;
    coreaudio::AudioObjectPropertyListenerProc proc = nullptr;
    void* clientData = nullptr;
    std::atomic<bool> removed{false};
    std::atomic<int> callsInFlight{0};
  };

  // A created IO procedure. The buffer lists handed to the project's
  // procedure are sized at start, off the IO thread.
  struct IOProc {
    ::AudioObjectID device = 0;
    coreaudio::AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    ::AudioDeviceIOProcID appleID = nullptr;
    bool destroyed = false;  // under the hardware's mutex
    std::atomic<bool> delivering{false};
    std::atomic<int> callsInFlight{0};
    coreaudio::AudioBufferList input;
    coreaudio::AudioBufferList output;  // always empty: the service plays nothing
    std::uint32_t timebaseNumerator = 1;
    std::uint32_t timebaseDenominator = 1;
  };

 private:
  struct ListenerBlock {
    ::AudioObjectID object = 0;
    coreaudio::AudioObjectPropertyAddress address;
    asio::any_io_executor queue;
    coreaudio::AudioObjectPropertyListenerBlock block;
    ::AudioObjectPropertyListenerBlock appleBlock;
  };

  IOProc* findIOProc(coreaudio::AudioDeviceIOProcID procID);
  void prepareIOStorage(IOProc& record);

  dispatch_queue_t listenerQueue_;
  std::uint32_t timebaseNumerator_ = 1;
  std::uint32_t timebaseDenominator_ = 1;

  std::mutex mutex_;  // guards the three registries below
  std::vector<ListenerBlock> listenerBlocks_;
  std::deque<std::unique_ptr<ListenerFunction>> listenerFunctions_;
  std::deque<std::unique_ptr<IOProc>> ioProcs_;
};

}  // namespace velmar::mac
