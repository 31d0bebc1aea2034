#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>

namespace velmar::runtime {

// A repeating timer of a run loop (the main one by default). start() and
// stop() may be called from any thread; ticks run on the loop's thread. Once
// stop() or start() has returned, no tick of the previous schedule runs any
// more: a tick in progress on another thread is waited for. (Called from a
// tick, they do not wait for that tick itself.) So never call them while
// holding a lock that the tick takes.
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
