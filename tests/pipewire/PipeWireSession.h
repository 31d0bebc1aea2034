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

namespace velmar::testing {

class PipeWireSession {
 public:
  // The session named by VELMAR_PIPEWIRE_SESSION (its directory); fails the
  // current test when there is none.
  PipeWireSession();
  ~PipeWireSession();  // stops the players this object started

  bool valid() const { return !directory_.empty(); }
  // Variables a client of the daemon needs.
  const std::map<std::string, std::optional<std::string>>& environment() const { return env_; }

  // Points this process's own PipeWire clients at the session's daemon.
  void enter() const;

  // Starts a player of a `frequency` Hz tone named `name`; returns its pid
  // (0 when it did not start).
  pid_t startPlayer(const std::string& name, double frequency, double volume = 0.3);
  // Starts a virtual input device of `channels` channels (an Audio/Source
  // named `name`, its own process); returns its pid, stopped by stopPlayer.
  pid_t startSource(const std::string& name, int channels);
  // Starts another program recording from the node named `source`; returns
  // its pid, stopped by stopPlayer.
  pid_t startRecorder(const std::string& name, const std::string& source);
  void stopPlayer(pid_t pid);

  // pw-dump's objects.
  nlohmann::json dump() const;
  // Whether a node of process `pid` is linked to the node named `nodeName`.
  bool isLinkedTo(pid_t pid, const std::string& nodeName) const;

 private:
  std::string run(const std::string& command) const;

  std::string directory_;
  std::map<std::string, std::optional<std::string>> env_;
  std::vector<pid_t> players_;
};

}  // namespace velmar::testing
