#pragma once

// The contract every backend's HAL keeps, as one suite: a backend plugs in
// with a driver that hands out its HAL and changes its world the way other
// programs and the user would, and instantiates HalConformanceTest with it.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "audiohal/AudioHardware.h"

namespace velmar::audiohal {

class ConformanceDriver {
 public:
  // What a backend's world may be unable to do; the tests that need it skip.
  enum class Feature {
    kSetProcessRunning,  // make a process start or stop playing by hand
    kMutedTaps,          // taps that mute what they capture
  };

  virtual ~ConformanceDriver() = default;
  virtual bool supports(Feature) { return true; }
  virtual AudioHardware& hal() = 0;
  virtual bool isNotificationThread() = 0;
  // A one-channel input device and a two-channel one, and their tones.
  virtual std::string microphoneUID() = 0;
  virtual std::string interfaceUID() = 0;
  virtual Float64 microphoneTone() = 0;
  // A process that plays and one that is silent, and their tones.
  virtual std::int32_t playingPID() = 0;
  virtual std::int32_t silentPID() = 0;
  virtual Float64 playingTone() = 0;
  virtual Float64 silentTone() = 0;
  // Another program starts (returns its PID), plays or stops, and leaves.
  // Each returns once the HAL shows the change.
  virtual std::int32_t addProcess(bool running) = 0;
  virtual void setProcessRunning(std::int32_t pid, bool running) = 0;
  virtual void removeProcess(std::int32_t pid) = 0;
  // A device dies, or another program captures from it.
  virtual void killDevice(const std::string& uid) = 0;
  virtual void setDeviceInUseElsewhere(const std::string& uid, bool inUse) = 0;
  // Another program makes a tap; 0 when the backend cannot.
  virtual AudioObjectID createForeignTap(const CATapDescription& description) = 0;
};

struct ConformanceBackend {
  const char* name;
  std::unique_ptr<ConformanceDriver> (*make)();
};

// The process object of `pid` the HAL lists, 0 when it lists none.
inline AudioObjectID processObjectOf(AudioHardware& hal, std::int32_t pid) {
  std::vector<AudioObjectID> ids;
  hal.getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyProcessObjectList),
                  ids);
  for (AudioObjectID id : ids) {
    SInt32 found = 0;
    if (hal.getProperty(id, globalAddress(kAudioProcessPropertyPID), found) == 0 && found == pid)
      return id;
  }
  return 0;
}

// Test names show the backend, not the parameter's bytes.
inline void PrintTo(const ConformanceBackend& backend, std::ostream* out) { *out << backend.name; }

class HalConformanceTest : public ::testing::TestWithParam<ConformanceBackend> {
 protected:
  void SetUp() override { driver_ = GetParam().make(); }
  ConformanceDriver& driver() { return *driver_; }
  AudioHardware& hal() { return driver_->hal(); }

  std::vector<AudioObjectID> readIDs(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::vector<AudioObjectID> ids;
    EXPECT_EQ(hal().getProperty(object, globalAddress(selector), ids), 0);
    return ids;
  }
  AudioObjectID deviceID(const std::string& uid) {
    AudioObjectID id = 0;
    hal().getProperty(kAudioObjectSystemObject,
                      globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), id, uid);
    return id;
  }
  std::vector<AudioObjectID> tapList() {
    return readIDs(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
  }
  UInt32 readUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    UInt32 value = 0;
    hal().getProperty(object, address, value);
    return value;
  }
  AudioObjectID processObjectID(std::int32_t pid) { return processObjectOf(hal(), pid); }

 private:
  std::unique_ptr<ConformanceDriver> driver_;
};

}  // namespace velmar::audiohal
