// The aggregate device manager against the simulated machine: lists,
// creation, composition, the current and protected device, and the reactions
// to device-list changes.
#include "aggregate/AggregateDeviceManager.h"

#include <chrono>
#include <regex>

#include <gtest/gtest.h>

#include "aggregate/AggregateTestMachine.h"

namespace velmar {
namespace {

using audiohal::AudioObjectID;
using audiohal::globalAddress;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioDeviceTransportTypeUSB;
using audiohal::kAudioHardwareBadDeviceError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareUnspecifiedError;
using audiohal::kAudioTapPropertyUID;
using nlohmann::json;
using testing::Frame;
using testing::kMicrophoneUID;
using testing::kUSBUID;

using AggregateDeviceManagerTest = testing::AggregateTestMachine;

bool isListWith(const Frame& frame, AudioObjectID current, AudioObjectID protectedID) {
  return frame.isEvent("aggregateDeviceList") && frame.body["data"]["currentDeviceID"] == current &&
         frame.body["data"]["protectedDeviceID"] == protectedID;
}

TEST_F(AggregateDeviceManagerTest, ListsHoldPlainDevicesAndAggregatesApartSortedByName) {
  const AudioObjectID zulu = makeAggregate("Zulu", "agg-z");
  const AudioObjectID alpha = makeAggregate("Alpha", "agg-a", std::nullopt, {kMicrophoneUID});
  auto manager = makeManager();

  std::vector<std::string> names;
  for (const auto& device : manager->getAllDevices()) names.push_back(device.name);
  EXPECT_EQ(names, (std::vector<std::string>{"MacBook Pro Built-in Microphone",
                                             "MacBook Pro Built-in Output", "Studio 2i2 USB",
                                             "Voyager Headset"}));
  const auto aggregates = manager->getAllAggregateDevices();
  ASSERT_EQ(aggregates.size(), 2u);
  EXPECT_EQ(aggregates[0].id, alpha);
  EXPECT_EQ(aggregates[1].id, zulu);
  EXPECT_EQ(aggregates[0].toDictionary(), (json{{"id", alpha},
                                                {"uid", "agg-a"},
                                                {"name", "Alpha"},
                                                {"deviceList", {kMicrophoneUID}},
                                                {"tapList", json::array()},
                                                {"isPrivate", false},
                                                {"autoStart", false},
                                                {"autoStop", false}}));
  // The first in the HAL's order becomes current, not the first by name.
  EXPECT_EQ(manager->currentAggregateDeviceID(), zulu);
  EXPECT_EQ(manager->firstAggregateDevice()->id, alpha);
  EXPECT_TRUE(output_.waitForLog("Found 2 aggregate devices in system:"));
  EXPECT_TRUE(output_.waitForLog("  - Aggregate device: Zulu (ID: " + std::to_string(zulu) +
                                 ", UID: agg-z)"));

  // The quick check asks the HAL; the stored list lags until the next load.
  const AudioObjectID late = makeAggregate("Late", "agg-late");
  for (AudioObjectID id : {zulu, alpha}) ASSERT_EQ(hal().destroyAggregateDevice(id), 0);
  EXPECT_TRUE(manager->checkAggregateDevice());
  EXPECT_EQ(manager->getAllAggregateDevices().size(), 2u);
  ASSERT_EQ(hal().destroyAggregateDevice(late), 0);
  EXPECT_FALSE(manager->checkAggregateDevice());
  EXPECT_TRUE(output_.waitForLog("No aggregate devices found (quick check)"));
}

TEST_F(AggregateDeviceManagerTest, CreationUsesSafeDefaults) {
  auto manager = makeManager();
  using std::chrono::system_clock;
  const auto before = system_clock::to_time_t(system_clock::now());
  const AudioObjectID id = manager->createAggregateDevice();
  const auto after = system_clock::to_time_t(system_clock::now());
  ASSERT_NE(id, 0u);

  const auto devices = manager->getAllAggregateDevices();
  ASSERT_EQ(devices.size(), 1u);
  const auto& device = devices[0];
  std::smatch match;
  ASSERT_TRUE(std::regex_match(device.name, match, std::regex("Orvina Aggregate Device (\\d+)")));
  const auto seconds = std::stoll(match[1]);
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_TRUE(std::regex_match(
      device.uid, std::regex("com\\.velmar\\.audio\\.aggregatedevice\\.[0-9A-F]{8}-[0-9A-F]{4}-"
                             "4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));

  // Private, no auto-start, the microphone named as main device but not
  // yet a sub-device.
  std::optional<json> composition;
  hal().getProperty(id, globalAddress(kAudioAggregateDevicePropertyComposition), composition);
  ASSERT_TRUE(composition);
  EXPECT_EQ((*composition)["private"], true);
  EXPECT_EQ((*composition)["tapautostart"], false);
  EXPECT_EQ((*composition)["master"], kMicrophoneUID);
  EXPECT_TRUE((*composition)["subdevices"].empty());
  EXPECT_TRUE((*composition)["taps"].empty());
  EXPECT_TRUE(device.isPrivate);
  EXPECT_FALSE(device.autoStart);

  // Not made current by creation. The store and the announcement are
  // checked through the executable.
  EXPECT_EQ(manager->currentAggregateDeviceID(), 0u);
  EXPECT_TRUE(output_.waitForLog(
      "✅ Found built-in microphone 'MacBook Pro Built-in Microphone' to use as main device"));
}

TEST_F(AggregateDeviceManagerTest, RefusedCreationAppendsNothingAndSavesNothing) {
  auto manager = makeManager();
  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kCreateAggregateDevice,
                                                 std::nullopt, std::nullopt,
                                                 kAudioHardwareUnspecifiedError));
  EXPECT_EQ(manager->createAggregateDevice(), 0u);
  EXPECT_TRUE(manager->getAllAggregateDevices().empty());
  EXPECT_FALSE(readFile(storePath_).has_value());
  EXPECT_TRUE(output_.waitForLog("Failed to create aggregate device. Error status: " +
                                 std::to_string(kAudioHardwareUnspecifiedError)));
  EXPECT_TRUE(testing::eventsSoFar(output_, "aggregateDeviceList").empty());
}

TEST_F(AggregateDeviceManagerTest, CompositionChangesRewriteTheListsAndReselectTheClock) {
  auto manager = makeManager();
  const AudioObjectID id = manager->createAggregateDevice();
  ASSERT_NE(id, 0u);

  EXPECT_TRUE(manager->addDeviceToAggregate(id, kUSBUID));
  EXPECT_EQ(clockOf(id), kUSBUID);
  // A second device: the built-in microphone wins the clock.
  EXPECT_TRUE(manager->addDeviceToAggregate(id, kMicrophoneUID));
  EXPECT_EQ(clockOf(id), kMicrophoneUID);
  EXPECT_TRUE(output_.waitForLog("📍 Setting '" + std::string(kMicrophoneUID) +
                                 "' as clock source for aggregate device"));
  // Adding one that is there already writes the same list and succeeds.
  EXPECT_TRUE(manager->addDeviceToAggregate(id, kMicrophoneUID));
  EXPECT_EQ(manager->getAllAggregateDevices()[0].deviceList,
            (std::set<std::string>{kMicrophoneUID, kUSBUID}));

  audiohal::CATapDescription tap;
  tap.name = "System";
  tap.isExclusive = true;
  const AudioObjectID tapID = machine().createForeignTap(tap);
  std::string tapUID;
  hal().getProperty(tapID, globalAddress(kAudioTapPropertyUID), tapUID);
  ASSERT_FALSE(tapUID.empty());
  EXPECT_TRUE(manager->addTapToAggregate(id, tapUID));
  EXPECT_EQ(manager->getAllAggregateDevices()[0].tapList, (std::set<std::string>{tapUID}));
  EXPECT_TRUE(output_.waitForLog("Successfully added tap " + tapUID + " to aggregate device " +
                                 std::to_string(id)));

  // Removing what is not there succeeds; removing what is there takes it out.
  EXPECT_TRUE(manager->removeTapFromAggregate(id, "no-such-tap"));
  EXPECT_TRUE(manager->removeDeviceFromAggregate(id, kUSBUID));
  EXPECT_TRUE(manager->removeTapFromAggregate(id, tapUID));
  const auto device = manager->getAllAggregateDevices()[0];
  EXPECT_EQ(device.deviceList, (std::set<std::string>{kMicrophoneUID}));
  EXPECT_TRUE(device.tapList.empty());

  EXPECT_TRUE(manager->configureAggregateDevice(id, false, true));
  EXPECT_FALSE(manager->getAllAggregateDevices()[0].isPrivate);
  EXPECT_TRUE(manager->getAllAggregateDevices()[0].autoStart);

  // A plain device has no sub-device list: false, and no log line.
  const AudioObjectID microphone = machine().deviceID(kMicrophoneUID);
  EXPECT_FALSE(manager->addDeviceToAggregate(microphone, kUSBUID));
  EXPECT_FALSE(manager->configureAggregateDevice(microphone, true, true));
  EXPECT_FALSE(logged("Failed to add device"));

  // A refused write is reported with its status.
  machine().injectFailure(sim::FailureRule::when(sim::HalOperation::kSetPropertyData,
                                                 kAudioAggregateDevicePropertyTapList, id,
                                                 kAudioHardwareIllegalOperationError, 1));
  EXPECT_FALSE(manager->addTapToAggregate(id, tapUID));
  EXPECT_TRUE(output_.waitForLog("Failed to add tap to aggregate device. Error: " +
                                 std::to_string(kAudioHardwareIllegalOperationError)));
}

TEST_F(AggregateDeviceManagerTest, DestroyingTheCurrentDeviceClearsItAndSavesTheRest) {
  auto manager = makeManager();
  const AudioObjectID first = manager->createAggregateDevice();
  const AudioObjectID second = manager->createAggregateDevice();
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  manager->setCurrentDevice(first);
  ASSERT_TRUE(
      output_.frames().waitForFrame([&](const Frame& f) { return isListWith(f, first, 0); }));

  manager->setActiveRecordingDevice(first);
  EXPECT_TRUE(manager->destroyAggregateDevice(first));
  // Protection neither stops destruction nor is cleared by it.
  EXPECT_EQ(manager->currentAggregateDeviceID(), 0u);
  EXPECT_EQ(manager->protectedDeviceID(), first);
  ASSERT_TRUE(output_.frames().waitForFrame(
      [&](const Frame& f) { return isListWith(f, 0, first) && f.body["data"]["count"] == 1; }));
  EXPECT_EQ(json::parse(readFile(storePath_).value())["deviceIDs"], json::array({second}));

  EXPECT_FALSE(manager->destroyAggregateDevice(first));
  EXPECT_TRUE(output_.waitForLog("Failed to destroy aggregate device. Error: " +
                                 std::to_string(kAudioHardwareBadDeviceError)));
  manager->clearActiveRecordingDevice();
  manager->clearActiveRecordingDevice();
  EXPECT_TRUE(
      output_.waitForLog("Clearing protected recording device ID: " + std::to_string(first)));
  EXPECT_TRUE(output_.waitForLog("Clearing protected recording device ID: 0"));
}

using AggregateListeningTest = testing::AggregateListeningMachine;

TEST_F(AggregateListeningTest, AVanishedCurrentDeviceIsReplacedUnlessProtected) {
  const AudioObjectID first = makeAggregate("First", "agg-1");
  const AudioObjectID second = makeAggregate("Second", "agg-2");
  const AudioObjectID third = makeAggregate("Third", "agg-3");
  startManager();
  ASSERT_EQ(manager_->currentAggregateDeviceID(), first);

  // Unprotected: the next one in the HAL's order takes over.
  ASSERT_EQ(hal().destroyAggregateDevice(first), 0);
  EXPECT_TRUE(output_.waitForLog("Current aggregate device ID " + std::to_string(first) +
                                 " no longer exists, resetting"));
  EXPECT_TRUE(output_.waitForLog("Aggregate device list changed: +0 -1"));
  ASSERT_TRUE(
      output_.frames().waitForFrame([&](const Frame& f) { return isListWith(f, second, 0); }));

  // Protected: it stays current while it is gone.
  manager_->setActiveRecordingDevice(second);
  ASSERT_EQ(hal().destroyAggregateDevice(second), 0);
  EXPECT_TRUE(output_.waitForLog("Preserving current aggregate device ID " +
                                 std::to_string(second) +
                                 " despite change because it's protected for recording"));
  ASSERT_TRUE(output_.frames().waitForFrame([&](const Frame& f) {
    return isListWith(f, second, second) && f.body["data"]["count"] == 1;
  }));
  ASSERT_EQ(hal().destroyAggregateDevice(third), 0);
  EXPECT_TRUE(output_.waitForLog("Preserving current aggregate device ID " +
                                 std::to_string(second) +
                                 " despite no devices found because it's protected for recording"));
  ASSERT_TRUE(output_.frames().waitForFrame([&](const Frame& f) {
    return isListWith(f, second, second) && f.body["data"]["count"] == 0;
  }));
  EXPECT_EQ(manager_->currentAggregateDeviceID(), second);
}

TEST_F(AggregateListeningTest, PlainDeviceChangesAnnounceOnlyTheDeviceList) {
  startManager();
  machine().addDevice(
      testing::simulatedDevice("usb-2", "Second Interface", kAudioDeviceTransportTypeUSB, {2}));
  auto event = output_.frames().waitForEvent("audioDeviceList");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->body["data"]["count"], 5);
  EXPECT_TRUE(output_.waitForLog("Device list changed: +1 -0"));
  // Not Bluetooth: no re-clocking; no aggregate change: no aggregate event.
  EXPECT_FALSE(logged("Detected potential device switch"));
  EXPECT_TRUE(testing::eventsSoFar(output_, "aggregateDeviceList").empty());
}

}  // namespace
}  // namespace velmar
