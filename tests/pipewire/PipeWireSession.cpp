#include "PipeWireSession.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

namespace velmar::testing {

namespace {

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The session script's `verb` on the session in `directory`.
std::string sessionCommand(const std::string& verb, const std::string& directory) {
  return "bash " + shellQuoted(VELMAR_PIPEWIRE_SESSION_SCRIPT) + " " + verb + " " +
         shellQuoted(directory);
}

std::string shellEnvironment(const std::map<std::string, std::optional<std::string>>& env) {
  std::string prefix = "env";
  for (const auto& [key, value] : env) {
    if (value) prefix += " " + key + "=" + shellQuoted(*value);
  }
  return prefix + " ";
}

// A property that pw-dump writes as a number or as a string.
bool propertyIs(const nlohmann::json& props, const char* key, std::int64_t value) {
  const auto found = props.find(key);
  if (found == props.end()) return false;
  return (found->is_number() && *found == value) ||
         (found->is_string() && *found == std::to_string(value));
}

}  // namespace

PipeWireSession::PipeWireSession() {
  const char* directory = std::getenv("VELMAR_PIPEWIRE_SESSION");
  if (directory == nullptr || *directory == '\0') {
    ADD_FAILURE() << "VELMAR_PIPEWIRE_SESSION names no PipeWire session; run through ctest";
    return;
  }
  load(directory);
}

PipeWireSession::PipeWireSession(const std::string& directory) {
  if (std::system(sessionCommand("start", directory).c_str()) != 0) {
    ADD_FAILURE() << "the session in " << directory << " did not start";
    return;
  }
  owned_ = directory;
  load(directory);
}

void PipeWireSession::load(const std::string& directory) {
  directory_ = directory;
  // Lines of "export NAME=VALUE", as the session script writes them.
  std::ifstream file(directory_ + "/env");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("export ", 0) == 0) line = line.substr(7);
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
      value = value.substr(1, value.size() - 2);
    }
    env_[line.substr(0, equals)] = value;
  }
  if (env_.empty()) {
    ADD_FAILURE() << "no environment in " << directory_ << "/env";
    directory_.clear();
  }
}

PipeWireSession::~PipeWireSession() {
  // stopPlayer takes the pid out of the list.
  while (!players_.empty()) stopPlayer(players_.back());
  if (!owned_.empty()) {
    EXPECT_EQ(std::system(sessionCommand("stop", owned_).c_str()), 0)
        << "the session in " << owned_ << " did not stop";
  }
}

std::string PipeWireSession::run(const std::string& command) const {
  std::string output;
  FILE* pipe = ::popen((shellEnvironment(env_) + command).c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

void PipeWireSession::enter() const {
  for (const auto& [key, value] : env_) {
    if (value) ::setenv(key.c_str(), value->c_str(), 1);
  }
}

pid_t PipeWireSession::start(const std::vector<std::string>& arguments) {
  if (!valid()) return 0;
  std::string line = sessionCommand(arguments[0], directory_);
  for (std::size_t i = 1; i < arguments.size(); ++i) line += " " + shellQuoted(arguments[i]);
  const pid_t pid = static_cast<pid_t>(std::atoi(run(line).c_str()));
  if (pid > 0) players_.push_back(pid);
  return pid;
}

pid_t PipeWireSession::startPlayer(const std::string& name, double frequency, double volume) {
  return start({"play", name, std::to_string(static_cast<int>(frequency)), std::to_string(volume)});
}

pid_t PipeWireSession::startSource(const std::string& name, int channels) {
  return start({"source", name, std::to_string(channels)});
}

pid_t PipeWireSession::startRecorder(const std::string& name, const std::string& source) {
  return start({"record", name, source});
}

void PipeWireSession::stopPlayer(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  std::erase(players_, pid);
}

bool PipeWireSession::killDaemon() const {
  // The session script lists every process it started; the daemon is the one
  // named "pipewire".
  std::ifstream pids(directory_ + "/pids");
  pid_t pid;
  while (pids >> pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "pipewire") return ::kill(pid, SIGKILL) == 0;
  }
  return false;
}

bool PipeWireSession::restartDaemon() const {
  return valid() && std::system(sessionCommand("restart", directory_).c_str()) == 0;
}

void PipeWireSession::forceRate(int rate) const {
  run("pw-metadata -n settings 0 clock.force-rate " + std::to_string(rate) + " >/dev/null 2>&1");
}

nlohmann::json PipeWireSession::dump() const {
  auto parsed = nlohmann::json::parse(run("pw-dump 2>/dev/null"), nullptr, false);
  return parsed.is_array() ? parsed : nlohmann::json::array();
}

bool PipeWireSession::isLinkedTo(pid_t pid, const std::string& nodeName) const {
  const auto objects = dump();
  auto isA = [](const nlohmann::json& object, const std::string& type) {
    return object.value("type", "") == "PipeWire:Interface:" + type;
  };
  auto propsOf = [](const nlohmann::json& object) {
    return object["info"].value("props", nlohmann::json::object());
  };
  // The pid is on the client; its nodes name the client.
  std::set<std::int64_t> clients;
  std::set<std::int64_t> playerNodes;
  std::int64_t target = -1;
  for (const auto& object : objects) {
    if (isA(object, "Client") && propertyIs(propsOf(object), "application.process.id", pid))
      clients.insert(object["id"].get<std::int64_t>());
  }
  for (const auto& object : objects) {
    if (!isA(object, "Node")) continue;
    const auto props = propsOf(object);
    if (props.value("node.name", "") == nodeName) target = object["id"];
    for (std::int64_t client : clients) {
      if (propertyIs(props, "client.id", client))
        playerNodes.insert(object["id"].get<std::int64_t>());
    }
  }
  for (const auto& object : objects) {
    if (!isA(object, "Link")) continue;
    const auto& info = object["info"];
    if (playerNodes.count(info.value("output-node-id", std::int64_t{-1})) &&
        info.value("input-node-id", std::int64_t{-2}) == target)
      return true;
  }
  return false;
}

}  // namespace velmar::testing
