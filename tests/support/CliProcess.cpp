#include "support/CliProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

namespace velmar::testing {

CliProcess::CliProcess(const Options& options) {
  const auto spawned = spawnService(VELMAR_CLI_PATH, options.arguments, options.environment,
                                    options.closeStdinBeforeStart);
  pid_ = spawned.pid;
  stdin_ = spawned.in;
  storeDirectory_ = spawned.storeDirectory;
  collect(spawned.out, spawned.err, options.readStderr, options.stderrReadInterval);
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
