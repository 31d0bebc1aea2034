// A host learns when a stream that should sound carries only zeros, and
// why: taps without the capture authorisation, or a tap whose application
// plays digital silence; and when the signal comes back. A stream that
// sounds is never reported.
#include <string>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/RecordingConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::aggregateNamed;
using testing::ask;
using testing::CliProcess;
using testing::Frame;
using testing::ScenarioFile;
using testing::succeeds;
using namespace std::chrono_literals;

constexpr int kQuietPid = 2500;

// Music plays from the start, and so does an application that plays only
// zeros; the capture authorisation is withdrawn at 8 s and given back at 11 s
// (late enough for a slow start to have recorded a while before). A second
// device joins the microphone with a muted input.
json aMachineThatLosesItsAuthorisation() {
  json quiet = testing::scenarioProcess(kQuietPid, "Quiet", true);
  quiet["amplitude"] = 0;
  json muted = testing::scenarioAggregate("org.example.muted", "Muted");
  muted["subdevices"].push_back("MutedMic");
  json machine =
      testing::machineWith({testing::scenarioAggregate("org.example.meeting", "Meeting"), muted});
  machine["devices"] = {
      {{"uid", "MutedMic"}, {"name", "Muted Mic"}, {"inputChannels", {1}}, {"amplitude", 0}}};
  machine["processes"] = {quiet};
  machine["timeline"] = {{{"at", 8}, {"event", "setAuthorization"}, {"status", "denied"}},
                         {{"at", 11}, {"event", "setAuthorization"}, {"status", "authorized"}}};
  return machine;
}

json streamOf(const json& streams, const std::string& uid) {
  return testing::entryWith(streams, "uid", uid)["streamIndex"];
}

TEST(SilenceEndToEndTest, SilentStreamsAreReportedOnceWithTheirLikelyCauseUntilTheSignalReturns) {
  ScenarioFile file(aMachineThatLosesItsAuthorisation());
  CliProcess cli(file.options());
  const std::uint32_t meeting = ask(cli, "agg", "getAggregateDevices")["data"]["devices"][0]["id"];
  const std::string systemTap = ask(cli, "t1", "createSystemLevelTap")["data"]["uid"];
  const std::string quietTap = ask(
      cli, "t2", "createAudioTap",
      {{"config",
        {{"name", "Quiet"}, {"processes", {testing::processID(cli, kQuietPid)}}}}})["data"]["uid"];
  for (const auto& uid : {systemTap, quietTap}) {
    ASSERT_TRUE(succeeds(cli, "a-" + uid, "addTapToAggregate",
                         {{"aggregateID", meeting}, {"tapUID", uid}}));
  }
  // Streaming stays off: silence is reported for every recording.
  ASSERT_TRUE(succeeds(cli, "r", "startRecording"));
  const auto started = cli.frames().waitForEvent("recordingStarted", 10s);
  ASSERT_TRUE(started);
  const json streams = started->body["data"]["streams"];
  ASSERT_EQ(streams.size(), 3u) << streams.dump();
  const auto everything = streamOf(streams, systemTap);
  const auto quiet = streamOf(streams, quietTap);
  ASSERT_TRUE(everything.is_number() && quiet.is_number()) << streams.dump();

  const auto detected = [](std::uint32_t stream) {
    return [stream](const Frame& f) {
      return f.isEvent("audioSilenceDetected") && f.body["data"]["streamIndex"] == stream;
    };
  };
  // The application that plays zeros while the others are heard: the
  // audio does not reach that tap.
  const auto zeros = cli.frames().waitForFrame(detected(quiet), 20s);
  ASSERT_TRUE(zeros);
  EXPECT_EQ(zeros->body["data"]["likelyCause"], "route") << zeros->body.dump();
  EXPECT_GE(zeros->body["data"]["seconds"], 2.0);

  // Without the authorisation every tap carries zeros: the cause is the
  // permission, and the tap is heard again once it is given back.
  const auto withheld = cli.frames().waitForFrame(detected(everything), 20s);
  ASSERT_TRUE(withheld);
  EXPECT_EQ(withheld->body["data"]["likelyCause"], "permission") << withheld->body.dump();
  const auto restored = cli.frames().waitForFrame(
      [&](const Frame& f) { return f.isEvent("audioSignalRestored"); }, 20s);
  ASSERT_TRUE(restored);
  EXPECT_EQ(restored->body["data"]["streamIndex"], everything);
  EXPECT_GE(restored->body["data"]["silentSeconds"], 2.0);
  EXPECT_LT(restored->body["data"]["silentSeconds"], 10.0);
  ASSERT_TRUE(succeeds(cli, "s", "stopRecording"));

  // Once each: the microphone, which always sounded, never; the quiet tap,
  // still silent, is not said to be restored.
  const json silences = testing::eventData(cli, "audioSilenceDetected");
  ASSERT_EQ(silences.size(), 2u) << silences.dump();
  EXPECT_EQ(silences[0]["streamIndex"], quiet);
  EXPECT_EQ(silences[1]["streamIndex"], everything);
  EXPECT_EQ(testing::eventData(cli, "audioSignalRestored").size(), 1u);

  // A running input that delivers zeros while the microphone is heard: the
  // device is the likely cause.
  const json muted = aggregateNamed(cli, "Muted");
  ASSERT_TRUE(succeeds(cli, "r2", "startRecording", {{"deviceID", muted["id"]}}));
  const auto starts = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("recordingStarted"); }, 2, 10s);
  ASSERT_EQ(starts.size(), 2u);
  const auto mutedStream = streamOf(starts[1].body["data"]["streams"], "MutedMic");
  ASSERT_TRUE(mutedStream.is_number()) << starts[1].body.dump();
  const auto silentDevice = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("audioSilenceDetected"); }, 3, 20s);
  ASSERT_EQ(silentDevice.size(), 3u);
  EXPECT_EQ(silentDevice[2].body["data"]["streamIndex"], mutedStream);
  EXPECT_EQ(silentDevice[2].body["data"]["likelyCause"], "device") << silentDevice[2].body.dump();
}

}  // namespace
}  // namespace velmar
