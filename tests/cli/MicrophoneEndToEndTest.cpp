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
  // Before the meeting: acknowledged, then answered with nothing in use.
  const auto status = [&](const std::string& id) {
    cli.send({{"id", id}, {"action", "getMicrophoneStatus"}});
    auto responses =
        cli.frames().waitForFrames([&](const Frame& f) { return f.isResponse(id); }, 2);
    EXPECT_EQ(responses.size(), 2u);
    if (responses.size() != 2) return json();
    EXPECT_EQ(responses[0].body["isAcknowledgment"], true);
    EXPECT_EQ(responses[0].body["data"], json::object());
    EXPECT_EQ(responses[1].body["success"], true);
    return responses[1].body["data"];
  };
  EXPECT_EQ(
      status("before"),
      (json{{"isActive", false}, {"deviceName", ""}, {"deviceID", 0}, {"level", 0}, {"peak", 0}}));
  EXPECT_TRUE(cli.waitForLog("METRIC: Command getMicrophoneStatus (before) succeeded"));

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

  // A level follows the change while the microphone is in use; the debug
  // report's previous microphone is the monitor's test.
  auto activeLevel = cli.frames().waitForFrame([](const Frame& f) {
    return f.isEvent("microphoneLevel") && f.body["data"]["isActive"] == true;
  });
  ASSERT_TRUE(activeLevel);
  EXPECT_EQ(activeLevel->body["data"]["deviceName"], kBuiltInMicName);
  const double level = activeLevel->body["data"]["level"];
  EXPECT_GE(level, 0.0);
  EXPECT_LE(level, 0.5);
}

}  // namespace
}  // namespace velmar
