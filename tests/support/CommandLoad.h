#pragma once

// A host that drives the spawned service hard: it records two streams, then
// writes a long mixed run of commands (valid and invalid, several per write,
// some split across writes, in bursts of thousands) and keeps, line by line,
// what it needs to judge the run: the answers per command, whole frames, the
// pace of each audio stream, answer times and the service's memory. Shared by
// the soak test and the bench that reports the figures; it asserts nothing.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmar::testing {

struct StreamPace {
  std::size_t frames = 0;
  double audioSeconds = 0;  // of audio carried, from the byte counts
  double wallSeconds = 0;   // from the first to the last frame's arrival
  double longestGapSeconds = 0;
};

struct LoadReport {
  std::size_t commands = 0;  // written in the mixed run
  double seconds = 0;        // from the first write to the last answer
  double commandsPerSecond = 0;
  double p50AnswerMs = 0, p99AnswerMs = 0;  // write of a command to its answer
  double pingAfterMs = 0;                   // one "ping" once the run is answered
  long rssBeforeKiB = 0, rssAfterKiB = 0, peakRssKiB = 0;
  std::size_t tornLines = 0;
  // Commands answered other than exactly once, or acknowledged where they
  // should not be (or not where they should), with the first few ids.
  std::size_t wronglyAnswered = 0;
  std::vector<std::string> examples;
  std::map<std::uint32_t, StreamPace> streams;  // during the mixed run
  bool allAnswered = false;
};

class LoadHost {
 public:
  // Spawns `cliPath` with stdin and stdout on pipes (stderr read and
  // dropped), and waits for INIT.
  explicit LoadHost(const std::string& cliPath);
  ~LoadHost();
  LoadHost(const LoadHost&) = delete;
  LoadHost& operator=(const LoadHost&) = delete;

  // Sends one command and waits for its real answer (null when none comes).
  nlohmann::json answer(const nlohmann::json& command,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The README's session: an aggregate device of the microphone and a tap
  // over every process, recorded with streaming on. False when a step fails.
  bool startTwoStreamRecording();
  bool waitForAudio(std::uint32_t stream, std::size_t frames, std::chrono::milliseconds timeout);

  // Writes `count` mixed commands and waits (up to `timeout`) for every
  // answer; then measures.
  LoadReport runMixedLoad(std::size_t count, unsigned seed, std::chrono::milliseconds timeout);

  pid_t pid() const { return pid_; }

 private:
  // What a command of the mixed run was sent as (acknowledged or not, when)
  // and how the service answered it.
  struct Answers {
    int wantedAcks = 0, acks = 0, answers = 0;
    std::chrono::steady_clock::time_point written{}, answered{};
  };

  void write(const std::string& bytes);
  void readLoop();
  void takeLine(const std::string& line);
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  std::string storeDirectory_;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::thread reader_, errDrain_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Answers> seen_;
  std::size_t tornLines_ = 0;
  bool initSeen_ = false;
  bool measuring_ = false;
  std::size_t loadAnswered_ = 0;  // commands of the mixed run answered at least once
  std::map<std::uint32_t, StreamPace> streams_;
  std::map<std::uint32_t, std::chrono::steady_clock::time_point> firstFrame_, lastFrame_;
  std::map<std::uint32_t, std::size_t> totalFrames_;
  std::map<std::string, nlohmann::json> answers_;  // setup answers only
};

}  // namespace velmar::testing
