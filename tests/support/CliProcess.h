#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Frames.h"

extern char** environ;

namespace velmar::testing {

// A service started with pipes on its three standard streams (standard input
// closed instead, when asked). Without VELMAR_STORE_PATH among the changes it
// gets a store of its own in `storeDirectory`, for the caller to remove: tests
// run side by side and never share the default store. Inline, for the load
// host is also built into a measuring tool without the test library.
struct SpawnedService {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;  // the parent's ends
  std::string storeDirectory;
};

inline SpawnedService spawnService(const std::string& path, std::vector<std::string> argv,
                                   std::map<std::string, std::optional<std::string>> changes,
                                   bool closeStdin = false) {
  SpawnedService spawned;
  int in[2], out[2], err[2];
  // Close-on-exec, so no other program this test starts (a player, a
  // daemon) holds the service's standard input open after the test closes it.
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (closeStdin) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  if (changes.count("VELMAR_STORE_PATH") == 0) {
    char directory[] = "/tmp/velmar-store-XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    spawned.storeDirectory = directory;
    changes["VELMAR_STORE_PATH"] = spawned.storeDirectory + "/aggregateDevices.json";
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (changes.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  argv.insert(argv.begin(), path);
  std::vector<char*> argp, envp;
  for (auto& a : argv) argp.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  if (posix_spawn(&spawned.pid, path.c_str(), &actions, nullptr, argp.data(), envp.data()) != 0)
    std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  spawned.in = in[1];
  spawned.out = out[0];
  spawned.err = err[0];
  return spawned;
}

// Writes all of `bytes` unless the reader is gone.
inline void writeAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The built executable, spawned with pipes on its three standard streams.
class CliProcess : public CollectedOutput {
 public:
  struct Options {
    std::vector<std::string> arguments;
    // Variables to set; a variable mapped to nullopt is removed. Without
    // VELMAR_STORE_PATH the service gets a store of its own, removed when
    // the process object goes away.
    std::map<std::string, std::optional<std::string>> environment;
    // Start the service with descriptor 0 closed, as a careless parent might.
    bool closeStdinBeforeStart = false;
    // Leave standard error unread (until readErr()), as many hosts do.
    bool readStderr = true;
    // Read standard error only this often, as a host that polls it would.
    std::chrono::milliseconds stderrReadInterval{0};
  };

  CliProcess() : CliProcess(Options{}) {}
  explicit CliProcess(const Options& options);
  ~CliProcess();

  void write(const std::string& bytes) { writeAll(stdin_, bytes); }
  void send(const nlohmann::json& command) { write(command.dump() + "\n"); }
  void closeStdin();

  // Exit status when the process ended in time (killed by a signal: 128 + n).
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 5s);

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string storeDirectory_;
  std::optional<int> status_;
};

}  // namespace velmar::testing
