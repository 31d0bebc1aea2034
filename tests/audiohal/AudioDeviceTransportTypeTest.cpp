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

}  // namespace
}  // namespace velmar::audiohal
