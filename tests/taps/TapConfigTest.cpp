#include "taps/TapConfig.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "taps/AudioTapInfo.h"
#include "taps/AudioTapManager.h"

namespace velmar {

// Readable failure messages: the coded form instead of raw bytes.
static void PrintTo(const TapConfig& config, std::ostream* out) { *out << config.encode().dump(); }

namespace {

using audiohal::CATapDescription;
using audiohal::CATapMuteBehavior;
using nlohmann::json;

TapConfig everySettingChanged() {
  TapConfig config;
  config.name = "Meeting";
  config.processes = {51, 7, 1200};
  config.isPrivate = true;
  config.mute = TapMute::mutedWhenTapped;
  config.mixdown = TapMixdown::stereo;
  config.exclusive = true;
  config.device = "BuiltInSpeakerDevice";
  config.streamIndex = 3;
  return config;
}

// That the device and stream index appear only when set, a stream index of
// zero included, is checked on the tap commands' answers end to end.
TEST(TapConfigTest, EachMixdownSetsBothFlagsAndReadsBack) {
  struct Case {
    TapMixdown mixdown;
    bool isMixdown;
    bool isMono;
  };
  for (const Case& c : {Case{TapMixdown::mono, true, true}, Case{TapMixdown::stereo, true, false},
                        Case{TapMixdown::deviceFormat, false, false}}) {
    TapConfig config;
    config.mixdown = c.mixdown;
    const CATapDescription made = config.makeDescription();
    EXPECT_EQ(made.isMixdown, c.isMixdown) << description(c.mixdown);
    EXPECT_EQ(made.isMono, c.isMono) << description(c.mixdown);
    EXPECT_EQ(TapConfig::fromDescription(made).mixdown, c.mixdown);
  }
  // Not mixed down is the device format, whatever the mono flag says; an
  // unknown mute behaviour reads as unmuted.
  CATapDescription odd;
  odd.isMixdown = false;
  odd.isMono = true;
  odd.muteBehavior = static_cast<CATapMuteBehavior>(7);
  const TapConfig read = TapConfig::fromDescription(odd);
  EXPECT_EQ(read.mixdown, TapMixdown::deviceFormat);
  EXPECT_EQ(read.mute, TapMute::unmuted);
}

TEST(TapConfigTest, ADescriptionCarriesEverySettingAndReadsBackTheSame) {
  const TapConfig config = everySettingChanged();
  const CATapDescription description = config.makeDescription();
  EXPECT_EQ(description.name, "Meeting");
  EXPECT_EQ(std::set<AudioObjectID>(description.processes.begin(), description.processes.end()),
            config.processes);
  EXPECT_TRUE(description.isPrivate);
  EXPECT_EQ(description.muteBehavior, CATapMuteBehavior::kMutedWhenTapped);
  EXPECT_TRUE(description.isExclusive);
  EXPECT_EQ(description.deviceUID, "BuiltInSpeakerDevice");
  EXPECT_EQ(description.stream, 3u);
  EXPECT_EQ(TapConfig::fromDescription(description), config);
  EXPECT_EQ(TapConfig::fromDescription(TapConfig().makeDescription()), TapConfig());
}

TEST(TapConfigTest, UpdatingADescriptionOverwritesEverythingButItsIdentity) {
  CATapDescription current = everySettingChanged().makeDescription();
  current.uuid = "TAP-UUID";
  TapConfig plain;
  plain.applyTo(current);
  EXPECT_EQ(current.uuid, "TAP-UUID");
  EXPECT_FALSE(current.deviceUID);
  EXPECT_FALSE(current.stream);
  EXPECT_EQ(TapConfig::fromDescription(current), plain);
}

TEST(TapConfigTest, CodedFormRoundTripsWithoutTheDisplayNames) {
  const TapConfig config = everySettingChanged();
  const json coded = config.encode();
  EXPECT_FALSE(coded.contains("muteName"));
  EXPECT_FALSE(coded.contains("mixdownName"));
  EXPECT_EQ(coded["mute"], 2);
  EXPECT_EQ(TapConfig::decode(coded), config);

  const json plain = TapConfig().encode();
  EXPECT_FALSE(plain.contains("device"));
  EXPECT_FALSE(plain.contains("streamIndex"));
  EXPECT_EQ(TapConfig::decode(plain), TapConfig());
}

TEST(TapConfigTest, StrictDecodingFailsWholeOnAnyBadRequiredKey) {
  const json good = everySettingChanged().encode();
  for (const char* key : {"name", "processes", "isPrivate", "mute", "mixdown", "exclusive"}) {
    json missing = good;
    missing.erase(key);
    EXPECT_FALSE(TapConfig::decode(missing)) << "without " << key;
  }
  // Each key with the values it must refuse.
  const json bad = json::parse(R"({"name": [5], "processes": [[1, "x"], [-1], [4294967296]],
      "isPrivate": [1], "exclusive": ["true"], "mute": [3, 1.5], "mixdown": [-1],
      "device": [12], "streamIndex": [-2]})");
  for (const auto& [key, values] : bad.items()) {
    for (const auto& value : values) {
      json changed = good;
      changed[key] = value;
      EXPECT_FALSE(TapConfig::decode(changed)) << key << " " << value;
    }
  }
  EXPECT_FALSE(TapConfig::decode(json::array()));
  // The optional keys may be missing (or null) on reading.
  json sparse = good;
  sparse.erase("device");
  sparse["streamIndex"] = nullptr;
  auto decoded = TapConfig::decode(sparse);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->device);
  EXPECT_FALSE(decoded->streamIndex);
}

// Whole formats are checked on the tap commands' answers.
TEST(AudioTapInfoTest, FormatTextTruncatesTheRate) {
  EXPECT_EQ(AudioTapManager::formatText(audiohal::makeFloatFormat(44100.9, 1)),
            "1 channels at 44100Hz");
  audiohal::AudioStreamBasicDescription broken;
  broken.mSampleRate = std::nan("");
  broken.mChannelsPerFrame = 4294967295u;
  EXPECT_EQ(AudioTapManager::formatText(broken), "4294967295 channels at 0Hz");
}

}  // namespace
}  // namespace velmar
