// The two output streams when their reader is slow or gone: whole writes
// through full pipes, and diagnostics that never make their caller wait.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/DiagnosticLog.h"
#include "protocol/EventEmitter.h"
#include "protocol/FrameBuilder.h"
#include "protocol/WriteFully.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CapturedOutput;
using testing::Frame;
using testing::LineCollector;
using namespace std::chrono_literals;

// A pipe whose read end a LineCollector drains once startReading() is
// called (or the test reads it itself); its write end closes first on the way
// out, so the collector ends.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeWrite();
    collector.reset();
    if (read >= 0) ::close(read);
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  void startReading() { collector.emplace(read); }
  LineCollector& lines() { return *collector; }

  int read = -1;
  int write = -1;
  std::optional<LineCollector> collector;
};

TEST(WriteFullyTest, FinishesPartialWritesOnANonBlockingPipeReadSlowly) {
  Pipe pipe;
  ::fcntl(pipe.write, F_SETFL, ::fcntl(pipe.write, F_GETFL) | O_NONBLOCK);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);

  std::string received;
  std::thread reader([&] {
    char chunk[1000];
    for (;;) {
      ssize_t n = ::read(pipe.read, chunk, sizeof chunk);
      if (n <= 0) return;
      received.append(chunk, static_cast<std::size_t>(n));
      if (received.size() % 50000 < 1000) std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_TRUE(writeFully(pipe.write, data));
  pipe.closeWrite();
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(WriteFullyTest, ReportsADescriptorThatCannotBeWritten) { EXPECT_FALSE(writeFully(-1, "x")); }

// Threads writing at once into a pipe nobody reads for a while.
TEST(OutputStreamsTest, FramesStayWholeThroughAFullPipe) {
  CapturedOutput captured;
  captured.out().pause();  // the host stops reading standard output
  constexpr int kThreads = 4, kFrames = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      EventEmitter emitter;
      const std::string payload(5000, static_cast<char>('a' + t));
      // Generic and built frames alike.
      for (int i = 0; i < kFrames; ++i) {
        if (i % 2 == 0) {
          emitter.emitEvent("bulk", {{"t", t}, {"p", payload}});
          continue;
        }
        auto& f = FrameBuilder::forThisThread();
        f.beginEvent("bulk", 1);
        f.key("t");
        f.value(t);
        f.key("p");
        f.plainStringValue(payload);
        f.finishEvent();
        emitter.emitBuiltEvent(f);
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  captured.out().resume();
  for (auto& t : threads) t.join();
  auto frames = captured.frames().waitForFrames([](const Frame& f) { return f.isEvent("bulk"); },
                                                kThreads * kFrames, 30s);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kThreads * kFrames));
  for (const auto& f : frames) {
    EXPECT_EQ(f.body["data"]["p"],
              std::string(5000, static_cast<char>('a' + f.body["data"]["t"].get<int>())));
  }
  EXPECT_EQ(captured.frames().frames().size(), frames.size());  // no torn line anywhere
}

// Lines of the form "<writer> <sequence> <padding>".
std::string numbered(int writer, int sequence, std::size_t padding = 40) {
  return std::to_string(writer) + " " + std::to_string(sequence) + " " + std::string(padding, 'x');
}

std::string dropNotice(std::uint64_t count) {
  return "⚠️ " + std::to_string(count) +
         " diagnostic lines dropped: standard error was not read";
}

// What a reader got: each writer's sequence numbers in arrival order (every
// line whole, each writer's in order), the drops the notices reported, and
// whether the last line was such a notice.
struct Received {
  std::vector<std::vector<int>> sequences;
  std::uint64_t drops = 0;
  bool endsWithNotice = false;
};

Received parseLines(const std::vector<std::string>& lines, int writers, std::size_t padding) {
  Received got;
  got.sequences.resize(static_cast<std::size_t>(writers));
  for (const auto& line : lines) {
    unsigned long long count = 0;
    got.endsWithNotice = std::sscanf(line.c_str(), "⚠️ %llu diagnostic", &count) == 1;
    if (got.endsWithNotice) {
      EXPECT_EQ(line, dropNotice(count));
      got.drops += count;
      continue;
    }
    int writer = -1, sequence = -1;
    if (std::sscanf(line.c_str(), "%d %d", &writer, &sequence) != 2 || writer < 0 ||
        writer >= writers) {
      ADD_FAILURE() << "torn or foreign line: " << line;
      continue;
    }
    EXPECT_EQ(line, numbered(writer, sequence, padding));
    auto& mine = got.sequences[static_cast<std::size_t>(writer)];
    if (!mine.empty()) {
      EXPECT_GT(sequence, mine.back());
    }
    mine.push_back(sequence);
  }
  return got;
}

TEST(DiagnosticLogTest, LinesFromManyThreadsArriveWholeAndInOrder) {
  Pipe pipe;
  pipe.startReading();
  constexpr int kThreads = 4, kLines = 2000;
  DiagnosticLog log(pipe.write, 1 << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        if (i % 2 == 0) {
          log.write(numbered(t, i));
        } else {
          log.tryWrite(numbered(t, i));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  log.write("end");  // also reports drops still unannounced
  ASSERT_TRUE(log.flush(10s));
  pipe.closeWrite();
  ASSERT_TRUE(pipe.lines().waitForClose(10s));

  // The ring holds everything, so only tryWrite() may drop (on a contended
  // lock); every line is whole and each writer's lines keep their order.
  auto lines = pipe.lines().lines();
  std::erase(lines, "end");
  const Received got = parseLines(lines, kThreads, 40);
  std::size_t received = 0;
  for (const auto& s : got.sequences) {
    received += s.size();
    for (int even = 0; even < kLines; even += 2) {
      EXPECT_TRUE(std::binary_search(s.begin(), s.end(), even)) << even;
    }
  }
  EXPECT_EQ(got.drops, log.droppedCount());
  EXPECT_EQ(received + got.drops, static_cast<std::size_t>(kThreads * kLines));
}

TEST(DiagnosticLogTest, AnUnreadStreamNeverMakesTheCallerWaitAndDropsAreReported) {
  Pipe pipe;  // nobody reads it yet
  constexpr int kLines = 20000;
  DiagnosticLog log(pipe.write, 64 * 1024);
  auto writes = std::async(std::launch::async, [&] {
    for (int i = 0; i < kLines; ++i) log.write(numbered(0, i, 100));
  });
  EXPECT_EQ(writes.wait_for(30s), std::future_status::ready);
  const auto dropped = log.droppedCount();
  EXPECT_GT(dropped, 0u);

  pipe.startReading();  // the host reads again
  ASSERT_TRUE(log.flush(10s));
  log.write("after");
  ASSERT_TRUE(log.flush(10s));
  ASSERT_TRUE(pipe.lines().waitForLineContaining("after", 10s));

  // What arrived: whole lines in order; wherever room returned after drops,
  // one line saying how many were dropped; last the line written after.
  auto received = pipe.lines().lines();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(received.back(), "after");
  received.pop_back();
  const Received got = parseLines(received, 1, 100);
  EXPECT_TRUE(got.endsWithNotice);  // the last drops are announced before "after"
  EXPECT_EQ(got.drops, dropped);
  EXPECT_EQ(got.sequences[0].size() + dropped, static_cast<std::size_t>(kLines));
  EXPECT_EQ(log.droppedCount(), dropped);
}

// Fills a pipe's buffer with empty lines, as a reader that stopped long ago
// would leave it: the log's writer blocks on its first write.
void fillPipe(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  while (::write(fd, "\n", 1) == 1) {
  }
  ::fcntl(fd, F_SETFL, flags);
}

TEST(DiagnosticLogTest, EssentialLinesTakeTheReserveWhenOrdinaryLinesFillTheRing) {
  Pipe pipe;
  fillPipe(pipe.write);
  DiagnosticLog log(pipe.write, 16 * 1024, 1024);
  for (int i = 0; i < 1000; ++i) log.write(numbered(0, i, 100));
  const auto droppedBefore = log.droppedCount();
  ASSERT_GT(droppedBefore, 0u);
  // Longer than any room the numbered lines left: only the reserve holds it.
  const std::string stopping = numbered(1, 0, 150);
  log.write(stopping, LinePriority::essential);
  log.write(numbered(2, 0, 150));  // ordinary: the reserve is not for it

  pipe.startReading();
  ASSERT_TRUE(log.flush(10s));
  log.write("after");
  ASSERT_TRUE(log.flush(10s));
  ASSERT_TRUE(pipe.lines().waitForLineContaining("after", 10s));
  // The essential line follows every line written before it and the notice
  // of the drops before it.
  const auto received = pipe.lines().lines();
  ASSERT_GE(received.size(), 5u);
  EXPECT_EQ(
      std::vector<std::string>(received.end() - 5, received.end()),
      (std::vector<std::string>{numbered(0, static_cast<int>(1000 - droppedBefore - 1), 100),
                                dropNotice(droppedBefore), stopping, dropNotice(1), "after"}));
}

TEST(DiagnosticLogTest, ALineLongerThanTheRingIsDroppedAndReported) {
  Pipe pipe;
  pipe.startReading();
  DiagnosticLog log(pipe.write, 1024);
  log.write(std::string(2000, 'y'));
  log.write("short");
  ASSERT_TRUE(log.flush(10s));
  ASSERT_TRUE(pipe.lines().waitFor([](const auto& l) { return l.size() >= 2; }, 10s));
  EXPECT_EQ(pipe.lines().lines(), (std::vector<std::string>{dropNotice(1), "short"}));
  EXPECT_EQ(log.droppedCount(), 1u);
}

}  // namespace
}  // namespace velmar
