#pragma once

// The private PipeWire daemon the test run started (scripts/pipewire-session.sh):
// its environment, tone players to start and stop, and the graph as pw-dump
// shows it.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/UnitHelpers.h"

namespace velmar::testing {

class PipeWireSession {
 public:
  // The session named by VELMAR_PIPEWIRE_SESSION (its directory); fails the
  // current test when there is none.
  PipeWireSession();
  // A session of its own in `directory`, started now and stopped with this
  // object, for a test that takes the daemon down.
  explicit PipeWireSession(const std::string& directory);
  ~PipeWireSession();  // stops the players this object started

  bool valid() const { return !directory_.empty(); }
  // Variables a client of the daemon needs.
  const std::map<std::string, std::optional<std::string>>& environment() const { return env_; }

  // Points this process's own PipeWire clients at the session's daemon.
  void enter() const;

  // Each starts a process of its own and returns its pid (0 when it did not
  // start), for stopPlayer: a player of a `frequency` Hz tone named `name`, a
  // virtual input device (an Audio/Source) of `channels` channels, another
  // program recording from the node named `source`.
  pid_t startPlayer(const std::string& name, double frequency, double volume = 0.3);
  pid_t startSource(const std::string& name, int channels);
  pid_t startRecorder(const std::string& name, const std::string& source);
  void stopPlayer(pid_t pid);
  // Kills the daemon itself (SIGKILL, as a crash); false when none was found.
  bool killDaemon() const;
  // Starts the daemon again, with the same machine, after it died.
  bool restartDaemon() const;
  // Forces the graph to run at `rate` Hz (0: lifts the force), as a user's
  // pw-metadata does.
  void forceRate(int rate) const;

  // pw-dump's objects.
  nlohmann::json dump() const;
  // Whether a node of process `pid` is linked to the node named `nodeName`.
  bool isLinkedTo(pid_t pid, const std::string& nodeName) const;

 private:
  void load(const std::string& directory);
  std::string run(const std::string& command) const;
  // Runs the session script's `arguments[0]` on this session; the pid it prints.
  pid_t start(const std::vector<std::string>& arguments);

  std::string directory_;
  std::map<std::string, std::optional<std::string>> env_;
  std::vector<pid_t> players_;
  std::string owned_;  // the directory to stop, for a session of its own
};

}  // namespace velmar::testing
