// What only the simulated machine promises: its default machine, its clock
// sources and its failure injection. The HAL contract it shares with every
// backend is checked in tests/hal/.
#include "sim/SimulatedAudioHardware.h"

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"

namespace velmar::coreaudio {
namespace {

using platform::Platform;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &sim::SimulatedMachine::install(); }
  sim::SimulatedAudioHardware& machine() { return machine_->hardware(); }
  AudioHardware& hal() { return Platform::shared().hal(); }

  std::vector<AudioObjectID> readIDs(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::vector<AudioObjectID> ids;
    EXPECT_EQ(hal().getProperty(object, globalAddress(selector), ids), 0);
    return ids;
  }

  sim::SimulatedMachine* machine_ = nullptr;
};

TEST_F(SimulatorTest, DefaultMachineHasTheDocumentedDevicesAndProcesses) {
  auto devices = readIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
  ASSERT_EQ(devices.size(), 4u);
  UInt32 size = 0;
  ASSERT_EQ(hal().getPropertyDataSize(kAudioObjectSystemObject,
                                      globalAddress(kAudioHardwarePropertyDevices), {}, size),
            0);
  EXPECT_EQ(size, 16u);

  // A caller with room for two IDs gets two.
  UInt32 room = 8;
  PropertyValue value;
  ASSERT_EQ(hal().getPropertyData(kAudioObjectSystemObject,
                                  globalAddress(kAudioHardwarePropertyDevices), {}, room, value),
            0);
  EXPECT_EQ(std::get<std::vector<AudioObjectID>>(value).size(), 2u);
  EXPECT_EQ(room, 8u);

  AudioObjectID microphone = machine().deviceID("BuiltInMicrophoneDevice");
  AudioObjectID translated = 0;
  ASSERT_EQ(hal().getProperty(kAudioObjectSystemObject,
                              globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), translated,
                              std::string("BuiltInMicrophoneDevice")),
            0);
  EXPECT_EQ(translated, microphone);
  UInt32 transport = 0;
  ASSERT_EQ(
      hal().getProperty(microphone, globalAddress(kAudioDevicePropertyTransportType), transport),
      0);
  EXPECT_EQ(transport, kAudioDeviceTransportTypeBuiltIn);
  UInt32 rangesSize = 0;
  hal().getPropertyDataSize(
      microphone, globalAddress(kAudioDevicePropertyAvailableNominalSampleRates), {}, rangesSize);
  EXPECT_EQ(rangesSize, 32u);

  auto processes = readIDs(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
  ASSERT_GE(processes.size(), 4u);
  int playing = 0;
  for (AudioObjectID process : processes) {
    UInt32 running = 0;
    hal().getProperty(process, globalAddress(kAudioProcessPropertyIsRunning), running);
    playing += running;
  }
  EXPECT_GE(playing, 1);
  // A scalar that does not fit the caller's room is refused.
  UInt32 tiny = 2;
  EXPECT_EQ(
      hal().getPropertyData(processes[0], globalAddress(kAudioProcessPropertyPID), {}, tiny, value),
      kAudioHardwareBadPropertySizeError);
}

TEST_F(SimulatorTest, ClockSourceKeepsWhatIsWrittenWhereItIsSettable) {
  const auto address = globalAddress(kAudioDevicePropertyClockSource);
  AudioObjectID microphone = machine().deviceID("BuiltInMicrophoneDevice");
  AudioObjectID headset = machine().deviceID("00-1B-66-A1-B2-C3:input");
  UInt32 source = 0;
  ASSERT_EQ(hal().getProperty(microphone, address, source), 0);
  EXPECT_EQ(source, fourCharCode("intl"));

  ASSERT_EQ(hal().setPropertyData(microphone, address, UInt32{fourCharCode("extn")}), 0);
  ASSERT_EQ(hal().getProperty(microphone, address, source), 0);
  EXPECT_EQ(source, fourCharCode("extn"));
  EXPECT_EQ(hal().setPropertyData(microphone, address, Float64{1}),
            kAudioHardwareBadPropertySizeError);

  // A read-only clock source refuses the write and keeps its value.
  EXPECT_EQ(hal().setPropertyData(headset, address, UInt32{fourCharCode("extn")}),
            kAudioHardwareUnsupportedOperationError);
  ASSERT_EQ(hal().getProperty(headset, address, source), 0);
  EXPECT_EQ(source, fourCharCode("intl"));
}

TEST_F(SimulatorTest, InjectedFailuresHitMatchingCallsOnly) {
  AudioObjectID microphone = machine().deviceID("BuiltInMicrophoneDevice");
  AudioObjectID usb = machine().deviceID("AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2");
  const auto name = globalAddress(kAudioObjectPropertyName);
  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kGetPropertyData,
                                                 kAudioObjectPropertyName, microphone,
                                                 kAudioHardwareBadObjectError, 1));
  std::string text = "preset";
  EXPECT_EQ(hal().getProperty(microphone, name, text), kAudioHardwareBadObjectError);
  EXPECT_EQ(text, "preset");
  EXPECT_EQ(hal().getProperty(usb, name, text), 0);
  // The rule was for one call only.
  EXPECT_EQ(hal().getProperty(microphone, name, text), 0);
  EXPECT_EQ(text, "MacBook Pro Built-in Microphone");

  machine().injectFailure(
      sim::FailureRule::when(sim::HalOperation::kHasProperty, kAudioDevicePropertyClockSource));
  EXPECT_FALSE(hal().hasProperty(microphone, globalAddress(kAudioDevicePropertyClockSource)));
  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kCreateAggregateDevice,
                                                 std::nullopt, std::nullopt,
                                                 kAudioHardwareUnspecifiedError));
  AudioObjectID aggregate = 0;
  EXPECT_EQ(hal().createAggregateDevice({{"uid", "x"}}, aggregate), kAudioHardwareUnspecifiedError);
  EXPECT_EQ(aggregate, 0u);
  machine().clearFailures();
  EXPECT_TRUE(hal().hasProperty(microphone, globalAddress(kAudioDevicePropertyClockSource)));
  EXPECT_EQ(hal().createAggregateDevice({{"uid", "x"}}, aggregate), 0);
}

}  // namespace
}  // namespace velmar::coreaudio
