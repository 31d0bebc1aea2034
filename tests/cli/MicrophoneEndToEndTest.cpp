// Microphone events and the microphone status command through the executable.
#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::Frame;
using testing::ScenarioFile;
using namespace std::chrono_literals;

constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";
constexpr const char* kBuiltInMicName = "MacBook Pro Built-in Microphone";

bool isInit(const Frame& f) { return f.kind == "INIT"; }

std::int64_t timestampOf(const Frame& frame) {
  return frame.body["data"]["timestamp"].get<std::int64_t>();
}

TEST(MicrophoneEndToEndTest, LevelsComeAboutOncePerSecondFromTheStart) {
  CliProcess cli;
  auto init = cli.frames().waitForFrame(isInit);
  ASSERT_TRUE(init);
  auto levels = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("microphoneLevel"); }, 3, 15s);
  ASSERT_EQ(levels.size(), 3u);
  // The main loop starts after INIT, and its first pass sends a level.
  EXPECT_GE(timestampOf(levels[0]), init->body["timestamp"].get<std::int64_t>());
  for (std::size_t i = 1; i < levels.size(); ++i) {
    const auto gap = timestampOf(levels[i]) - timestampOf(levels[i - 1]);
    EXPECT_GE(gap, 999);
    EXPECT_LE(gap, 5000);
  }
  for (const auto& level : levels) {
    const auto& data = level.body["data"];
    EXPECT_EQ(data["isActive"], false);
    EXPECT_EQ(data["deviceName"], "");
    EXPECT_EQ(data["deviceID"], 0);
    EXPECT_EQ(data["level"], 0);
  }
  auto debug = cli.frames().waitForEvent("monitorDebugInfo");
  ASSERT_TRUE(debug);
  EXPECT_GE(debug->body["data"]["memoryUsageMB"].get<std::int64_t>(), 1);
  // Nothing in use on the default machine: no change to report.
  for (const auto& frame : cli.frames().frames()) EXPECT_FALSE(frame.isEvent("microphoneChanged"));
}

TEST(MicrophoneEndToEndTest, AMeetingAppUsingTheMicrophoneIsReportedWithinAboutASecond) {
  ScenarioFile machine(
      {{"base", "default"},
       {"processes", {{{"pid", 2300}, {"name", "Meeting"}, {"bundleID", "org.example.meeting"}}}},
       {"timeline",
        {{{"at", 2}, {"event", "startAudio"}, {"pid", 2300}},
         {{"at", 2}, {"event", "microphoneInUse"}, {"uid", kBuiltInMic}, {"inUse", true}},
         {{"at", 4}, {"event", "microphoneInUse"}, {"uid", kBuiltInMic}, {"inUse", false}},
         {{"at", 4}, {"event", "stopAudio"}, {"pid", 2300}}}}});
  CliProcess cli(machine.options());
  auto init = cli.frames().waitForFrame(isInit);
  ASSERT_TRUE(init);
  const auto started = init->body["timestamp"].get<std::int64_t>();

  auto changes = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("microphoneChanged"); }, 2, 15s);
  ASSERT_EQ(changes.size(), 2u);
  const auto& on = changes[0].body["data"];
  EXPECT_EQ(on["isActive"], true);
  EXPECT_EQ(on["deviceName"], kBuiltInMicName);
  EXPECT_GT(on["deviceID"].get<int>(), 0);
  // Used from about 2 s after start; checked once a second.
  EXPECT_GE(timestampOf(changes[0]) - started, 1000);
  EXPECT_LE(timestampOf(changes[0]) - started, 4500);
  const auto& off = changes[1].body["data"];
  EXPECT_EQ(off["isActive"], false);
  EXPECT_EQ(off["deviceName"], "");
  EXPECT_EQ(off["deviceID"], 0);

  // The debug event names what was used before, and a level follows the
  // change while the microphone is in use.
  auto debug = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("microphoneDebugEvent"); }, 2);
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[1].body["data"]["previousName"], kBuiltInMicName);
  EXPECT_EQ(debug[1].body["data"]["previousActive"], true);
  auto activeLevel = cli.frames().waitForFrame([](const Frame& f) {
    return f.isEvent("microphoneLevel") && f.body["data"]["isActive"] == true;
  });
  ASSERT_TRUE(activeLevel);
  EXPECT_EQ(activeLevel->body["data"]["deviceName"], kBuiltInMicName);
  const double level = activeLevel->body["data"]["level"];
  EXPECT_GE(level, 0.0);
  EXPECT_LE(level, 0.5);
  EXPECT_TRUE(cli.waitForLog(std::string("Using mock audio levels for device ") + kBuiltInMicName +
                             " (real monitoring disabled)"));
}

TEST(MicrophoneEndToEndTest, StatusCommandIsAcknowledgedThenAnswered) {
  CliProcess cli;
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  cli.send({{"id", "mic-1"}, {"action", "getMicrophoneStatus"}});
  auto responses =
      cli.frames().waitForFrames([](const Frame& f) { return f.isResponse("mic-1"); }, 2);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].body["isAcknowledgment"], true);
  EXPECT_EQ(responses[0].body["data"], json::object());
  EXPECT_EQ(responses[1].body["success"], true);
  EXPECT_EQ(
      responses[1].body["data"],
      (json{{"isActive", false}, {"deviceName", ""}, {"deviceID", 0}, {"level", 0}, {"peak", 0}}));
  EXPECT_TRUE(cli.waitForLog("METRIC: Command getMicrophoneStatus (mic-1) succeeded"));
}

TEST(MicrophoneEndToEndTest, StatusCommandReportsAMicrophoneInUseWithALevel) {
  ScenarioFile machine(
      {{"base", "default"},
       {"timeline",
        {{{"at", 0}, {"event", "microphoneInUse"}, {"uid", kBuiltInMic}, {"inUse", true}}}}});
  CliProcess cli(machine.options());
  // In use once the monitor has seen it.
  ASSERT_TRUE(cli.frames().waitForEvent("microphoneChanged", 10s));
  cli.send({{"id", "mic-2"}, {"action", "getMicrophoneStatus"}});
  auto responses =
      cli.frames().waitForFrames([](const Frame& f) { return f.isResponse("mic-2"); }, 2);
  ASSERT_EQ(responses.size(), 2u);
  const auto& data = responses[1].body["data"];
  EXPECT_EQ(data["isActive"], true);
  EXPECT_EQ(data["deviceName"], kBuiltInMicName);
  EXPECT_GT(data["deviceID"].get<int>(), 0);
  const double level = data["level"];
  EXPECT_GE(level, 0.0);
  EXPECT_LE(level, 0.5);
  EXPECT_NEAR(data["peak"].get<double>(), std::min(level * 1.2, 1.0), 1e-6);
}

TEST(MicrophoneEndToEndTest, OfTwoMicrophonesInUseTheFirstListedIsReported) {
  constexpr const char* kUSB = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
  constexpr const char* kHeadset = "00-1B-66-A1-B2-C3:input";
  ScenarioFile machine(
      {{"base", "default"},
       {"timeline",
        {{{"at", 0}, {"event", "microphoneInUse"}, {"uid", kHeadset}, {"inUse", true}},
         {{"at", 0}, {"event", "microphoneInUse"}, {"uid", kUSB}, {"inUse", true}}}}});
  CliProcess cli(machine.options());
  auto changed = cli.frames().waitForEvent("microphoneChanged", 10s);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->body["data"]["deviceName"], "Studio 2i2 USB");
  cli.send({{"id", "two"}, {"action", "getMicrophoneStatus"}});
  auto responses =
      cli.frames().waitForFrames([](const Frame& f) { return f.isResponse("two"); }, 2);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[1].body["data"]["deviceName"], "Studio 2i2 USB");
  EXPECT_TRUE(cli.waitForLog(
      "(ID: " + std::to_string(changed->body["data"]["deviceID"].get<int>()) + ", Active: true)"));
  EXPECT_TRUE(cli.waitForLog("Voyager Headset (ID: "));
}

}  // namespace
}  // namespace velmar
