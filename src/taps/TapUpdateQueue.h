#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/Queues.h"

namespace velmar {

// Runs the bulk re-targeting of taps (forced update, auto-update) one run at
// a time on a concurrent queue, so two runs never rewrite the same tap at
// once. Requests that arrive while a run is under way are served together
// by one more run after it, which starts after the last of them arrived and
// so sees the process set they were asked for.
class TapUpdateQueue : public std::enable_shared_from_this<TapUpdateQueue> {
 public:
  // The work of one run; its answer goes to every request the run serves.
  using Work = std::function<bool()>;
  using Completion = std::function<void(bool allUpdated)>;

  static std::shared_ptr<TapUpdateQueue> create(Work work, runtime::Executor executor);

  // Asks for a run. `completion` is called once, on the queue, with the
  // answer of the first run that starts after this call; the completions
  // of one run are called in the order of their requests.
  void request(Completion completion);

 private:
  TapUpdateQueue(Work work, runtime::Executor executor)
      : work_(std::move(work)), executor_(std::move(executor)) {}
  void runUntilIdle();

  const Work work_;
  const runtime::Executor executor_;
  std::mutex mutex_;  // guards the two below
  bool running_ = false;
  std::vector<Completion> pending_;
};

}  // namespace velmar
