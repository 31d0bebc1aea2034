#include "protocol/EventEmitter.h"

#include <algorithm>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/FrameBuilder.h"
#include "protocol/Timestamps.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CapturedOutput;
using testing::Frame;

TEST(EventEmitterTest, EventAndResponseBodiesHoldExactlyWhatTheCallerGave) {
  CapturedOutput captured;
  EventEmitter emitter;
  const auto before = nowMillis();
  emitter.emitEvent("deviceGone", json::object());
  auto frame = captured.frames().waitForEvent("deviceGone");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->body.size(), 3u);
  EXPECT_EQ(frame->body["data"], json::object());
  EXPECT_TRUE(frame->body["timestamp"].is_number_integer());
  EXPECT_GE(frame->body["timestamp"].get<std::int64_t>(), before);
  EXPECT_TRUE(captured.waitForLog("Emitted event: deviceGone with 0 data fields"));

  emitter.sendResponse("a", false);
  emitter.sendResponse("b", false, std::nullopt, std::nullopt, std::string("some_code"));
  emitter.sendResponse("c", true, json::object(), std::nullopt, std::nullopt, true);
  emitter.sendResponse("d", false, std::nullopt, std::string("broke"), std::string("x_code"));
  emitter.sendResponse("é", true);
  // A code without an error is dropped.
  const json expected[] = {
      {{"id", "a"}, {"success", false}},
      {{"id", "b"}, {"success", false}},
      {{"id", "c"}, {"success", true}, {"isAcknowledgment", true}, {"data", json::object()}},
      {{"id", "d"}, {"success", false}, {"error", "broke"}, {"code", "x_code"}}};
  for (const json& body : expected) {
    auto response = captured.frames().waitForResponse(body["id"]);
    ASSERT_TRUE(response) << body;
    EXPECT_EQ(response->body, body);
  }
  EXPECT_TRUE(captured.waitForLog("Sending error response for ID a: unknown error"));
  EXPECT_TRUE(captured.waitForLog("Sending error response for ID d: broke"));
  // {"id":"é","success":true} is 25 characters and 26 bytes.
  EXPECT_TRUE(captured.waitForLog("Response sent for ID é, data size: 25 chars"));
}

// The INIT frame and its event are checked through the executable, the
// error event and response with every refusal of the command intake.
TEST(EventEmitterTest, AwkwardStringsStayOnOneLineAndNeverCostTheFrame) {
  CapturedOutput captured;
  EventEmitter emitter;
  emitter.emitEvent("text", json{{"value", "line one\nline two \"quoted\" \t\\"}});
  emitter.emitEvent("bytes", json{{"value", std::string("ok \xff\xfe end")}});
  auto text = captured.frames().waitForEvent("text");
  auto bytes = captured.frames().waitForEvent("bytes");
  ASSERT_TRUE(text && bytes);
  EXPECT_EQ(text->body["data"]["value"], "line one\nline two \"quoted\" \t\\");
  EXPECT_EQ(bytes->body["data"]["value"], "ok \xEF\xBF\xBD\xEF\xBF\xBD end");
  EXPECT_EQ(captured.out().lines().size(), 2u);
}

TEST(FrameBuilderTest, WritesEveryValueByteForByteAsTheGenericWriter) {
  // Values where two writers could disagree: integral, extreme and
  // non-finite doubles, the widest integers, escapes, invalid UTF-8, null.
  const std::string text = "tab\t quote\" back\\ nl\n cr\r bs\b ff\f ctl\x01\x1f del\x7f é 💡";
  const std::string invalid =
      "bad\xc3 trunc\xe2\x82"
      "A lone\xff\xfe end\xf0\x9f";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Keys in the generic writer's (sorted) order, so the data objects compare
  // as bytes.
  const json generic = {{"a", 48000.0},
                        {"b", 0.0001},
                        {"c", 1e21},
                        {"d", 1e15},
                        {"e", -0.0},
                        {"f", 0.1},
                        {"g", 44100.5},
                        {"h", std::numeric_limits<std::int64_t>::min()},
                        {"i", std::numeric_limits<std::uint64_t>::max()},
                        {"j", text},
                        {"k", invalid},
                        {"l", false},
                        {"m", nan},
                        {"n", 5e-324},
                        {"o", 1.0 / 3.0},
                        {"p", 1712345678.123456},
                        {"q", 1796543210.0},
                        {"r", 1e16},
                        {"s", 1e-5},
                        {"t", 123456789012345680.0},
                        {"u", std::numeric_limits<double>::max()},
                        {"v", -2.5e-7},
                        {"w", std::numeric_limits<double>::infinity()},
                        {"x", -std::numeric_limits<double>::infinity()},
                        {"y", nullptr}};
  auto& f = FrameBuilder::forThisThread();
  const std::string name = "audio\"Data\n";
  for (int round = 0; round < 2; ++round) {  // the reused buffer starts clean
    f.beginEvent(name, 1700000000123);
    // Each through the overload of its type, in the table's order.
    for (const auto& [key, value] : generic.items()) {
      f.key(key);
      if (value.is_number_float()) {
        f.value(value.get<double>());
      } else if (value.is_number_unsigned()) {
        f.value(value.get<std::uint64_t>());
      } else if (value.is_number_integer()) {
        f.value(value.get<std::int64_t>());
      } else if (value.is_string()) {
        f.value(value.get_ref<const std::string&>());
      } else if (value.is_null()) {
        f.nullValue();
      } else {
        f.value(value.get<bool>());
      }
    }
    f.finishEvent();
  }
  const std::string frame(f.frame());
  const std::string head =
      "EVENT:>{\"event\":" + toCompactJson(json(name)) + ",\"timestamp\":1700000000123,\"data\":";
  const std::string tail = "}<:EVENT\n";
  ASSERT_EQ(frame.compare(0, head.size(), head), 0) << frame;
  ASSERT_GE(frame.size(), head.size() + tail.size());
  EXPECT_EQ(frame.substr(frame.size() - tail.size()), tail);
  EXPECT_EQ(frame.substr(head.size(), frame.size() - head.size() - tail.size()),
            toCompactJson(generic));
  EXPECT_NE(frame.find("{\"a\":48000.0,"), std::string::npos) << "a float stays a float";
  EXPECT_EQ(f.dataFieldCount(), generic.size());
  EXPECT_EQ(std::count(frame.begin(), frame.end(), '\n'), 1);
}

}  // namespace
}  // namespace velmar
