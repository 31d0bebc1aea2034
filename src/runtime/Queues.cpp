#include "runtime/Queues.h"

namespace velmar::runtime {

namespace {
// Pools are sized for blocking work, not for the two cores: handlers may wait
// on platform look-ups, and a starved pool would stall unrelated commands.
constexpr std::size_t kBackgroundThreads = 8;
constexpr std::size_t kUtilityThreads = 4;
}  // namespace

asio::io_context& mainContext() {
  // Never destroyed: work may still be queued when the process exits.
  static auto* context = new asio::io_context(1);
  return *context;
}

Executor mainQueue() { return mainContext().get_executor(); }

asio::thread_pool& backgroundPool() {
  static auto* pool = new asio::thread_pool(kBackgroundThreads);
  return *pool;
}

asio::thread_pool& utilityPool() {
  static auto* pool = new asio::thread_pool(kUtilityThreads);
  return *pool;
}

SerialQueue makeSerialQueue() { return asio::make_strand(backgroundPool().get_executor()); }

}  // namespace velmar::runtime
