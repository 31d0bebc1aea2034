#include "taps/TapUpdateQueue.h"

namespace velmar {

std::shared_ptr<TapUpdateQueue> TapUpdateQueue::create(Work work, runtime::Executor executor) {
  return std::shared_ptr<TapUpdateQueue>(new TapUpdateQueue(std::move(work), std::move(executor)));
}

void TapUpdateQueue::request(Completion completion) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(completion));
    if (running_) return;
    running_ = true;
  }
  asio::post(executor_, [self = shared_from_this()] { self->runUntilIdle(); });
}

void TapUpdateQueue::runUntilIdle() {
  for (;;) {
    std::vector<Completion> batch;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) {
        running_ = false;
        return;
      }
      batch.swap(pending_);
    }
    // A run that throws counts as failed; the queue itself keeps going.
    bool answer = false;
    try {
      answer = work_();
    } catch (...) {
      answer = false;
    }
    for (auto& completion : batch) {
      try {
        completion(answer);
      } catch (...) {
      }
    }
  }
}

}  // namespace velmar
