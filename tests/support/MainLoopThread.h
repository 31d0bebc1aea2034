#pragma once

#include <thread>

#include <asio/executor_work_guard.hpp>

#include "runtime/Queues.h"

namespace velmar::testing {

// Runs the main queue on a thread for the lifetime of the object, as the
// service's main loop would: listener callbacks and timers get delivered.
class MainLoopThread {
 public:
  MainLoopThread() : guard_(asio::make_work_guard(runtime::mainContext())) {
    runtime::mainContext().restart();
    thread_ = std::thread([] { runtime::mainContext().run(); });
  }
  ~MainLoopThread() {
    guard_.reset();
    runtime::mainContext().stop();
    thread_.join();
  }

 private:
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

}  // namespace velmar::testing
