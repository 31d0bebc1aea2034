#pragma once

// Objective-C++ only: included by the backend's .mm files.

#include <CoreAudio/CoreAudio.h>
#include <dispatch/dispatch.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "audiohal/AudioHardware.h"

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
class MacAudioHardware final : public audiohal::AudioHardware {
 public:
  MacAudioHardware();
  ~MacAudioHardware() override;

  audiohal::OSStatus getPropertyDataSize(audiohal::AudioObjectID object,
                                         const audiohal::AudioObjectPropertyAddress& address,
                                         const audiohal::PropertyValue& qualifier,
                                         audiohal::UInt32& outDataSize) override;
  audiohal::OSStatus getPropertyData(audiohal::AudioObjectID object,
                                     const audiohal::AudioObjectPropertyAddress& address,
                                     const audiohal::PropertyValue& qualifier,
                                     audiohal::UInt32& ioDataSize,
                                     audiohal::PropertyValue& outData) override;
  audiohal::OSStatus setPropertyData(audiohal::AudioObjectID object,
                                     const audiohal::AudioObjectPropertyAddress& address,
                                     const audiohal::PropertyValue& data) override;
  bool hasProperty(audiohal::AudioObjectID object,
                   const audiohal::AudioObjectPropertyAddress& address) override;
  audiohal::OSStatus isPropertySettable(audiohal::AudioObjectID object,
                                        const audiohal::AudioObjectPropertyAddress& address,
                                        bool& outIsSettable) override;

  audiohal::OSStatus addPropertyListenerBlock(
      audiohal::AudioObjectID object, const audiohal::AudioObjectPropertyAddress& address,
      asio::any_io_executor queue, audiohal::AudioObjectPropertyListenerBlock block) override;
  audiohal::OSStatus removePropertyListenerBlock(
      audiohal::AudioObjectID object, const audiohal::AudioObjectPropertyAddress& address,
      asio::any_io_executor queue, audiohal::AudioObjectPropertyListenerBlock block) override;
  audiohal::OSStatus addPropertyListener(audiohal::AudioObjectID object,
                                         const audiohal::AudioObjectPropertyAddress& address,
                                         audiohal::AudioObjectPropertyListenerProc listener,
                                         void* clientData) override;
  audiohal::OSStatus removePropertyListener(audiohal::AudioObjectID object,
                                            const audiohal::AudioObjectPropertyAddress& address,
                                            audiohal::AudioObjectPropertyListenerProc listener,
                                            void* clientData) override;

  audiohal::OSStatus createProcessTap(const audiohal::CATapDescription& description,
                                      audiohal::AudioObjectID& outTapID) override;
  audiohal::OSStatus destroyProcessTap(audiohal::AudioObjectID tapID) override;

  audiohal::OSStatus createAggregateDevice(const nlohmann::json& description,
                                           audiohal::AudioObjectID& outDeviceID) override;
  audiohal::OSStatus destroyAggregateDevice(audiohal::AudioObjectID deviceID) override;

  audiohal::OSStatus createIOProcID(audiohal::AudioObjectID device,
                                    audiohal::AudioDeviceIOProc proc, void* clientData,
                                    audiohal::AudioDeviceIOProcID& outProcID) override;
  audiohal::OSStatus destroyIOProcID(audiohal::AudioObjectID device,
                                     audiohal::AudioDeviceIOProcID procID) override;
  audiohal::OSStatus deviceStart(audiohal::AudioObjectID device,
                                 audiohal::AudioDeviceIOProcID procID) override;
  audiohal::OSStatus deviceStop(audiohal::AudioObjectID device,
                                audiohal::AudioDeviceIOProcID procID) override;

  // A registered listener function (see the class comment).
  struct ListenerFunction {
    ::AudioObjectID object = 0;
    audiohal::AudioObjectPropertyAddress address;
    audiohal::AudioObjectPropertyListenerProc proc = nullptr;
    void* clientData = nullptr;
    std::atomic<bool> removed{false};
    std::atomic<int> callsInFlight{0};
  };

  // A created IO procedure. The buffer lists handed to the project's
  // procedure are sized at start, off the IO thread.
  struct IOProc {
    ::AudioObjectID device = 0;
    audiohal::AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    ::AudioDeviceIOProcID appleID = nullptr;
    bool destroyed = false;  // under the hardware's mutex
    std::atomic<bool> delivering{false};
    std::atomic<int> callsInFlight{0};
    audiohal::AudioBufferList input;
    audiohal::AudioBufferList output;  // always empty: the service plays nothing
    std::uint32_t timebaseNumerator = 1;
    std::uint32_t timebaseDenominator = 1;
  };

 private:
  struct ListenerBlock {
    ::AudioObjectID object = 0;
    audiohal::AudioObjectPropertyAddress address;
    asio::any_io_executor queue;
    audiohal::AudioObjectPropertyListenerBlock block;
    ::AudioObjectPropertyListenerBlock appleBlock;
  };

  IOProc* findIOProc(audiohal::AudioDeviceIOProcID procID);
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
