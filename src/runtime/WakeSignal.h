#pragma once

#include <atomic>
#include <cstdint>

namespace velmar::runtime {

// Wakes one consumer thread that sleeps while it has nothing to do. The
// producer side never waits and makes a system call (a futex wake, which
// cannot block) only when the consumer is actually asleep, so real-time
// threads may call notify().
//
// Consumer:
//   auto token = signal.prepareWait();
//   if (haveWork()) signal.cancelWait(); else signal.wait(token);
// Producer: publish the work, then signal.notify().
class WakeSignal {
 public:
  std::uint32_t prepareWait() {
    sleeping_.store(true, std::memory_order_seq_cst);
    return counter_.load(std::memory_order_seq_cst);
  }
  void cancelWait() { sleeping_.store(false, std::memory_order_relaxed); }
  void wait(std::uint32_t token) {
    counter_.wait(token, std::memory_order_seq_cst);
    sleeping_.store(false, std::memory_order_relaxed);
  }

  void notify() {
    if (!sleeping_.load(std::memory_order_seq_cst)) return;
    counter_.fetch_add(1, std::memory_order_seq_cst);
    counter_.notify_one();
  }
  // Wakes the consumer whether or not it sleeps (shutdown).
  void forceNotify() {
    counter_.fetch_add(1, std::memory_order_seq_cst);
    counter_.notify_one();
  }

 private:
  std::atomic<bool> sleeping_{false};
  std::atomic<std::uint32_t> counter_{0};
};

}  // namespace velmar::runtime
