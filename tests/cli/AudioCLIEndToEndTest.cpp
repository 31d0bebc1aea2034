// The built executable, driven through its standard streams as a host would,
// and as hosts that do not keep up would.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::countFrames;
using testing::Frame;
using testing::isInit;
using namespace std::chrono_literals;

constexpr const char* kClosed = "Electron app closed stdin pipe, terminating CLI...";
constexpr const char* kTerminated = "Audio CLI terminated by Electron app shutdown";

// Why the service ended is in its log, in that order.
void expectEndLines(const std::vector<std::string>& lines) {
  const auto closed = std::find(lines.begin(), lines.end(), kClosed);
  EXPECT_NE(closed, lines.end()) << "missing: " << kClosed;
  EXPECT_NE(std::find(closed, lines.end(), kTerminated), lines.end()) << kTerminated << " after it";
}

// One conversation: readiness announced and repeated about a second later;
// then every way the bytes may arrive: two commands in one write, one split
// over three writes, blank lines (no answer), malformed text, invalid UTF-8
// and an oversized command (each refused once), one without a line feed;
// then closing standard input ends the service cleanly. What each refusal
// says is the intake's test; here, that the service answers.
TEST(AudioCLIEndToEndTest, AnnouncesReadinessAnswersEveryCommandOnceThenEndsCleanly) {
  CliProcess cli({{"--some-flag"}, {{"PARENT_PID", "4242"}}});
  auto inits = cli.frames().waitForFrames(isInit, 2, 10s);
  ASSERT_EQ(inits.size(), 2u);
  const json& first = inits[0].body;
  const json& second = inits[1].body;
  testing::expectFields(first, {{"version", "1.0.0"},
                                {"parentPid", "4242"},
                                {"pid", cli.pid()},
                                {"args", {VELMAR_CLI_PATH, "--some-flag"}},
                                {"capabilities", {"microphone", "recording"}},
                                {"microphonePermission", true}});
  EXPECT_TRUE(first["buildID"].is_string());
  EXPECT_FALSE(first.contains("resent"));
  EXPECT_EQ(second["resent"], true);
  const auto gap = second["timestamp"].get<std::int64_t>() - first["timestamp"].get<std::int64_t>();
  EXPECT_GE(gap, 900);
  EXPECT_LE(gap, 3000);
  // Each INIT frame is followed by an "init" event with the same content.
  auto initEvents = cli.frames().waitForFrames([](const Frame& f) { return f.isEvent("init"); }, 2);
  ASSERT_EQ(initEvents.size(), 2u);
  EXPECT_EQ(initEvents[0].body["data"], first);
  EXPECT_EQ(initEvents[1].body["data"], second);
  for (const char* line : {"Starting velmar audio CLI (Version 1.0.0)", "Parent PID: 4242",
                           "Sending delayed INIT event...", "Sent INIT event with version 1.0.0"}) {
    EXPECT_TRUE(cli.waitForLog(line)) << line;
  }

  cli.write(R"({"id":"a","action":"ping"})"
            "\n"
            R"({"id":"b","action":"ping"})"
            "\n");
  cli.write(R"({"id":"c","ac)");
  std::this_thread::sleep_for(50ms);
  cli.write(R"(tion":"pi)");
  std::this_thread::sleep_for(50ms);
  cli.write("ng\"}\n");
  cli.write("     \n\n\t\n");
  cli.write("{this is not json\n");
  cli.write("{\"id\":\"enc\",\"action\":\"p\xffng\"}\n");
  cli.write(R"({"id":"huge","action":"ping","pad":")" + std::string(1100000, 'x') + "\"}\n" +
            R"({"id":"after","action":"ping"})"
            "\n");
  cli.write(R"({"id":"d","action":"ping"})");
  for (const char* id : {"a", "b", "c", "after", "d"}) {
    auto response = cli.frames().waitForResponse(id, 10s);
    ASSERT_TRUE(response) << id;
    EXPECT_EQ(response->body["data"]["status"], "alive") << id;
  }
  for (const auto& [id, code] : {std::pair{"unknown", "json_parse_error"},
                                 {"enc", "invalid_encoding"},
                                 {"huge", "invalid_format"}}) {
    auto refused = cli.frames().waitForResponse(id, 10s);
    ASSERT_TRUE(refused) << id;
    EXPECT_EQ(refused->body["code"], code) << id;
  }

  // The initial lists go out from the background, unordered with the rest;
  // the last of them is done before the end is tested.
  ASSERT_TRUE(cli.waitForLog("Emitted event: aggregateDeviceList"));
  cli.closeStdin();
  ASSERT_EQ(cli.waitForExit(), 0);
  // Each answered exactly once, nothing for the blank lines.
  EXPECT_EQ(countFrames(cli, [](const Frame& f) { return f.kind == "RESPONSE"; }), 8u);
  EXPECT_EQ(testing::eventData(cli, "error").size(), 3u);
  // Nothing is torn down on the way out, so nothing logs after the last line.
  ASSERT_TRUE(cli.err().waitForClose(2s));
  expectEndLines(cli.err().lines());
  EXPECT_EQ(cli.err().lines().back(), kTerminated);
}

// Without PARENT_PID the parent is "unknown".
TEST(AudioCLIEndToEndTest, AParentThatClosedStandardInputGetsAnImmediateCleanEnd) {
  CliProcess::Options options{{}, {{"PARENT_PID", std::nullopt}}};
  options.closeStdinBeforeStart = true;
  CliProcess cli(options);
  auto init = cli.frames().waitForFrame(isInit);
  ASSERT_TRUE(init);
  EXPECT_EQ(init->body["parentPid"], "unknown");
  EXPECT_EQ(cli.waitForExit(), 0);
  EXPECT_TRUE(cli.waitForLog("Parent PID: unknown"));
  EXPECT_TRUE(cli.waitForLog(kClosed));
}

// The usage text is the protocol description's test.
TEST(AudioCLIEndToEndTest, VersionPrintsTextAndNoFrame) {
  const std::string version = testing::printedBy({"--version"});
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(version.find("VELMAR_STORE_PATH"), std::string::npos) << version;
}

TEST(AudioCLIEndToEndTest, APlatformThatCannotBeUsedEndsTheServiceBeforeInit) {
  const std::string noDaemon = ::testing::TempDir() + "velmar-no-pipewire";
  std::filesystem::create_directories(noDaemon);
  struct Case {
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;
    std::string says;
  };
  const Case cases[] = {
      {{"--platform", "amiga"}, {}, "Unknown platform \"amiga\""},
      {{}, {{"VELMAR_PLATFORM", "amiga"}}, "Unknown platform \"amiga\""},
      // The option wins over the environment.
      {{"--platform=amiga"}, {{"VELMAR_PLATFORM", "sim"}}, "Unknown platform \"amiga\""},
      // No daemon listens in an empty runtime directory.
      {{"--platform", "pipewire"},
       {{"XDG_RUNTIME_DIR", noDaemon},
        {"PIPEWIRE_RUNTIME_DIR", noDaemon},
        {"PIPEWIRE_REMOTE", std::nullopt}},
       "PipeWire"},
#ifndef __APPLE__
      // The Mac's backend is not built here, by option or by environment.
      {{"--platform", "coreaudio"}, {}, "\"coreaudio\" platform exists only on macOS"},
      {{}, {{"VELMAR_PLATFORM", "coreaudio"}}, "\"coreaudio\" platform exists only on macOS"},
#endif
  };
  for (const Case& c : cases) {
    CliProcess cli({c.arguments, c.environment});
    cli.closeStdin();
    EXPECT_EQ(cli.waitForExit(10s), 2) << c.says;
    ASSERT_TRUE(cli.out().waitForClose(2s));
    EXPECT_TRUE(cli.out().lines().empty()) << "no INIT, no frame at all";
    EXPECT_TRUE(cli.waitForLog(c.says)) << c.says;
  }
  // The simulated machine is still there by name.
  CliProcess sim({{"--platform", "sim"}, {{"VELMAR_PLATFORM", "pipewire"}}});
  EXPECT_TRUE(sim.frames().waitForFrame(isInit, 10s));
  sim.closeStdin();
  EXPECT_EQ(sim.waitForExit(10s), 0);
}

// The host link under hosts that do not keep up: one that never reads
// standard error, one that reads it slowly, one that stops reading standard
// output for a while.

std::string command(const std::string& id, const std::string& action,
                    const std::string& padding = "") {
  json c = {{"id", id}, {"action", action}};
  if (!padding.empty()) c["pad"] = padding;
  return c.dump() + "\n";
}

TEST(HostLinkEndToEndTest, AHostThatNeverReadsStandardErrorGetsEveryAnswer) {
  CliProcess::Options options;
  options.readStderr = false;
  CliProcess cli(options);
  ASSERT_TRUE(cli.frames().waitForFrame(isInit, 10s));

  // Each command logs several lines, the padded text among them: far more
  // than standard error's pipe and the service's own buffer can hold.
  constexpr int kCommands = 10000;
  const std::string padding(500, 'p');
  std::map<std::string, int> expected;
  std::string batch;
  for (int i = 0; i < kCommands; ++i) {
    const std::string id = "c" + std::to_string(i);
    // Mostly pings; some answered from the registry, some refused.
    const char* action = i % 10 == 0   ? "getProcessMonitoringStatus"
                         : i % 97 == 0 ? "noSuchAction"
                                       : "ping";
    batch += command(id, action, padding);
    expected[id] = 1;
    if (batch.size() > 64 * 1024) {
      cli.write(batch);
      batch.clear();
    }
  }
  cli.write(batch);

  EXPECT_EQ(testing::answerCounts(cli, kCommands, 180s), expected);

  cli.write(command("after", "ping"));
  auto after = cli.frames().waitForResponse("after", 30s);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->body["data"]["status"], "alive");

  // Once standard error is read again, the service says what it dropped.
  cli.readErr();
  EXPECT_TRUE(cli.waitForLog("diagnostic lines dropped: standard error was not read", 30s));
}

// Once the service is up, 2000 pings in one write, each answered once: their
// log lines overflow the diagnostic ring when standard error is read slowly
// or not at all.
void answersAPingBurst(CliProcess& cli) {
  ASSERT_TRUE(cli.frames().waitForFrame(isInit, 10s));
  std::map<std::string, int> expected;
  std::string burst;
  for (int i = 0; i < 2000; ++i) {
    burst += command("p" + std::to_string(i), "ping");
    expected["p" + std::to_string(i)] = 1;
  }
  cli.write(burst);
  ASSERT_EQ(testing::answerCounts(cli, expected.size(), 60s), expected);
}

TEST(HostLinkEndToEndTest, AHostThatReadsStandardErrorSlowlyAlwaysSeesWhyTheServiceEnded) {
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    CliProcess::Options options;
    options.stderrReadInterval = 50ms;
    CliProcess cli(options);
    ASSERT_NO_FATAL_FAILURE(answersAPingBurst(cli));

    cli.closeStdin();
    ASSERT_EQ(cli.waitForExit(10s), 0);
    ASSERT_TRUE(cli.err().waitForClose(10s));
    expectEndLines(cli.err().lines());
  }
}

TEST(HostLinkEndToEndTest, AHostThatNeverReadsStandardErrorIsNotKeptWaitingAtExit) {
  CliProcess::Options options;
  options.readStderr = false;
  CliProcess cli(options);
  ASSERT_NO_FATAL_FAILURE(answersAPingBurst(cli));

  // The exit waits a bounded time (about a second) for standard error; the
  // margin is for a loaded machine.
  cli.closeStdin();
  EXPECT_EQ(cli.waitForExit(5s), 0);
}

TEST(HostLinkEndToEndTest, AHostThatPausesReadingStandardOutputGetsEveryAnswerOnce) {
  CliProcess cli;
  ASSERT_TRUE(cli.frames().waitForFrame(isInit, 10s));

  // The host keeps writing while it does not read: once the commands in
  // flight are stuck behind the full output pipe the service stops reading,
  // and the host's writes wait on its own input pipe until it reads again.
  cli.out().pause();
  std::map<std::string, int> expected;
  const auto pauseEnds = std::chrono::steady_clock::now() + 5s;
  std::thread writer([&] {
    for (int i = 0; std::chrono::steady_clock::now() < pauseEnds; ++i) {
      std::string burst;
      for (int j = 0; j < 20; ++j) {
        const std::string id = "q" + std::to_string(i) + "_" + std::to_string(j);
        burst += command(id, j == 0 ? "listAudioProcesses" : "ping");
        expected[id] = 1;
      }
      cli.write(burst);
      std::this_thread::sleep_for(20ms);
    }
  });
  std::this_thread::sleep_until(pauseEnds);
  cli.out().resume();
  writer.join();

  EXPECT_EQ(testing::answerCounts(cli, expected.size(), 180s), expected);
  // Every line is a whole frame (frames() fails the test otherwise).
  EXPECT_FALSE(cli.frames().frames().empty());

  cli.write(command("after", "ping"));
  EXPECT_TRUE(cli.frames().waitForResponse("after", 10s));
}

}  // namespace
}  // namespace velmar
