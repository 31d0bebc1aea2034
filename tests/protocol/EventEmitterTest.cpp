#include "protocol/EventEmitter.h"

#include <algorithm>
#include <limits>
#include <thread>

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
using ::testing::HasSubstr;

TEST(EventEmitterTest, EventBodyHasExactlyNameTimestampAndData) {
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
}

TEST(EventEmitterTest, ResponseFieldsFollowWhatTheCallerGave) {
  CapturedOutput captured;
  EventEmitter emitter;
  emitter.sendResponse("a", false);
  emitter.sendResponse("b", false, std::nullopt, std::nullopt, std::string("some_code"));
  emitter.sendResponse("c", true, json::object(), std::nullopt, std::nullopt, true);
  emitter.sendResponse("d", false, std::nullopt, std::string("broke"), std::string("x_code"));

  auto a = captured.frames().waitForResponse("a");
  auto b = captured.frames().waitForResponse("b");
  auto c = captured.frames().waitForResponse("c");
  auto d = captured.frames().waitForResponse("d");
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(a->body, json({{"id", "a"}, {"success", false}}));
  EXPECT_EQ(b->body, json({{"id", "b"}, {"success", false}}));  // code without error is dropped
  EXPECT_EQ(
      c->body,
      json({{"id", "c"}, {"success", true}, {"isAcknowledgment", true}, {"data", json::object()}}));
  EXPECT_EQ(d->body,
            json({{"id", "d"}, {"success", false}, {"error", "broke"}, {"code", "x_code"}}));
  EXPECT_TRUE(captured.waitForLog("Sending error response for ID a: unknown error"));
  EXPECT_TRUE(captured.waitForLog("Sending error response for ID d: broke"));
}

TEST(EventEmitterTest, ResponseLogCountsCharactersNotBytes) {
  CapturedOutput captured;
  EventEmitter().sendResponse("é", true);
  // {"id":"é","success":true} is 25 characters and 26 bytes.
  EXPECT_TRUE(captured.waitForLog("Response sent for ID é, data size: 25 chars"));
}

TEST(EventEmitterTest, InitWritesInitFrameThenInitEventWithMergedInfo) {
  CapturedOutput captured;
  EventEmitter().sendInitEvent("1.0.0", "e72f5d1",
                               json{{"timestamp", 42}, {"ready", false}, {"pid", 7}});
  auto frames = captured.frames().waitForFrames([](const Frame&) { return true; }, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].kind, "INIT");
  EXPECT_TRUE(frames[1].isEvent("init"));
  const json& init = frames[0].body;
  EXPECT_EQ(init["timestamp"], 42);
  EXPECT_EQ(init["ready"], false);
  EXPECT_EQ(init["pid"], 7);
  EXPECT_EQ(init["version"], "1.0.0");
  EXPECT_EQ(init["buildID"], "e72f5d1");
  EXPECT_EQ(init["capabilities"], json({"microphone", "recording"}));
  EXPECT_EQ(init["microphonePermission"], true);
  EXPECT_EQ(frames[1].body["data"], init);
  EXPECT_TRUE(captured.waitForLog("Sent INIT event with version 1.0.0"));
  EXPECT_TRUE(captured.waitForLog("Sent INIT event with 8 fields"));
}

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

TEST(EventEmitterTest, ErrorHelpersShapeEventAndResponse) {
  CapturedOutput captured;
  EventEmitter emitter;
  emitter.sendErrorEvent("c1", "m1");
  emitter.sendErrorResponse("9", "went wrong", "c2");
  auto event = captured.frames().waitForEvent("error");
  auto response = captured.frames().waitForResponse("9");
  ASSERT_TRUE(event && response);
  EXPECT_EQ(event->body["data"], json({{"code", "c1"}, {"message", "m1"}}));
  EXPECT_EQ(response->body,
            json({{"id", "9"}, {"success", false}, {"error", "went wrong"}, {"code", "c2"}}));
  EXPECT_TRUE(captured.waitForLog("Error response for command 9: [c2] went wrong"));
}

TEST(EventEmitterTest, FramesFromManyThreadsNeverInterleave) {
  CapturedOutput captured;
  constexpr int kThreads = 8, kFrames = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      EventEmitter emitter;
      const std::string payload(3000, static_cast<char>('a' + t));
      for (int i = 0; i < kFrames; ++i) {
        if (i % 2 == 0) {
          emitter.emitEvent("bulk", json{{"thread", t}, {"payload", payload}});
        } else {
          auto& f = FrameBuilder::forThisThread();
          f.beginEvent("bulk", 1);
          f.key("thread");
          f.value(t);
          f.key("payload");
          f.plainStringValue(payload);
          f.finishEvent();
          emitter.emitBuiltEvent(f);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  auto frames = captured.frames().waitForFrames([](const Frame& f) { return f.isEvent("bulk"); },
                                                kThreads * kFrames);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kThreads * kFrames));
  for (const auto& f : frames) {
    const int t = f.body["data"]["thread"];
    EXPECT_EQ(f.body["data"]["payload"], std::string(3000, static_cast<char>('a' + t)));
  }
  // Every stdout line is a whole frame (checked inside frames()).
  EXPECT_EQ(captured.frames().frames().size(), frames.size());
}

TEST(FrameBuilderTest, WritesEveryValueByteForByteAsTheGenericWriter) {
  // Values where two writers could disagree: integral and extreme doubles,
  // the widest integers, escapes, invalid UTF-8.
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
                        {"n", 5e-324}};
  auto& f = FrameBuilder::forThisThread();
  const std::string name = "audio\"Data\n";
  for (int round = 0; round < 2; ++round) {  // the reused buffer starts clean
    f.beginEvent(name, 1700000000123);
    f.key("a");
    f.value(48000.0);
    f.key("b");
    f.value(0.0001);
    f.key("c");
    f.value(1e21);
    f.key("d");
    f.value(1e15);
    f.key("e");
    f.value(-0.0);
    f.key("f");
    f.value(0.1);
    f.key("g");
    f.value(44100.5);
    f.key("h");
    f.value(std::numeric_limits<std::int64_t>::min());
    f.key("i");
    f.value(std::numeric_limits<std::uint64_t>::max());
    f.key("j");
    f.value(text);
    f.key("k");
    f.value(invalid);
    f.key("l");
    f.value(false);
    f.key("m");
    f.value(nan);
    f.key("n");
    f.value(5e-324);
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
  EXPECT_EQ(f.dataFieldCount(), generic.size());
  EXPECT_EQ(f.eventName(), name);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), '\n'), 1);
}

}  // namespace
}  // namespace velmar
