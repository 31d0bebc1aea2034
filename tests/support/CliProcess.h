#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Frames.h"

namespace velmar::testing {

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

  void write(const std::string& bytes);
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
