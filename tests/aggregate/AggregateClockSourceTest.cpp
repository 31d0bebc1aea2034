// Clock sources of aggregate devices: repair at load, re-clocking after a
// Bluetooth arrival and after default-device switches, failed writes.
#include <gtest/gtest.h>

#include "aggregate/AggregateTestMachine.h"

namespace velmar {
namespace {

using audiohal::AudioObjectID;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyMainSubDevice;
using audiohal::kAudioDeviceTransportTypeAirPlay;
using audiohal::kAudioDeviceTransportTypeBluetooth;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::UInt32;
using testing::Frame;
using testing::kHeadsetUID;
using testing::kMicrophoneUID;
using testing::kSpeakerUID;
using testing::kUSBUID;

// An output device, two channels wide.
sim::SimulatedDeviceConfig speaker(std::string uid, std::string name, UInt32 transport,
                                   std::vector<UInt32> inputs = {}) {
  return testing::simulatedDevice(std::move(uid), std::move(name), transport, std::move(inputs),
                                  {2});
}

using AggregateClockSourceTest = testing::AggregateTestMachine;

TEST_F(AggregateClockSourceTest, LoadRepairsInvalidClocksTowardsTheBuiltInMicrophone) {
  machine().addDevice(speaker("airplay", "Living Room", kAudioDeviceTransportTypeAirPlay));
  const AudioObjectID gone = makeAggregate("Gone Clock", "agg-gone", kHeadsetUID);
  const AudioObjectID airplay = makeAggregate("AirPlay Clock", "agg-air", "airplay");
  const AudioObjectID empty = makeAggregate("Empty Clock", "agg-empty", "");
  const AudioObjectID unset = makeAggregate("Unset Clock", "agg-unset");
  const AudioObjectID good = makeAggregate("Good Clock", "agg-good", kUSBUID);
  ASSERT_TRUE(machine().removeDevice(kHeadsetUID));

  auto manager = makeManager();
  EXPECT_TRUE(output_.waitForLog("🔍 Validating clock sources for 5 aggregate devices"));
  // A vanished clock device, one that cannot clock, none at all.
  for (const auto& [name, id] : {std::pair{"Gone Clock", gone}, std::pair{"AirPlay Clock", airplay},
                                 std::pair{"Unset Clock", unset}}) {
    EXPECT_TRUE(output_.waitForLog("⚠️ Aggregate device '" + std::string(name) +
                                   "' has invalid clock source"));
    EXPECT_TRUE(output_.waitForLog("✅ Fixed clock source for '" + std::string(name) +
                                   "' - now using '" + kMicrophoneUID + "'"));
    EXPECT_EQ(clockOf(id), kMicrophoneUID) << name;
  }
  // An empty clock UID is invalid without a suggestion: only the warning.
  EXPECT_TRUE(output_.waitForLog("⚠️ Aggregate device 'Empty Clock' has invalid clock source"));
  EXPECT_EQ(clockOf(empty), "");
  EXPECT_TRUE(output_.waitForLog("✅ Aggregate device 'Good Clock' has valid clock source: " +
                                 std::string(kUSBUID)));
  EXPECT_EQ(clockOf(good), kUSBUID);
  EXPECT_FALSE(logged("Attempting to fix clock source for 'Empty Clock'"));
  EXPECT_FALSE(logged("Attempting to fix clock source for 'Good Clock'"));
}

// Nor does a new aggregate device name a main device.
TEST_F(AggregateClockSourceTest, WithoutAMicrophoneAnInvalidClockOnlyWarns) {
  const AudioObjectID gone = makeAggregate("Gone Clock", "agg-gone", kHeadsetUID);
  ASSERT_TRUE(machine().removeDevice(kHeadsetUID));
  ASSERT_TRUE(machine().removeDevice(kMicrophoneUID));
  auto manager = makeManager();
  EXPECT_TRUE(output_.waitForLog("⚠️ Aggregate device 'Gone Clock' has invalid clock source"));
  EXPECT_FALSE(logged("Attempting to fix clock source"));
  EXPECT_EQ(clockOf(gone), kHeadsetUID);

  const AudioObjectID id = manager->createAggregateDevice();
  ASSERT_NE(id, 0u);
  std::optional<std::string> main;
  hal().getProperty(id, globalAddress(kAudioAggregateDevicePropertyMainSubDevice), main);
  EXPECT_FALSE(main.has_value() && !main->empty());
  EXPECT_TRUE(
      output_.waitForLog("⚠️ Could not find built-in microphone - aggregate device may need "
                         "manual configuration"));
}

TEST_F(AggregateClockSourceTest, FailedClockWritesAreLoggedWithTheirStatus) {
  makeAggregate("Gone Clock", "agg-gone", kHeadsetUID);
  ASSERT_TRUE(machine().removeDevice(kHeadsetUID));
  machine().injectFailure(sim::FailureRule::when(
      sim::HalOperation::kSetPropertyData, kAudioAggregateDevicePropertyClockDevice, std::nullopt,
      kAudioHardwareIllegalOperationError));
  const std::string status = std::to_string(kAudioHardwareIllegalOperationError);
  auto manager = makeManager();
  EXPECT_TRUE(output_.waitForLog("❌ Failed to fix clock source for 'Gone Clock': error " + status));

  // Adding a device still succeeds when its clock cannot be set.
  const AudioObjectID created = manager->createAggregateDevice();
  ASSERT_NE(created, 0u);
  EXPECT_TRUE(manager->addDeviceToAggregate(created, kMicrophoneUID));
  EXPECT_TRUE(output_.waitForLog("❌ Failed to set clock source: " + status));
  EXPECT_NE(clockOf(created), kMicrophoneUID);
}

using AggregateReclockingTest = testing::AggregateListeningMachine;

TEST_F(AggregateReclockingTest, ABluetoothArrivalReclocksFromAllDevices) {
  // No suggestion exists for an empty clock UID: the switch picks the best
  // device of the whole machine.
  const AudioObjectID aggregate = makeAggregate("Empty Clock", "agg-empty", "");
  startManager();
  machine().addDevice(speaker("earbuds", "Earbuds", kAudioDeviceTransportTypeBluetooth, {1}));
  EXPECT_TRUE(output_.waitForLog("🔄 Detected potential device switch (Bluetooth device change)"));
  EXPECT_TRUE(
      output_.waitForLog("⚠️ Aggregate device 'Empty Clock' needs clock source update"));
  EXPECT_TRUE(output_.waitForLog("✅ Updated clock source for aggregate device " +
                                 std::to_string(aggregate) + " to '" + kMicrophoneUID + "'"));
  EXPECT_EQ(clockOf(aggregate), kMicrophoneUID);
}

TEST_F(AggregateReclockingTest, ADefaultDeviceSwitchReclocksAndAnnouncesBothListsEachTime) {
  const AudioObjectID aggregate = makeAggregate("Meeting", "agg-meeting", kMicrophoneUID);
  startManager();
  // The headset cannot clock (read-only clock source).
  ASSERT_EQ(
      hal().setPropertyData(aggregate, globalAddress(kAudioAggregateDevicePropertyClockDevice),
                            std::string(kHeadsetUID)),
      0);

  // A headset taking over input and output notifies twice.
  ASSERT_TRUE(machine().setDefaultOutputDevice(kHeadsetUID));
  ASSERT_TRUE(machine().setDefaultInputDevice(kHeadsetUID));
  ASSERT_TRUE(output_.err().waitFor(
      [](const std::vector<std::string>& lines) {
        return testing::countContaining(
                   lines, "🔄 Default device changed - updating aggregate device configurations") ==
               2;
      },
      std::chrono::seconds(5)));
  EXPECT_TRUE(output_.waitForLog("Active output device: Voyager Headset (" +
                                 std::string(kHeadsetUID) + ")"));
  EXPECT_TRUE(output_.waitForLog("Active input device: Voyager Headset (" +
                                 std::string(kHeadsetUID) + ")"));
  EXPECT_TRUE(output_.waitForLog("✅ Updated clock source for aggregate device " +
                                 std::to_string(aggregate) + " to '" + kMicrophoneUID + "'"));
  EXPECT_EQ(clockOf(aggregate), kMicrophoneUID);

  auto lists = output_.frames().waitForFrames(
      [](const Frame& f) {
        return f.isEvent("audioDeviceList") || f.isEvent("aggregateDeviceList");
      },
      4);
  ASSERT_EQ(lists.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(lists[i].isEvent(i % 2 == 0 ? "audioDeviceList" : "aggregateDeviceList")) << i;
  }

  // And back: logged and announced even though no clock changes.
  ASSERT_TRUE(machine().setDefaultOutputDevice(kSpeakerUID));
  EXPECT_TRUE(output_.waitForLog("Active output device: MacBook Pro Built-in Output (" +
                                 std::string(kSpeakerUID) + ")"));
  EXPECT_EQ(output_.frames()
                .waitForFrames([](const Frame& f) { return f.isEvent("aggregateDeviceList"); }, 3)
                .size(),
            3u);
  EXPECT_EQ(testing::eventsSoFar(output_, "audioDeviceList").size(), 3u);
}

}  // namespace
}  // namespace velmar
