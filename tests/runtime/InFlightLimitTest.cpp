// The limit on work taken and not yet finished: a producer past it waits
// until a slot comes back (from any copy's last release), and an idle
// callback reports each busy spell's peak once the count is back to zero.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "runtime/InFlightLimit.h"

namespace velmar::runtime {
namespace {

using namespace std::chrono_literals;

TEST(InFlightLimitTest, AProducerPastTheLimitWaitsForTheLastCopyOfASlot) {
  InFlightLimit limit(3);
  std::vector<InFlightLimit::Slot> held;
  for (int i = 0; i < 3; ++i) held.push_back(limit.acquire());
  EXPECT_EQ(limit.inFlight(), 3u);

  auto fourth = std::async(std::launch::async, [&] { return limit.acquire(); });
  EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);

  // A copy kept elsewhere (a completion that answers later) holds it still.
  InFlightLimit::Slot copy = held.front();
  held.erase(held.begin());
  EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
  copy.reset();
  ASSERT_EQ(fourth.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(limit.inFlight(), 3u);
}

TEST(InFlightLimitTest, ReportsEachBusySpellsPeakWhenIdleAgain) {
  std::vector<std::size_t> peaks;
  InFlightLimit limit(8, [&](std::size_t peak) { peaks.push_back(peak); });
  {
    std::vector<InFlightLimit::Slot> burst;
    for (int i = 0; i < 5; ++i) burst.push_back(limit.acquire());
    burst.resize(2);
    burst.push_back(limit.acquire());
    EXPECT_TRUE(peaks.empty());
  }
  { auto one = limit.acquire(); }
  EXPECT_EQ(peaks, (std::vector<std::size_t>{5, 1}));
  EXPECT_EQ(limit.inFlight(), 0u);
}

TEST(InFlightLimitTest, ManyProducersAndFinishersNeverExceedTheLimit) {
  InFlightLimit limit(4);
  std::atomic<int> current{0}, highest{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto slot = limit.acquire();
        const int now = current.fetch_add(1) + 1;
        int seen = highest.load();
        while (now > seen && !highest.compare_exchange_weak(seen, now)) {
        }
        current.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_LE(highest.load(), 4);
  EXPECT_EQ(limit.inFlight(), 0u);
}

}  // namespace
}  // namespace velmar::runtime
