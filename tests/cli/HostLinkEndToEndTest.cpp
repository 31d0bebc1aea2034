// The host link under hosts that do not keep up: one that never reads
// standard error, one that reads it slowly, one that stops reading standard
// output for a while.
#include <algorithm>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/CliProcess.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::Frame;
using namespace std::chrono_literals;

bool isInit(const Frame& f) { return f.kind == "INIT"; }

// Final answers (acknowledgments left out) per command id, counted as lines
// arrive so that waiting stays linear in the output.
class AnswerCounter {
 public:
  explicit AnswerCounter(const CliProcess& cli) : cli_(cli) {}

  // Waits until `total` answers have arrived; the counts per id so far.
  std::map<std::string, int> waitFor(std::size_t total, std::chrono::milliseconds timeout) {
    cli_.out().waitFor(
        [&](const std::vector<std::string>& lines) {
          for (; seen_ < lines.size(); ++seen_) {
            auto frame = testing::parseFrame(lines[seen_]);
            if (!frame || frame->kind != "RESPONSE" || frame->body.contains("isAcknowledgment"))
              continue;
            ++counts_[frame->body.value("id", "")];
            ++total_;
          }
          return total_ >= total;
        },
        timeout);
    return counts_;
  }

 private:
  const CliProcess& cli_;
  std::size_t seen_ = 0;
  std::size_t total_ = 0;
  std::map<std::string, int> counts_;
};

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

  AnswerCounter answers(cli);
  EXPECT_EQ(answers.waitFor(kCommands, 180s), expected);

  cli.write(command("after", "ping"));
  auto after = cli.frames().waitForResponse("after", 30s);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->body["data"]["status"], "alive");

  // Once standard error is read again, the service says what it dropped.
  cli.readErr();
  EXPECT_TRUE(cli.waitForLog("diagnostic lines dropped: standard error was not read", 30s));
}

// Pings in one write: their log lines overflow the diagnostic ring when
// standard error is read slowly or not at all. The expected final answers.
std::map<std::string, int> sendPingBurst(CliProcess& cli, int count) {
  std::map<std::string, int> expected;
  std::string burst;
  for (int i = 0; i < count; ++i) {
    burst += command("p" + std::to_string(i), "ping");
    expected["p" + std::to_string(i)] = 1;
  }
  cli.write(burst);
  return expected;
}

TEST(HostLinkEndToEndTest, AHostThatReadsStandardErrorSlowlyAlwaysSeesWhyTheServiceEnded) {
  constexpr const char* kClosed = "Electron app closed stdin pipe, terminating CLI...";
  constexpr const char* kTerminated = "Audio CLI terminated by Electron app shutdown";
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    CliProcess::Options options;
    options.stderrReadInterval = 50ms;
    CliProcess cli(options);
    ASSERT_TRUE(cli.frames().waitForFrame(isInit, 10s));
    const auto expected = sendPingBurst(cli, 2000);
    AnswerCounter answers(cli);
    ASSERT_EQ(answers.waitFor(expected.size(), 60s), expected);

    cli.closeStdin();
    ASSERT_EQ(cli.waitForExit(10s), 0);
    ASSERT_TRUE(cli.err().waitForClose(10s));
    const auto lines = cli.err().lines();
    const auto at = [&](const char* text) {
      return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    const auto end = static_cast<std::ptrdiff_t>(lines.size());
    ASSERT_LT(at(kClosed), end) << "missing: " << kClosed;
    ASSERT_LT(at(kTerminated), end) << "missing: " << kTerminated;
    EXPECT_LT(at(kClosed), at(kTerminated));
  }
}

TEST(HostLinkEndToEndTest, AHostThatNeverReadsStandardErrorIsNotKeptWaitingAtExit) {
  CliProcess::Options options;
  options.readStderr = false;
  CliProcess cli(options);
  ASSERT_TRUE(cli.frames().waitForFrame(isInit, 10s));
  const auto expected = sendPingBurst(cli, 2000);
  AnswerCounter answers(cli);
  ASSERT_EQ(answers.waitFor(expected.size(), 60s), expected);

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

  AnswerCounter answers(cli);
  EXPECT_EQ(answers.waitFor(expected.size(), 180s), expected);
  // Every line is a whole frame (frames() fails the test otherwise).
  EXPECT_FALSE(cli.frames().frames().empty());

  cli.write(command("after", "ping"));
  EXPECT_TRUE(cli.frames().waitForResponse("after", 10s));
}

}  // namespace
}  // namespace velmar
