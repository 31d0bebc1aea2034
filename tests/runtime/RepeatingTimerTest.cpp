#include "runtime/RepeatingTimer.h"

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>

namespace velmar::runtime {
namespace {

using namespace std::chrono_literals;

// A run loop of its own on a thread, as the main loop is for the service.
class LoopThread {
 public:
  LoopThread() : guard_(asio::make_work_guard(context_)), thread_([this] { context_.run(); }) {}
  ~LoopThread() {
    guard_.reset();
    context_.stop();
    thread_.join();
  }
  asio::io_context& context() { return context_; }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

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
  LoopThread loop;
  RepeatingTimer timer(loop.context());
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
  LoopThread loop;
  RepeatingTimer timer(loop.context());
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

TEST(RepeatingTimerTest, FirstTickComesOnePeriodAfterTheStart) {
  LoopThread loop;
  RepeatingTimer timer(loop.context());
  std::atomic<int> ticks{0};
  timer.start(10s, [&] { ++ticks; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ticks, 0);
  EXPECT_TRUE(timer.isActive());
}

TEST(RepeatingTimerTest, ATickMayStopItsOwnTimer) {
  LoopThread loop;
  RepeatingTimer timer(loop.context());
  std::atomic<int> ticks{0};
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
