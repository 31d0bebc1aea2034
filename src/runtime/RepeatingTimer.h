#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>

namespace velmar::runtime {

// A repeating timer of a run loop (the main one by default). start() and
// stop() may be called from any thread; ticks run on the loop's thread. A
// stopped or restarted timer never delivers a tick of its previous schedule
// once stop()/start() has returned, except one that had already begun.
class RepeatingTimer {
 public:
  explicit RepeatingTimer(asio::io_context& context);
  RepeatingTimer();
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // First tick one period after the call, then every period.
  void start(std::chrono::duration<double> period, std::function<void()> tick);
  void stop();
  bool isActive() const;

  struct State;  // shared with the scheduled ticks

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velmar::runtime
