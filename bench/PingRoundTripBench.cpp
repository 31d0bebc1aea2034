// "ping" round trips through the real executable: one command in flight at a
// time, and bursts of 1000 written at once. Reports p50 and p99 latency from
// the write of a command to the arrival of its response.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The service with stdin and stdout on pipes; stderr is discarded.
class Service {
 public:
  Service() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    char* argv[] = {const_cast<char*>(VELMAR_CLI_PATH), nullptr};
    if (posix_spawn(&pid_, VELMAR_CLI_PATH, &actions, nullptr, argv, environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    reader_ = std::thread([this] { readLoop(); });
    waitFor("INIT:>");
  }

  ~Service() {
    close(stdin_);
    waitpid(pid_, nullptr, 0);
    reader_.join();
    close(stdout_);
  }

  void write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }

  // Arrival time of the response with this id.
  Clock::time_point waitForResponse(const std::string& id) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return arrivals_.count(id) != 0; });
    return arrivals_[id];
  }

 private:
  void waitFor(const std::string& marker) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return seen_.find(marker) != std::string::npos; });
  }

  void readLoop() {
    char buffer[1 << 16];
    std::string partial;
    for (;;) {
      ssize_t n = read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return;
      const auto now = Clock::now();
      partial.append(buffer, static_cast<std::size_t>(n));
      std::lock_guard lock(mutex_);
      std::size_t start = 0;
      for (std::size_t lf; (lf = partial.find('\n', start)) != std::string::npos; start = lf + 1) {
        std::string_view line(partial.data() + start, lf - start);
        if (seen_.size() < 4096) seen_.append(line.substr(0, 16));
        if (line.rfind("RESPONSE:>", 0) == 0) {
          auto key = line.find("\"id\":\"");
          if (key != std::string_view::npos) {
            auto begin = key + 6;
            auto end = line.find('"', begin);
            arrivals_[std::string(line.substr(begin, end - begin))] = now;
          }
        }
      }
      partial.erase(0, start);
      changed_.notify_all();
    }
  }

  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Clock::time_point> arrivals_;
  std::string seen_;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

std::string ping(const std::string& id) {
  return R"({"id":")" + id +
         R"(","action":"ping"})"
         "\n";
}

void BM_PingOneInFlight(benchmark::State& state) {
  Service service;
  std::vector<double> micros;
  int n = 0;
  for (auto _ : state) {
    const std::string id = "s" + std::to_string(n++);
    const auto sent = Clock::now();
    service.write(ping(id));
    const auto arrived = service.waitForResponse(id);
    micros.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
  }
  state.counters["p50_us"] = percentile(micros, 0.50);
  state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(BM_PingOneInFlight)->Iterations(2000)->UseRealTime();

// From spawning the process to reading its INIT frame, on the default machine
// (the process registry resolves every name before INIT goes out).
void BM_StartupToInit(benchmark::State& state) {
  std::vector<double> millis;
  for (auto _ : state) {
    const auto spawned = Clock::now();
    Service service;
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - spawned).count());
  }
  state.counters["p50_ms"] = percentile(millis, 0.50);
  state.counters["max_ms"] = percentile(millis, 1.0);
}
BENCHMARK(BM_StartupToInit)->Iterations(20)->UseRealTime();

void BM_PingThousandInFlight(benchmark::State& state) {
  Service service;
  std::vector<double> micros;
  int round = 0;
  for (auto _ : state) {
    std::string burst;
    std::vector<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
      ids.push_back("b" + std::to_string(round) + "_" + std::to_string(i));
      burst += ping(ids.back());
    }
    ++round;
    const auto sent = Clock::now();
    service.write(burst);
    for (const auto& id : ids) {
      micros.push_back(
          std::chrono::duration<double, std::micro>(service.waitForResponse(id) - sent).count());
    }
  }
  state.counters["p50_us"] = percentile(micros, 0.50);
  state.counters["p99_us"] = percentile(micros, 0.99);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_PingThousandInFlight)->Iterations(10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
