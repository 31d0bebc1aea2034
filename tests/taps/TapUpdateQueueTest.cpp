#include "taps/TapUpdateQueue.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velmar {
namespace {

using namespace std::chrono_literals;

// Work whose runs can be held at their start, counted and checked for overlap.
class GatedWork {
 public:
  bool run() {
    const int concurrent = ++running_;
    if (concurrent > 1) overlapped_ = true;
    std::unique_lock lock(mutex_);
    const int number = ++runs_;
    started_.notify_all();
    released_.wait(lock, [&] { return open_ || number > heldRuns_; });
    --running_;
    return number % 2 == 1;  // runs alternate their answers: true, false, true...
  }
  void holdFirstRun() { heldRuns_ = 1; }
  void release() {
    std::lock_guard lock(mutex_);
    open_ = true;
    released_.notify_all();
  }
  bool waitForRuns(int count) {
    std::unique_lock lock(mutex_);
    return started_.wait_for(lock, 10s, [&] { return runs_ >= count; });
  }
  int runs() {
    std::lock_guard lock(mutex_);
    return runs_;
  }
  bool overlapped() const { return overlapped_; }

 private:
  std::mutex mutex_;
  std::condition_variable started_, released_;
  int runs_ = 0;
  int heldRuns_ = 0;
  bool open_ = false;
  std::atomic<int> running_{0};
  std::atomic<bool> overlapped_{false};
};

class Answers {
 public:
  TapUpdateQueue::Completion record(int request) {
    return [this, request](bool answer) {
      std::lock_guard lock(mutex_);
      got_.emplace_back(request, answer);
      changed_.notify_all();
    };
  }
  std::vector<std::pair<int, bool>> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return got_.size() >= count; });
    return got_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<int, bool>> got_;
};

TEST(TapUpdateQueueTest, RequestsDuringARunShareOneMoreRunAfterIt) {
  asio::thread_pool pool(4);
  GatedWork work;
  work.holdFirstRun();
  Answers answers;
  auto queue = TapUpdateQueue::create([&] { return work.run(); }, pool.get_executor());

  queue->request(answers.record(1));
  ASSERT_TRUE(work.waitForRuns(1));
  for (int request = 2; request <= 4; ++request) queue->request(answers.record(request));
  work.release();

  const auto got = answers.waitFor(4);
  ASSERT_EQ(got.size(), 4u);
  // The first request has the first run's answer; the three that came while
  // it ran are answered together, in order, by the second.
  EXPECT_EQ(got,
            (std::vector<std::pair<int, bool>>{{1, true}, {2, false}, {3, false}, {4, false}}));
  pool.join();
  EXPECT_EQ(work.runs(), 2);
  EXPECT_FALSE(work.overlapped());
}

TEST(TapUpdateQueueTest, ManyRequestersNeverOverlapAndEachIsAnsweredOnce) {
  asio::thread_pool pool(4);
  GatedWork work;
  work.release();
  Answers answers;
  auto queue = TapUpdateQueue::create([&] { return work.run(); }, pool.get_executor());

  std::vector<std::thread> requesters;
  for (int t = 0; t < 4; ++t) {
    requesters.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) queue->request(answers.record(t * 100 + i));
    });
  }
  for (auto& thread : requesters) thread.join();
  const auto got = answers.waitFor(100);
  pool.join();
  ASSERT_EQ(got.size(), 100u);
  std::set<int> requests;
  for (const auto& [request, answer] : got) requests.insert(request);
  EXPECT_EQ(requests.size(), 100u);
  EXPECT_FALSE(work.overlapped());
  EXPECT_GE(work.runs(), 1);
  EXPECT_LE(work.runs(), 100);
}

TEST(TapUpdateQueueTest, AThrowingRunIsAnsweredAsFailedAndTheQueueGoesOn) {
  asio::thread_pool pool(2);
  std::atomic<int> runs{0};
  Answers answers;
  auto queue = TapUpdateQueue::create(
      [&]() -> bool {
        if (++runs == 1) throw std::runtime_error("HAL went away");
        return true;
      },
      pool.get_executor());
  queue->request(answers.record(1));
  ASSERT_EQ(answers.waitFor(1).size(), 1u);
  queue->request(answers.record(2));
  const auto got = answers.waitFor(2);
  pool.join();
  EXPECT_EQ(got, (std::vector<std::pair<int, bool>>{{1, false}, {2, true}}));
}

}  // namespace
}  // namespace velmar
