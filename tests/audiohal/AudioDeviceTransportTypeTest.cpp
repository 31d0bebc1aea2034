#include "audiohal/AudioDeviceTransportType.h"

#include <gtest/gtest.h>

namespace velmar::audiohal {
namespace {

TEST(FourCharCodeTest, ReadsBigEndianBothAtCompileAndRunTime) {
  static_assert(fourCharCode("bltn") == 0x626C746E);
  EXPECT_EQ(fourCharCodeFromString("usb "), 0x75736220u);
  EXPECT_EQ(fourCharCodeFromString("toolong"), std::nullopt);
  EXPECT_EQ(fourCharCodeToString(kAudioHardwarePropertyDevices), "dev#");
}

TEST(AudioDeviceTransportTypeTest, ConstructionFromRawValueIsExact) {
  EXPECT_EQ(audioDeviceTransportTypeFromRawValue(fourCharCode("bltn")),
            AudioDeviceTransportType::kBuiltin);
  EXPECT_EQ(audioDeviceTransportTypeFromRawValue(fourCharCode("thun")),
            AudioDeviceTransportType::kThunderbolt);
  EXPECT_EQ(audioDeviceTransportTypeFromRawValue(0), AudioDeviceTransportType::kUnknown);
  // An auto-aggregate reports a code outside the table.
  EXPECT_EQ(audioDeviceTransportTypeFromRawValue(fourCharCode("auto")), std::nullopt);
  EXPECT_EQ(rawValue(AudioDeviceTransportType::kAirPlay), fourCharCode("airp"));
}

TEST(AudioDeviceTransportTypeTest, PriorityAndClockSourceFollowTheTransport) {
  EXPECT_EQ(priority(AudioDeviceTransportType::kBuiltin), 100);
  EXPECT_EQ(priority(AudioDeviceTransportType::kThunderbolt), 90);
  EXPECT_EQ(priority(AudioDeviceTransportType::kUsb), 80);
  EXPECT_EQ(priority(AudioDeviceTransportType::kBluetoothLE), 35);
  EXPECT_EQ(priority(AudioDeviceTransportType::kUnknown), 0);
  EXPECT_TRUE(canBeClockSource(AudioDeviceTransportType::kUnknown));
  EXPECT_TRUE(canBeClockSource(AudioDeviceTransportType::kBluetooth));
  EXPECT_FALSE(canBeClockSource(AudioDeviceTransportType::kAggregate));
  EXPECT_FALSE(canBeClockSource(AudioDeviceTransportType::kVirtual));
  EXPECT_FALSE(canBeClockSource(AudioDeviceTransportType::kAirPlay));
}

}  // namespace
}  // namespace velmar::audiohal
