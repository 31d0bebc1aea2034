#include "protocol/CommandFramer.h"

#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmar {
namespace {

using Kind = CommandFramer::Piece::Kind;

std::vector<std::string> commands(const std::vector<CommandFramer::Piece>& pieces) {
  std::vector<std::string> out;
  for (const auto& p : pieces) {
    EXPECT_EQ(p.kind, Kind::command);
    out.push_back(p.text);
  }
  return out;
}

TEST(CommandFramerTest, KeepsAPartialCommandUntilTheRestArrivesOrTheInputEnds) {
  CommandFramer framer;
  EXPECT_TRUE(framer.feed("{\"id\":\"1\",\"act").empty());
  EXPECT_TRUE(framer.feed("ion\":\"ping\"").empty());
  auto got = commands(framer.feed("}\n{\"id\""));
  EXPECT_THAT(got, ::testing::ElementsAre("{\"id\":\"1\",\"action\":\"ping\"}"));
  EXPECT_EQ(framer.pendingBytes(), 5u);
  EXPECT_THAT(commands(framer.finish()), ::testing::ElementsAre("{\"id\""));
  EXPECT_TRUE(framer.finish().empty());
}

TEST(CommandFramerTest, TakesATrailingCompleteObjectWithoutLineFeed) {
  CommandFramer framer;
  auto got = commands(framer.feed("{\"id\":\"1\",\"action\":\"ping\"}"));
  EXPECT_THAT(got, ::testing::ElementsAre("{\"id\":\"1\",\"action\":\"ping\"}"));
  // A brace inside a string does not end an unfinished object.
  EXPECT_TRUE(framer.feed("{\"id\":\"}\"").empty());
  EXPECT_THAT(commands(framer.feed(",\"action\":\"x\"}")),
              ::testing::ElementsAre("{\"id\":\"}\",\"action\":\"x\"}"));
  // Malformed lines still become commands, for intake to answer.
  EXPECT_THAT(commands(framer.feed("not json\n{\"id\":\"2\"\n")),
              ::testing::ElementsAre("not json", "{\"id\":\"2\""));
}

TEST(CommandFramerTest, OversizedCommandIsReportedOnceAndSkippedToTheNextLineFeed) {
  CommandFramer framer(100);
  auto first = framer.feed("{\"id\":\"big\",\"pad\":\"" + std::string(90, 'x'));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].kind, Kind::oversized);
  EXPECT_EQ(first[0].text.rfind("{\"id\":\"big\"", 0), 0u);
  // Memory stays bounded while the rest streams in, and nothing is reported twice.
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(framer.feed(std::string(1000, 'y')).empty());
  EXPECT_EQ(framer.pendingBytes(), 0u);
  auto after = framer.feed("yyy}\n{\"id\":\"next\"}\n");
  EXPECT_THAT(commands(after), ::testing::ElementsAre("{\"id\":\"next\"}"));
  // An oversized line in one read does not swallow the next command.
  auto pieces = framer.feed(std::string(160, 'z') + "\n{\"id\":\"ok\"}\n");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].kind, Kind::oversized);
  EXPECT_EQ(pieces[1].kind, Kind::command);
  EXPECT_EQ(pieces[1].text, "{\"id\":\"ok\"}");
  EXPECT_TRUE(framer.finish().empty());
}

TEST(CommandFramerTest, HowTheStreamIsCutDoesNotChangeTheCommands) {
  std::vector<std::string> sent;
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    sent.push_back(R"({"id":")" + std::to_string(i) + R"(","action":"ping","pad":")" +
                   std::string(static_cast<std::size_t>(i % 40), 'p') + "\"}");
    // Blank and whitespace-only lines between commands are dropped.
    stream += sent.back() + (i % 7 == 0 ? "\r\n  \n\r\n" : i % 5 == 0 ? "\n \t\n" : "\n");
  }
  std::mt19937 random(99);
  CommandFramer framer;
  std::vector<std::string> received;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % 97, stream.size() - at);
    for (auto& p : framer.feed(std::string_view(stream).substr(at, n))) received.push_back(p.text);
    at += n;
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(framer.pendingBytes(), 0u);
}

TEST(TrimWhitespaceTest, RemovesSpacesTabsAndLineEndsOnBothSides) {
  EXPECT_EQ(trimWhitespace(" \t\r\n x y \n\r"), "x y");
  EXPECT_EQ(trimWhitespace(" \n\t "), "");
}

}  // namespace
}  // namespace velmar
