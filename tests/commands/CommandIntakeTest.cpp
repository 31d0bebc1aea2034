#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "commands/CommandProcessor.h"
#include "commands/CommandTimestampLog.h"
#include "protocol/EventEmitter.h"
#include "protocol/Utf8.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CapturedOutput;
using testing::Frame;
using namespace std::chrono_literals;

class CommandIntakeTest : public ::testing::Test {
 protected:
  // The processor's managers reach the machine through the platform.
  sim::SimulatedMachine& machine_ = sim::SimulatedMachine::install();
  CapturedOutput captured_;
  std::shared_ptr<CommandProcessor> processor_ = CommandProcessor::create();
};

// A command intake refuses, the id it is answered under, and its error.
struct Rejection {
  const char* name;
  std::string text;
  std::string id;
  std::string code;
  std::string error;  // the whole message, or its start when `prefixOnly`
  bool prefixOnly = false;
  bool oversized = false;  // the framer found it too long
};

void PrintTo(const Rejection& row, std::ostream* os) { *os << row.name; }

class CommandRejectionTest : public CommandIntakeTest,
                             public ::testing::WithParamInterface<Rejection> {};

// Each rejection is one error response and one "error" event with the same
// code and message, and both log lines.
TEST_P(CommandRejectionTest, IsAnsweredUnderTheIdTheTextShows) {
  const Rejection& row = GetParam();
  if (row.oversized) {
    processor_->rejectOversizedCommand(row.text, 1048576);
  } else {
    processor_->processCommand(row.text);
  }
  auto response = captured_.frames().waitForResponse(row.id);
  ASSERT_TRUE(response);
  const std::string error = response->body.value("error", "");
  EXPECT_EQ(response->body["success"], false);
  EXPECT_EQ(response->body["code"], row.code);
  if (row.prefixOnly) {
    EXPECT_TRUE(error.starts_with(row.error)) << error;
  } else {
    EXPECT_EQ(error, row.error);
  }
  auto event = captured_.frames().waitForEvent("error");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->body["data"], (json{{"code", row.code}, {"message", error}}));
  EXPECT_TRUE(captured_.waitForLog("Command error: " + error));
  EXPECT_TRUE(captured_.waitForLog("Error response for command " + row.id + ": [" + row.code +
                                   "] " + error));
}

INSTANTIATE_TEST_SUITE_P(
    Intake, CommandRejectionTest,
    ::testing::Values(Rejection{"MissingAction", R"({"id":"1"})", "1", "missing_parameter",
                                "Missing required parameter: action"},
                      Rejection{"Array", "[1,2]", "unknown", "json_parse_error",
                                "JSON parse error: Invalid command format: Not a dictionary"},
                      Rejection{"NumericIdCountsAsMissing", R"({"id":7,"action":"ping"})",
                                "unknown", "missing_parameter", "Missing required parameter: id"},
                      Rejection{"FirstIdAnywhereInTheText",
                                R"({"nested":{"id":"inner"},"id":"outer"})", "inner",
                                "missing_parameter", "Missing required parameter: action"},
                      Rejection{"MalformedJson", R"({"id":"p","action":)", "p", "json_parse_error",
                                "JSON parse error: ", true},
                      Rejection{"NulBytes", std::string("\0\0\0", 3), "unknown", "json_parse_error",
                                "JSON parse error: ", true},
                      Rejection{"InvalidUtf8", "{\"id\":\"u\",\"action\":\"ping\xff\"}", "u",
                                "invalid_encoding", "Invalid command encoding"},
                      Rejection{"Oversized", R"({"id":"huge","action":"ping","pad":"xxxx)", "huge",
                                "invalid_format",
                                "Invalid command format: Command exceeds 1048576 bytes", false,
                                true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandIntakeTest, ValidCommandsAreDispatchedWithTheirWholeObjectHoweverAwkward) {
  // Deep nesting costs no stack; an empty id is still a string.
  const std::pair<std::string, std::string> commands[] = {
      {"9", R"({"id":"9","action":"ping","extra":[1]})"},
      {"deep", R"({"id":"deep","action":"ping","x":)" + std::string(100000, '[') +
                   std::string(100000, ']') + "}"},
      {"", R"({"id":"","action":"ping"})"}};
  for (const auto& [id, text] : commands) {
    processor_->processCommand(text);
    auto response = captured_.frames().waitForResponse(id);
    ASSERT_TRUE(response) << id;
    EXPECT_EQ(response->body["success"], true);
    EXPECT_EQ(response->body["data"]["status"], "alive");
  }
  EXPECT_TRUE(captured_.waitForLog(R"(Received command: {"id":"9","action":"ping","extra":[1]})"));
  EXPECT_TRUE(captured_.waitForLog("METRIC: Command ping (9) succeeded"));
}

TEST_F(CommandIntakeTest, CommandsOfOneCategoryRunInTheOrderReceived) {
  // Unsupported tap actions run on the tap queue; their answers keep order.
  for (int i = 0; i < 50; ++i) {
    processor_->receiveCommand(R"({"id":")" + std::to_string(i) + R"(","action":"someTapThing"})");
  }
  auto frames =
      captured_.frames().waitForFrames([](const Frame& f) { return f.kind == "RESPONSE"; }, 50);
  ASSERT_EQ(frames.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(frames[i].body["id"], std::to_string(i));
}

TEST_F(CommandIntakeTest, ProcessListCommandsCloseTogetherLogTheRaceWarning) {
  processor_->processCommand(R"({"id":"1","action":"listAudioProcesses"})");
  processor_->processCommand(R"({"id":"2","action":"listAudioProcesses"})");
  EXPECT_TRUE(captured_.waitForLog(
      "⚠️ Warning: Detected potential race condition - multiple process commands received "
      "within 50ms: listAudioProcesses_1"));
  // Both run to the end before the next test replaces the machine they read.
  EXPECT_EQ(captured_.frames()
                .waitForFrames(
                    [](const Frame& f) {
                      return f.kind == "RESPONSE" &&
                             f.body.value("data", json::object()).contains("runningCount");
                    },
                    2)
                .size(),
            2u);
}

TEST_F(CommandIntakeTest, EveryMangledCommandIsAnsweredExactlyOnce) {
  // Byte flips, truncations and insertions of one valid command: whatever
  // intake makes of each, the host gets one answer under the id it can find
  // in the text, and the service lives.
  const std::string base = R"({"id":"ID","action":"ping","x":[1,2.5,{"y":"\u00e9z"}],"t":true})";
  std::mt19937 random(1234);
  constexpr int kInputs = 1500;
  std::map<std::string, int> expected;
  for (int i = 0; i < kInputs; ++i) {
    std::string text = base;
    text.replace(text.find("ID"), 2, "m" + std::to_string(i));
    switch (random() % 3) {
      case 0:
        text[random() % text.size()] = static_cast<char>(random() % 256);
        break;
      case 1:
        text.resize(random() % text.size());
        break;
      default:
        text.insert(random() % text.size(), 1, "{}[]\",:\\\x80\xff"[random() % 11]);
    }
    // The id it is answered under: the parsed one of a well-formed command,
    // else the first one the text shows (invalid bytes replaced, as in any
    // frame).
    auto parsed = json::parse(text, nullptr, false);
    if (utf8::isValid(text) && parsed.is_object() && parsed.contains("id") &&
        parsed["id"].is_string() && parsed.contains("action") && parsed["action"].is_string()) {
      ++expected[parsed["id"].get<std::string>()];
    } else {
      const json id = CommandProcessor::extractIDFromCommand(text).value_or("unknown");
      ++expected[json::parse(toCompactJson(id)).get<std::string>()];
    }
    processor_->processCommand(text);
  }
  processor_->processCommand(R"({"id":"still","action":"ping"})");
  ++expected["still"];
  ASSERT_TRUE(captured_.frames().waitForResponse("still", 30s));
  captured_.frames().waitForFrames([](const Frame& f) { return f.kind == "RESPONSE"; }, kInputs + 1,
                                   30s);
  std::this_thread::sleep_for(200ms);  // a duplicate would come now
  std::map<std::string, int> answered;
  for (const auto& f : captured_.frames().frames()) {
    if (f.kind == "RESPONSE") ++answered[f.body.value("id", "")];
  }
  for (const auto& [id, count] : expected) EXPECT_EQ(answered[id], count) << "id " << id;
  for (const auto& [id, count] : answered) EXPECT_EQ(expected.count(id), 1u) << "id " << id;
}

TEST(CommandIdExtractionTest, FindsTheFirstWellFormedIdPair) {
  using P = CommandProcessor;
  EXPECT_EQ(P::extractIDFromCommand(R"({"id" :  "a b","action":"x"})"), "a b");
  EXPECT_EQ(P::extractIDFromCommand(R"({"id":"","x":{"id":"second"}})"), "second");
  EXPECT_EQ(P::extractIDFromCommand(R"({"id":7,"y":"\"id\":\"z\""})"), std::nullopt);
  EXPECT_EQ(P::extractIDFromCommand(R"({"id":"unterminated)"), std::nullopt);
  EXPECT_EQ(P::extractIDFromCommand("no id here"), std::nullopt);
  // Long hostile input neither crashes nor takes long.
  EXPECT_EQ(P::extractIDFromCommand("{\"id\":\"" + std::string(1 << 20, 'x')), std::nullopt);
  EXPECT_EQ(P::extractIDFromCommand(std::string(1 << 20, '"') + "\"id\":\"ok\""), "ok");
}

TEST(CommandTimestampLogTest, FindsCloseProcessCommandsAndForgetsOldOnes) {
  using namespace std::chrono;
  CommandTimestampLog log;
  const CommandTimestampLog::TimePoint t0{seconds(1000)};
  EXPECT_TRUE(log.record("listAudioProcesses_1", t0).empty());
  EXPECT_EQ(log.record("getRunningAudioProcesses_2", t0 + milliseconds(10)),
            std::vector<std::string>{"listAudioProcesses_1"});
  EXPECT_TRUE(log.record("listAudioProcesses_3", t0 + milliseconds(70)).empty());
  // Strictly less than the window: exactly 50 ms apart is not a race.
  EXPECT_TRUE(log.record("listAudioProcesses_4", t0 + milliseconds(120)).empty());
  EXPECT_TRUE(log.record("listAudioProcesses_5", t0 + milliseconds(1500)).empty());
  EXPECT_FALSE(log.contains("listAudioProcesses_1"));
  EXPECT_FALSE(log.contains("listAudioProcesses_4"));
  EXPECT_TRUE(log.contains("listAudioProcesses_5"));
}

}  // namespace
}  // namespace velmar
