#include "support/CommandLoad.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

extern char** environ;

namespace velmar::testing {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// One kind of command of the mix: its text for an id, and how the service
// answers it (acknowledged first or not). Nothing here changes what is being
// recorded: destructive actions appear only with objects that do not exist.
struct Kind {
  std::function<std::string(const std::string& id)> text;
  bool acknowledged;
};

std::string cmd(const std::string& id, const std::string& action, json params = json::object()) {
  params["id"] = id;
  params["action"] = action;
  return params.dump();
}

std::vector<Kind> mixedKinds() {
  auto plain = [](const char* action, bool ack = false) {
    return Kind{[action](const std::string& id) { return cmd(id, action); }, ack};
  };
  auto with = [](const char* action, json params) {
    return Kind{[action, params](const std::string& id) { return cmd(id, action, params); }, false};
  };
  const json nowhere = 4000000000u;
  return {
      plain("ping"),
      plain("ping"),
      plain("getRecordingStatus"),
      plain("getAudioStreamingStatus"),
      plain("getProcessMonitoringStatus"),
      plain("listAudioProcesses", true),
      plain("getRunningAudioProcesses", true),
      plain("listAudioTaps", true),
      plain("getMicrophoneStatus", true),
      plain("getAudioDevices", true),
      plain("getRecordings", true),
      plain("checkAggregateDevice"),
      plain("getAggregateDevices"),
      plain("getDeviceCapabilities"),
      plain("getOptimalAudioConfig"),
      plain("checkMicrophonePermission"),
      plain("checkSystemAudioPermission"),
      plain("checkScreenCapturePermission"),
      plain("getPermissionStatus"),
      plain("enableTapAutoUpdate"),
      plain("resumeRecording"),
      plain("forceUpdateTaps"),
      with("findAudioProcessesByName", {{"name", "a"}}),
      with("setMonitoringInterval", {{"interval", 5.0}}),
      with("enableAudioStreaming", {{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", 2}}),
      with("destroyAudioTap", {{"tapID", nowhere}}),
      with("updateAudioTap", {{"tapID", nowhere}}),
      with("destroyAggregateDevice", {{"deviceID", nowhere}}),
      with("configureAggregateDevice", {{"deviceID", nowhere}}),
      with("addDeviceToAggregate", {{"aggregateID", nowhere}, {"deviceUID", "none"}}),
      with("removeDeviceFromAggregate", {{"aggregateID", nowhere}, {"deviceUID", "none"}}),
      with("addTapToAggregate", {{"aggregateID", nowhere}, {"tapUID", "none"}}),
      with("removeTapFromAggregate", {{"aggregateID", nowhere}, {"tapUID", "none"}}),
      plain("noSuchAction"),
      // Rejected by intake, each answered once under the id it names.
      Kind{[](const std::string& id) { return R"({"id":")" + id + R"(","action":)"; }, false},
      Kind{[](const std::string& id) { return R"({"id":")" + id + R"(","action":7})"; }, false},
      Kind{[](const std::string& id) { return R"({"id":")" + id + R"("})"; }, false},
      Kind{[](const std::string& id) { return R"({"id":")" + id + "\",\"action\":\"p\xff\"}"; },
           false},
  };
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
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  // A store of its own: other runs use the default one side by side.
  char directory[] = "/tmp/velmar-load-XXXXXX";
  if (::mkdtemp(directory) == nullptr) std::abort();
  storeDirectory_ = directory;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("VELMAR_STORE_PATH=", 0) != 0) env.emplace_back(*e);
  }
  env.push_back(std::string("VELMAR_STORE_PATH=") + directory + "/aggregateDevices.json");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = cliPath;
  char* argv[] = {path.data(), nullptr};
  if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
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

void LoadHost::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

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
  static const std::pair<std::string, std::string> kMarkers[] = {
      {"INIT:>", "<:INIT"}, {"EVENT:>", "<:EVENT"}, {"RESPONSE:>", "<:RESPONSE"}};
  const auto now = Clock::now();
  json body;
  std::string kind;
  for (const auto& [open, close] : kMarkers) {
    if (line.size() >= open.size() + close.size() && line.compare(0, open.size(), open) == 0 &&
        line.compare(line.size() - close.size(), close.size(), close) == 0) {
      body = json::parse(line.begin() + static_cast<std::ptrdiff_t>(open.size()),
                         line.end() - static_cast<std::ptrdiff_t>(close.size()), nullptr, false);
      kind = open;
    }
  }
  std::lock_guard lock(mutex_);
  if (kind.empty() || body.is_discarded() || !body.is_object()) {
    ++tornLines_;
  } else if (kind == "INIT:>") {
    initSeen_ = true;
  } else if (kind == "RESPONSE:>") {
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
    const auto& data = body["data"];
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
  report.rssBeforeKiB = residentKiB();
  const auto kinds = mixedKinds();
  std::mt19937 random(seed);
  std::map<std::string, Expected> expected;
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
        bytes += kind.text(id) + "\n";
        expected[id].acks = kind.acknowledged ? 1 : 0;
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
  report.rssAfterKiB = residentKiB();
  report.peakRssKiB = peakResidentKiB();

  std::vector<double> answerMs;
  std::lock_guard lock(mutex_);
  for (const auto& [id, want] : expected) {
    const auto& seen = seen_[id];
    if (seen.answers != 1 || seen.acks != want.acks) {
      ++report.wronglyAnswered;
      if (report.examples.size() < 10) {
        report.examples.push_back(id + ": " + std::to_string(seen.answers) + " answers, " +
                                  std::to_string(seen.acks) + " acknowledgments (want " +
                                  std::to_string(want.acks) + ")");
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

long LoadHost::residentKiB() const { return statusKiB(pid_, "VmRSS"); }
long LoadHost::peakResidentKiB() const { return statusKiB(pid_, "VmHWM"); }

}  // namespace velmar::testing
