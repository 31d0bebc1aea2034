#include "support/CommandLoad.h"

#include "support/CliProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

namespace velmar::testing {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// The kinds of command of the mix, as the text after the id, and whether the
// service acknowledges them first. Nothing here changes what is being
// recorded: destructive actions name only objects that do not exist.
struct Kind {
  std::string rest;
  bool acknowledged;
};

std::vector<Kind> mixedKinds() {
  std::vector<Kind> kinds;
  for (const char* action :
       {"ping", "ping", "getRecordingStatus", "getAudioStreamingStatus",
        "getProcessMonitoringStatus", "checkAggregateDevice", "getAggregateDevices",
        "getDeviceCapabilities", "getOptimalAudioConfig", "checkMicrophonePermission",
        "checkSystemAudioPermission", "checkScreenCapturePermission", "getPermissionStatus",
        "enableTapAutoUpdate", "resumeRecording", "forceUpdateTaps", "noSuchAction"})
    kinds.push_back({R"(,"action":")" + std::string(action) + "\"}", false});
  for (const char* action : {"listAudioProcesses", "getRunningAudioProcesses", "listAudioTaps",
                             "getMicrophoneStatus", "getAudioDevices", "getRecordings"})
    kinds.push_back({R"(,"action":")" + std::string(action) + "\"}", true});
  for (const char* rest :
       {R"(,"action":"findAudioProcessesByName","name":"a"})",
        R"(,"action":"setMonitoringInterval","interval":5.0})",
        R"(,"action":"enableAudioStreaming","format":"pcm16","sampleRate":48000,"channels":2})",
        R"(,"action":"destroyAudioTap","tapID":4000000000})",
        R"(,"action":"updateAudioTap","tapID":4000000000})",
        R"(,"action":"destroyAggregateDevice","deviceID":4000000000})",
        R"(,"action":"configureAggregateDevice","deviceID":4000000000})",
        R"(,"action":"addDeviceToAggregate","aggregateID":4000000000,"deviceUID":"none"})",
        R"(,"action":"removeDeviceFromAggregate","aggregateID":4000000000,"deviceUID":"none"})",
        R"(,"action":"addTapToAggregate","aggregateID":4000000000,"tapUID":"none"})",
        R"(,"action":"removeTapFromAggregate","aggregateID":4000000000,"tapUID":"none"})",
        // Rejected by intake, each answered once under the id it names.
        R"(,"action":)", R"(,"action":7})", R"(})", ",\"action\":\"p\xff\"}"})
    kinds.push_back({rest, false});
  return kinds;
}

long statusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return 0;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[at];
}

}  // namespace

LoadHost::LoadHost(const std::string& cliPath) {
  const auto spawned = spawnService(cliPath, {}, {});
  pid_ = spawned.pid;
  storeDirectory_ = spawned.storeDirectory;
  stdin_ = spawned.in;
  stdout_ = spawned.out;
  stderr_ = spawned.err;
  reader_ = std::thread([this] { readLoop(); });
  // Standard error is read (as a host does) so the service never drops lines.
  errDrain_ = std::thread([fd = stderr_] {
    char buffer[65536];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  });
  waitUntil([this] { return initSeen_; }, std::chrono::seconds(10));
}

LoadHost::~LoadHost() {
  ::close(stdin_);
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  reader_.join();
  errDrain_.join();
  ::close(stdout_);
  ::close(stderr_);
  std::error_code ignored;
  std::filesystem::remove_all(storeDirectory_, ignored);
}

void LoadHost::write(const std::string& bytes) { writeAll(stdin_, bytes); }

void LoadHost::readLoop() {
  std::string partial;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n', start)) {
      takeLine(partial.substr(start, end - start));
      start = end + 1;
    }
    partial.erase(0, start);
  }
}

void LoadHost::takeLine(const std::string& line) {
  const auto now = Clock::now();
  const auto frame = parseFrame(line);
  const json body = frame ? frame->body : json::object();
  std::lock_guard lock(mutex_);
  if (!frame) {
    ++tornLines_;
  } else if (frame->kind == "INIT") {
    initSeen_ = true;
  } else if (frame->kind == "RESPONSE") {
    const std::string id = body.value("id", "");
    auto& seen = seen_[id];
    if (body.value("isAcknowledgment", false)) {
      ++seen.acks;
    } else {
      ++seen.answers;
      seen.answered = now;
      if (id.rfind("L", 0) != 0) {
        answers_[id] = body;
      } else if (seen.answers == 1) {
        ++loadAnswered_;
      }
    }
  } else if (body.value("event", "") == "audioData") {
    const json data = body.value("data", json::object());
    const std::uint32_t stream = data.value("streamIndex", 0u);
    ++totalFrames_[stream];
    if (measuring_) {
      auto& pace = streams_[stream];
      if (pace.frames > 0) {
        pace.longestGapSeconds =
            std::max(pace.longestGapSeconds,
                     std::chrono::duration<double>(now - lastFrame_[stream]).count());
      } else {
        firstFrame_[stream] = now;
      }
      ++pace.frames;
      const double bytesPerSecond =
          2.0 * data.value("channels", 1.0) * data.value("sampleRate", 48000.0);
      pace.audioSeconds += data.value("bufferSize", 0.0) / bytesPerSecond;
      pace.wallSeconds = std::chrono::duration<double>(now - firstFrame_[stream]).count();
      lastFrame_[stream] = now;
    }
  }
  changed_.notify_all();
}

bool LoadHost::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, done);
}

json LoadHost::answer(const json& command, std::chrono::milliseconds timeout) {
  const std::string id = command["id"];
  write(command.dump() + "\n");
  if (!waitUntil([&] { return answers_.count(id) > 0; }, timeout)) return nullptr;
  std::lock_guard lock(mutex_);
  return answers_[id];
}

bool LoadHost::waitForAudio(std::uint32_t stream, std::size_t frames,
                            std::chrono::milliseconds timeout) {
  return waitUntil([&] { return totalFrames_[stream] >= frames; }, timeout);
}

bool LoadHost::startTwoStreamRecording() {
  const json created = answer({{"id", "s1"}, {"action", "createAggregateDevice"}});
  if (created.is_null() || created["success"] != true) return false;
  const auto aggregate = created["data"]["deviceID"];
  const json tap = answer({{"id", "s3"}, {"action", "createSystemLevelTap"}});
  if (tap.is_null() || tap["success"] != true) return false;
  const json steps[] = {
      {{"id", "s2"},
       {"action", "addDeviceToAggregate"},
       {"aggregateID", aggregate},
       {"deviceUID", "BuiltInMicrophoneDevice"}},
      {{"id", "s4"},
       {"action", "addTapToAggregate"},
       {"aggregateID", aggregate},
       {"tapUID", tap["data"]["uid"]}},
      {{"id", "s5"},
       {"action", "enableAudioStreaming"},
       {"format", "pcm16"},
       {"sampleRate", 48000},
       {"channels", 2}},
      {{"id", "s6"}, {"action", "startRecording"}},
  };
  for (const auto& step : steps) {
    const json answered = answer(step);
    if (answered.is_null() || answered["success"] != true) return false;
  }
  return true;
}

LoadReport LoadHost::runMixedLoad(std::size_t count, unsigned seed,
                                  std::chrono::milliseconds timeout) {
  LoadReport report;
  report.commands = count;
  report.rssBeforeKiB = statusKiB(pid_, "VmRSS");
  const auto kinds = mixedKinds();
  std::mt19937 random(seed);
  std::map<std::string, Answers> expected;  // wantedAcks and written
  {
    std::lock_guard lock(mutex_);
    measuring_ = true;
  }

  const auto started = Clock::now();
  std::size_t written = 0;
  std::string carry;  // the cut-off end of the previous write's last command
  while (written < count) {
    // A burst of up to a few thousand commands, written as fast as the pipe
    // takes them, several commands per write.
    const std::size_t burst = std::min<std::size_t>(count - written, 1 + random() % 4000);
    for (std::size_t done = 0; done < burst;) {
      std::string bytes = std::move(carry);
      carry.clear();
      const std::size_t perWrite = std::min<std::size_t>(burst - done, 1 + random() % 8);
      std::vector<std::string> ids;
      for (std::size_t i = 0; i < perWrite; ++i, ++done, ++written) {
        const auto& kind = kinds[random() % kinds.size()];
        std::string id = "L" + std::to_string(written);
        bytes += R"({"id":")" + id + "\"" + kind.rest + "\n";
        expected[id].wantedAcks = kind.acknowledged ? 1 : 0;
        ids.push_back(std::move(id));
      }
      // One write in ten leaves part of its last command for the next.
      if (random() % 10 == 0 && written < count) {
        const std::size_t cut = bytes.size() - 1 - random() % 12;
        carry = bytes.substr(cut);
        bytes.resize(cut);
      }
      const auto now = Clock::now();
      for (const auto& id : ids) expected[id].written = now;
      write(bytes);
    }
  }
  write(carry);

  report.allAnswered = waitUntil([&] { return loadAnswered_ >= count; }, timeout);
  const auto finished = Clock::now();
  {
    std::lock_guard lock(mutex_);
    measuring_ = false;
    report.streams = streams_;
  }

  const auto pingSent = Clock::now();
  const json pong = answer({{"id", "after"}, {"action", "ping"}}, std::chrono::seconds(10));
  report.pingAfterMs =
      pong.is_null() ? -1
                     : std::chrono::duration<double, std::milli>(Clock::now() - pingSent).count();
  report.rssAfterKiB = statusKiB(pid_, "VmRSS");
  report.peakRssKiB = statusKiB(pid_, "VmHWM");

  std::vector<double> answerMs;
  std::lock_guard lock(mutex_);
  for (const auto& [id, want] : expected) {
    const auto& seen = seen_[id];
    if (seen.answers != 1 || seen.acks != want.wantedAcks) {
      ++report.wronglyAnswered;
      if (report.examples.size() < 10) {
        report.examples.push_back(id + ": " + std::to_string(seen.answers) + " answers, " +
                                  std::to_string(seen.acks) + " acknowledgments (want " +
                                  std::to_string(want.wantedAcks) + ")");
      }
    }
    if (seen.answers > 0)
      answerMs.push_back(
          std::chrono::duration<double, std::milli>(seen.answered - want.written).count());
  }
  report.tornLines = tornLines_;
  report.seconds = std::chrono::duration<double>(finished - started).count();
  report.commandsPerSecond = static_cast<double>(count) / report.seconds;
  report.p50AnswerMs = percentile(answerMs, 0.50);
  report.p99AnswerMs = percentile(answerMs, 0.99);
  return report;
}

}  // namespace velmar::testing
