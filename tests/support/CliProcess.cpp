#include "support/CliProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace velmar::testing {

namespace {

std::vector<std::string> buildEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

CliProcess::CliProcess(const Options& options) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) std::abort();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.closeStdinBeforeStart) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }

  std::vector<std::string> argv = {VELMAR_CLI_PATH};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  auto environment = options.environment;
  if (environment.count("VELMAR_STORE_PATH") == 0) {
    // Never the shared default store in /tmp: tests run side by side.
    char directory[] = "/tmp/velmar-store-XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    storeDirectory_ = directory;
    environment["VELMAR_STORE_PATH"] = storeDirectory_ + "/aggregateDevices.json";
  }
  auto env = buildEnvironment(environment);
  auto argvPtrs = pointers(argv);
  auto envPtrs = pointers(env);
  if (posix_spawn(&pid_, VELMAR_CLI_PATH, &actions, nullptr, argvPtrs.data(), envPtrs.data()) !=
      0) {
    std::abort();
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  collect(out[0], err[0], options.readStderr, options.stderrReadInterval);
}

CliProcess::~CliProcess() {
  closeStdin();
  if (!waitForExit(5s)) {
    ::kill(pid_, SIGKILL);
    waitForExit(5s);
  }
  // A sanitizer report in the service fails the test that spawned it.
  readErr();
  err().waitForClose(5s);
  for (const auto& line : err().lines()) {
    EXPECT_EQ(line.find("Sanitizer"), std::string::npos) << line;
    EXPECT_EQ(line.find("runtime error:"), std::string::npos) << line;
  }
  stopCollecting();
  if (!storeDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(storeDirectory_, ignored);
  }
}

void CliProcess::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void CliProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

std::optional<int> CliProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    std::this_thread::sleep_for(5ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

}  // namespace velmar::testing
