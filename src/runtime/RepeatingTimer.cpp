#include "runtime/RepeatingTimer.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "runtime/Queues.h"

namespace velmar::runtime {

struct RepeatingTimer::State {
  explicit State(asio::io_context& c) : context(c) {}
  asio::io_context& context;
  mutable std::mutex mutex;
  std::condition_variable tickEnded;
  // Bumped by every start and stop; a schedule whose generation is stale ends.
  std::uint64_t generation = 0;
  bool active = false;
  // The thread running a tick right now, if any.
  std::thread::id ticking;

  bool isCurrentLocked(std::uint64_t g) const { return active && generation == g; }

  // Ends the current schedule. Waits for a tick running on another thread,
  // so none runs once the caller goes on.
  void endScheduleLocked(std::unique_lock<std::mutex>& lock) {
    ++generation;
    active = false;
    const auto self = std::this_thread::get_id();
    tickEnded.wait(lock, [&] { return ticking == std::thread::id() || ticking == self; });
  }

  // Runs `tick` if generation `g` is still current; false when it is not.
  bool runTick(std::uint64_t g, const std::function<void()>& tick) {
    {
      std::lock_guard lock(mutex);
      if (!isCurrentLocked(g)) return false;
      ticking = std::this_thread::get_id();
    }
    struct End {
      State& state;
      ~End() {
        {
          std::lock_guard lock(state.mutex);
          state.ticking = std::thread::id();
        }
        state.tickEnded.notify_all();
      }
    } end{*this};
    tick();
    return true;
  }

  bool isCurrent(std::uint64_t g) const {
    std::lock_guard lock(mutex);
    return isCurrentLocked(g);
  }
};

namespace {

using Clock = asio::steady_timer::clock_type;

void arm(const std::shared_ptr<RepeatingTimer::State>& state,
         const std::shared_ptr<asio::steady_timer>& timer, std::uint64_t generation,
         Clock::duration period, const std::shared_ptr<std::function<void()>>& tick) {
  // Deadlines advance from the previous one so ticks do not drift.
  timer->expires_at(timer->expiry() + period);
  timer->async_wait([state, timer, generation, period, tick](const std::error_code& ec) {
    if (ec || !state->runTick(generation, *tick)) return;
    if (!state->isCurrent(generation)) return;
    arm(state, timer, generation, period, tick);
  });
}

}  // namespace

RepeatingTimer::RepeatingTimer(asio::io_context& context)
    : state_(std::make_shared<State>(context)) {}

RepeatingTimer::RepeatingTimer() : RepeatingTimer(mainContext()) {}

RepeatingTimer::~RepeatingTimer() { stop(); }

void RepeatingTimer::start(std::chrono::duration<double> period, std::function<void()> tick) {
  std::uint64_t generation;
  {
    std::unique_lock lock(state_->mutex);
    state_->endScheduleLocked(lock);
    generation = state_->generation;
    state_->active = true;
  }
  auto clockPeriod = std::chrono::duration_cast<Clock::duration>(period);
  auto timer = std::make_shared<asio::steady_timer>(state_->context);
  timer->expires_at(Clock::now());
  auto sharedTick = std::make_shared<std::function<void()>>(std::move(tick));
  // The timer object is only touched on the loop's thread from here on.
  asio::post(state_->context, [state = state_, timer, generation, clockPeriod, sharedTick] {
    if (state->isCurrent(generation)) arm(state, timer, generation, clockPeriod, sharedTick);
  });
}

void RepeatingTimer::stop() {
  std::unique_lock lock(state_->mutex);
  state_->endScheduleLocked(lock);
}

bool RepeatingTimer::isActive() const {
  std::lock_guard lock(state_->mutex);
  return state_->active;
}

}  // namespace velmar::runtime
