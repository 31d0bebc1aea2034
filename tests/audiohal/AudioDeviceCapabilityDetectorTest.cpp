#include "audiohal/AudioDeviceCapabilityDetector.h"

#include <gtest/gtest.h>

#include "audiohal/AudioDeviceIdentity.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/UnitHelpers.h"

namespace velmar::audiohal {
namespace {

using sim::ClockSourceProperty;
using sim::SimulatedDeviceConfig;
using Detector = AudioDeviceCapabilityDetector;

SimulatedDeviceConfig device(std::string uid, std::string name, UInt32 transport,
                             std::vector<UInt32> inputs = {},
                             ClockSourceProperty clock = ClockSourceProperty::kSettable) {
  auto config =
      testing::simulatedDevice(std::move(uid), std::move(name), transport, std::move(inputs), {2});
  config.clockSource = clock;
  return config;
}

class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &sim::SimulatedMachine::install(sim::MachineScenario{}); }
  sim::SimulatedAudioHardware& machine() { return machine_->hardware(); }
  // The facts read the machine through the platform's interface, as managers do.
  AudioHardware& hal() { return platform::Platform::shared().hal(); }
  AudioDeviceInfo info(const std::string& uid) {
    return AudioDeviceInfo::fromDevice(hal(), machine().deviceID(uid));
  }

  sim::SimulatedMachine* machine_ = nullptr;
};

TEST_F(DetectorTest, SampleRatesKeepExactRatesStandardRatesInRangesAndDuplicates) {
  auto config = device("a", "Interface", kAudioDeviceTransportTypeUSB);
  config.sampleRateRanges = {{44100, 44100}, {8000, 96000}};
  auto odd = device("b", "Odd", kAudioDeviceTransportTypeUSB);
  odd.sampleRateRanges = {{32000, 32000}};
  AudioObjectID id = machine().addDevice(config);
  AudioObjectID oddID = machine().addDevice(odd);

  EXPECT_EQ(Detector::getSupportedSampleRates(hal(), id),
            (std::vector<Float64>{44100, 44100, 48000, 88200, 96000}));
  EXPECT_EQ(Detector::getSupportedSampleRates(hal(), oddID), (std::vector<Float64>{32000}));

  machine().injectFailure(sim::FailureRule::when(
      sim::HalOperation::kGetPropertyData, kAudioDevicePropertyAvailableNominalSampleRates, id));
  EXPECT_TRUE(Detector::getSupportedSampleRates(hal(), id).empty());
}

// An aggregate device never clocks: DeviceCommandsEndToEndTest reads its
// capabilities.
TEST_F(DetectorTest, ClockSourceNeedsCapableTransportAndSettableProperty) {
  const struct {
    SimulatedDeviceConfig config;
    bool clocks;
  } cases[] = {
      {device("usb", "USB", kAudioDeviceTransportTypeUSB), true},
      {device("ro", "RO", kAudioDeviceTransportTypeUSB, {}, ClockSourceProperty::kReadOnly), false},
      {device("none", "None", kAudioDeviceTransportTypeUSB, {}, ClockSourceProperty::kAbsent),
       false},
      {device("air", "Living Room", kAudioDeviceTransportTypeAirPlay), false},
      {device("virt", "Loopback", kAudioDeviceTransportTypeVirtual), false},
  };
  for (const auto& c : cases) {
    const auto capabilities = Detector::getCapabilities(hal(), machine().addDevice(c.config));
    EXPECT_EQ(capabilities.canBeClockSource, c.clocks) << c.config.uid;
    EXPECT_EQ(capabilities.isVirtual, c.config.uid == "virt") << c.config.uid;
  }

  auto unknown = Detector::getCapabilities(
      hal(), machine().addDevice(device("auto", "Auto", fourCharCode("auto"))));
  EXPECT_EQ(unknown.transportType, AudioDeviceTransportType::kUnknown);
  EXPECT_EQ(unknown.clockSourcePriority, 0);
  EXPECT_TRUE(unknown.canBeClockSource);
}

TEST_F(DetectorTest, IdentityQueriesFallBackToPlaceholders) {
  // A device that does not exist has a default record.
  auto capabilities = Detector::getCapabilities(hal(), 73);
  EXPECT_EQ(capabilities.uid, "");
  EXPECT_EQ(capabilities.name, "Unknown Device (ID: 73)");
  EXPECT_EQ(capabilities.transportType, AudioDeviceTransportType::kUnknown);
  EXPECT_FALSE(capabilities.canBeClockSource);
  EXPECT_TRUE(capabilities.supportedSampleRates.empty());

  AudioObjectID unnamed =
      machine().addDevice(device("blank", "", kAudioDeviceTransportTypeUSB, {2}));
  EXPECT_EQ(AudioDeviceIdentity::getDeviceName(hal(), unnamed),
            "Unknown Device (ID: " + std::to_string(unnamed) + ")");
  EXPECT_EQ(AudioDeviceIdentity::getDeviceUID(hal(), unnamed), "blank");
  EXPECT_TRUE(AudioDeviceIdentity::checkHasInputChannels(hal(), unnamed));

  machine().injectFailure(
      sim::FailureRule::when(sim::HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceUID));
  EXPECT_EQ(AudioDeviceIdentity::getDeviceUID(hal(), unnamed), "");
  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kGetPropertyDataSize,
                                                 kAudioDevicePropertyStreamConfiguration));
  EXPECT_FALSE(AudioDeviceIdentity::checkHasInputChannels(hal(), unnamed));

  nlohmann::json json = info("blank").toDictionary();
  EXPECT_EQ(json.size(), 4u);
  EXPECT_EQ(json["id"], unnamed);
  EXPECT_EQ(json["hasInputChannels"], false);  // the failure is still in place
}

TEST_F(DetectorTest, BestClockSourceOrderOfRules) {
  machine().addDevice(device("usb", "USB Interface", kAudioDeviceTransportTypeUSB, {2}));
  machine().addDevice(device("usb2", "USB Two", kAudioDeviceTransportTypeUSB, {2}));
  machine().addDevice(device("thun", "Thunder", kAudioDeviceTransportTypeThunderbolt, {2}));
  machine().addDevice(device("mic", "Built-in Microphone", kAudioDeviceTransportTypeBuiltIn, {1}));
  machine().addDevice(device("fixedmic", "Built-in Microphone", kAudioDeviceTransportTypeBuiltIn,
                             {1}, ClockSourceProperty::kReadOnly));

  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("usb"), info("mic")}), "mic");
  machine().setDefaultOutputDevice("usb");
  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("usb"), info("mic")}), "usb");
  machine().setDefaultOutputDevice("thun");
  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("usb"), info("usb2")}), "usb");
  machine().setDefaultOutputDevice("usb2");
  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("usb"), info("thun")}), "thun");
  // Without a settable clock a device is never chosen, not even as microphone.
  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("fixedmic")}), std::nullopt);
  EXPECT_EQ(Detector::selectBestClockSource(hal(), {info("fixedmic"), info("usb")}), "usb");
}

TEST_F(DetectorTest, BuiltInMicrophoneMatchesNameIgnoringCaseAndNeedsInput) {
  machine().addDevice(device("out", "Built-in Output", kAudioDeviceTransportTypeBuiltIn));
  machine().addDevice(device("silent", "Built-in Microphone", kAudioDeviceTransportTypeBuiltIn));
  EXPECT_EQ(Detector::findBuiltInMicrophone(hal()), std::nullopt);

  machine().addDevice(device("internal", "INTERNAL microphone", kAudioDeviceTransportTypeUSB, {1}));
  auto found = Detector::findBuiltInMicrophone(hal());
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->uid, "internal");

  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kGetPropertyDataSize,
                                                 kAudioHardwarePropertyDevices));
  EXPECT_EQ(Detector::findBuiltInMicrophone(hal()), std::nullopt);
}

TEST_F(DetectorTest, DefaultDevicesAndExistence) {
  EXPECT_EQ(Detector::findActiveInputDevice(hal()), std::nullopt);
  machine().addDevice(device("mic", "Built-in Microphone", kAudioDeviceTransportTypeBuiltIn, {1}));
  machine().setDefaultInputDevice("mic");
  ASSERT_TRUE(Detector::findActiveInputDevice(hal()).has_value());
  EXPECT_EQ(Detector::findActiveInputDevice(hal())->uid, "mic");
  EXPECT_EQ(Detector::findActiveOutputDevice(hal()), std::nullopt);
  EXPECT_TRUE(Detector::validateDeviceExists(hal(), "mic"));
  EXPECT_FALSE(Detector::validateDeviceExists(hal(), "gone"));
}

// Every case of an aggregate device's clock validation (unset, empty, one
// that cannot clock, vanished, valid) is checked with the repair it leads to
// in AggregateClockSourceTest.
}  // namespace
}  // namespace velmar::audiohal
