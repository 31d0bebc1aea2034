#include "runtime/RepeatingTimer.h"

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/Queues.h"
#include "support/MainLoopThread.h"

namespace velmar::runtime {
namespace {

using namespace std::chrono_literals;

// Counts ticks and whether one is running; each tick takes a while, so a
// stop() from another thread often lands in the middle of one.
struct SlowTick {
  std::atomic<int> count{0};
  std::atomic<bool> inside{false};
  void operator()() {
    inside = true;
    std::this_thread::sleep_for(2ms);
    ++count;
    inside = false;
  }
};

TEST(RepeatingTimerTest, NoTickRunsOnceStopHasReturned) {
  testing::MainLoopThread loop;
  RepeatingTimer timer(mainContext());
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    SlowTick tick;
    timer.start(1ms, [&tick] { tick(); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
    timer.stop();
    EXPECT_FALSE(tick.inside) << "round " << round;
    const int ticks = tick.count;
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(tick.count, ticks) << "round " << round;
    EXPECT_FALSE(timer.isActive());
  }
}

TEST(RepeatingTimerTest, ARestartEndsThePreviousSchedule) {
  testing::MainLoopThread loop;
  RepeatingTimer timer(mainContext());
  SlowTick first, second;
  timer.start(1ms, [&first] { first(); });
  while (first.count < 3) std::this_thread::sleep_for(1ms);
  timer.start(1ms, [&second] { second(); });
  EXPECT_FALSE(first.inside);
  const int firstTicks = first.count;
  while (second.count < 3) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(first.count, firstTicks);
  timer.stop();
}

TEST(RepeatingTimerTest, FirstTickComesOnePeriodAfterTheStartAndATickMayStopItsOwnTimer) {
  testing::MainLoopThread loop;
  RepeatingTimer timer(mainContext());
  std::atomic<int> ticks{0};
  timer.start(10s, [&] { ++ticks; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ticks, 0);
  EXPECT_TRUE(timer.isActive());

  timer.start(1ms, [&] {
    ++ticks;
    timer.stop();  // must not wait for itself
  });
  while (timer.isActive()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ticks, 1);
}

}  // namespace
}  // namespace velmar::runtime
