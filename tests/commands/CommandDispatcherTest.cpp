#include "commands/CommandDispatcher.h"

#include <thread>

#include <gtest/gtest.h>

#include "commands/CLIError.h"
#include "commands/CommandError.h"
#include "platform/PlatformError.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CapturedOutput;
using testing::Frame;
using namespace std::chrono_literals;

std::vector<Frame> responsesFor(const CapturedOutput& captured, const std::string& id,
                                std::size_t count, std::chrono::milliseconds timeout = 5s) {
  return captured.frames().waitForFrames([&](const Frame& f) { return f.isResponse(id); }, count,
                                         timeout);
}

TEST(CommandDispatcherTest, QuickQueryIsAcknowledgedBeforeTheHandlerAnswers) {
  CapturedOutput captured;
  EventEmitter emitter;
  CommandDispatcher dispatcher(emitter);
  CommandDispatcher::Handler handler = [&] {
    emitter.sendResponse("7", true, json{{"devices", json::array()}});
  };
  dispatcher.execute("7", "getAudioDevices", &handler);
  auto frames = responsesFor(captured, "7", 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(
      frames[0].body,
      json({{"id", "7"}, {"success", true}, {"isAcknowledgment", true}, {"data", json::object()}}));
  EXPECT_EQ(frames[1].body["data"], json({{"devices", json::array()}}));
  EXPECT_TRUE(captured.waitForLog("Executing command with ID 7: getAudioDevices"));
  EXPECT_TRUE(captured.waitForLog("METRIC: Command getAudioDevices (7) succeeded in "));
}

TEST(CommandDispatcherTest, UnsupportedActionIsAnExecutionError) {
  CapturedOutput captured;
  CommandDispatcher dispatcher{EventEmitter()};
  dispatcher.execute("1", "getRecordings", nullptr);  // acknowledged, then refused
  dispatcher.execute("2", "noSuchAction", nullptr);
  auto recordings = responsesFor(captured, "1", 2);
  ASSERT_EQ(recordings.size(), 2u);
  EXPECT_EQ(recordings[1].body["code"], "execution_error");
  auto unknown = captured.frames().waitForResponse("2");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->body,
            json({{"id", "2"},
                  {"success", false},
                  {"error", "Command execution error: Unsupported action: noSuchAction"},
                  {"code", "execution_error"}}));
  EXPECT_TRUE(captured.waitForLog(
      "Command execution error: Command execution error: Unsupported action: noSuchAction"));
  EXPECT_TRUE(captured.waitForLog("METRIC: Command getRecordings (1) failed in"));
  EXPECT_TRUE(
      captured.waitForLog("Command 2 failed with error: Command execution error: "
                          "Unsupported action: noSuchAction [code: execution_error]"));
  // No acknowledgment for an action outside the quick queries.
  EXPECT_EQ(responsesFor(captured, "2", 2, 200ms).size(), 1u);
}

TEST(CommandDispatcherTest, FailuresAreAnsweredByKind) {
  CapturedOutput captured;
  CommandDispatcher dispatcher{EventEmitter()};
  const struct {
    std::string id;
    CommandDispatcher::Handler handler;
    std::string code;
    std::string error;
  } cases[] = {{"a", [] { throw CommandError::missingParameter("name"); }, "missing_parameter",
                "Missing required parameter: name"},
               {"b", [] { throw platform::PlatformError("com.x.y", 5, "Device fell over"); },
                "system_error_com_x_y_5", "System error: Device fell over"},
               {"c", [] { throw platform::PlatformError("RecorderError", -50, "x"); },
                "system_error_RecorderError_-50", "System error: x"},
               {"d", [] { throw std::runtime_error("boom"); }, "unexpected_error",
                "Unexpected error: boom"}};
  for (const auto& c : cases) dispatcher.execute(c.id, "ping", &c.handler);
  for (const auto& c : cases) {
    auto response = captured.frames().waitForResponse(c.id);
    ASSERT_TRUE(response) << c.id;
    EXPECT_EQ(response->body["code"], c.code);
    EXPECT_EQ(response->body["error"], c.error);
  }
  EXPECT_TRUE(captured.waitForLog("System error executing command b: "));
  EXPECT_TRUE(captured.waitForLog("Unexpected error executing command d: boom"));
  EXPECT_TRUE(captured.waitForLog("METRIC: Command ping (d) failed in"));
}

TEST(CommandDispatcherTest, SlowCommandsWarnWhetherTheySucceedOrFail) {
  CapturedOutput captured;
  CommandDispatcher dispatcher{EventEmitter()};
  CommandDispatcher::Handler slow = [] { std::this_thread::sleep_for(700ms); };
  CommandDispatcher::Handler slowFailure = [&] {
    slow();
    throw CommandError::executionError("late");
  };
  CommandDispatcher::Handler quick = [] {};
  dispatcher.execute("1", "selfTest", &slow);
  dispatcher.execute("2", "cleanupAllTaps", &slowFailure);
  dispatcher.execute("3", "ping", &quick);
  EXPECT_TRUE(captured.waitForLog("⚠️ Performance warning: Command selfTest took "));
  EXPECT_TRUE(captured.waitForLog("⚠️ Performance warning: Command cleanupAllTaps took "));
  EXPECT_TRUE(captured.waitForLog("METRIC: Command ping (3) succeeded"));
  for (const auto& line : captured.err().lines()) {
    EXPECT_EQ(line.find("Command ping took"), std::string::npos);
    // Seconds with two decimals, at least the time the handler slept.
    auto at = line.find(" took ");
    if (line.find("Performance warning") == std::string::npos || at == std::string::npos) continue;
    const std::string seconds = line.substr(at + 6, line.find("s to execute") - at - 6);
    EXPECT_EQ(seconds.size() - seconds.find('.'), 3u) << line;
    EXPECT_GE(std::stod(seconds), 0.7) << line;
  }
}

TEST(CommandDispatcherTest, MetricLineNeedsAnId) {
  CapturedOutput captured;
  CommandDispatcher dispatcher{EventEmitter()};
  dispatcher.logCommandMetrics({std::nullopt, std::string("ping"), {}, 1.0}, true);
  dispatcher.logCommandMetrics({std::string("x"), std::nullopt, {}, std::nullopt}, false);
  EXPECT_TRUE(captured.waitForLog("METRIC: Command unknown (x) failed in 0.00s"));
  EXPECT_EQ(captured.err().lines().size(), 1u);
}

TEST(CommandErrorTest, DescriptionsAndCodes) {
  auto invalid = CommandError::invalidParameter("interval", "must be positive");
  EXPECT_EQ(invalid.description(), "Invalid parameter 'interval': must be positive");
  EXPECT_EQ(invalid.code(), "invalid_parameter");
  EXPECT_EQ(CLIError::runtimeError("x").description(), "Runtime Error: x");
  EXPECT_EQ(CLIError::runtimeError("x").code(), "runtime_error");
}

}  // namespace
}  // namespace velmar
