#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmar::testing {

using namespace std::chrono_literals;

// One frame read back from standard output.
struct Frame {
  std::string kind;  // "INIT", "EVENT" or "RESPONSE"
  nlohmann::json body;

  bool isEvent(const std::string& name) const {
    return kind == "EVENT" && body.value("event", "") == name;
  }
  bool isResponse(const std::string& id) const {
    return kind == "RESPONSE" && body.value("id", "") == id;
  }
};

// Parses one line of standard output; nothing when it is not a whole frame.
// Inline, for the load host is also built without the test library.
inline std::optional<Frame> parseFrame(const std::string& line) {
  for (const char* kind : {"INIT", "EVENT", "RESPONSE"}) {
    const std::string open = std::string(kind) + ":>";
    const std::string close = std::string("<:") + kind;
    if (line.size() >= open.size() + close.size() && line.compare(0, open.size(), open) == 0 &&
        line.compare(line.size() - close.size(), close.size(), close) == 0) {
      auto json = nlohmann::json::parse(line.begin() + static_cast<std::ptrdiff_t>(open.size()),
                                        line.end() - static_cast<std::ptrdiff_t>(close.size()),
                                        nullptr, false);
      if (json.is_discarded() || !json.is_object()) return std::nullopt;
      return Frame{kind, std::move(json)};
    }
  }
  return std::nullopt;
}

// Reads a descriptor on its own thread and keeps every complete line.
class LineCollector {
 public:
  // With a `readInterval`, reads (at most 64 KiB) only that often, as a host
  // that polls the stream would.
  explicit LineCollector(int fd, std::chrono::milliseconds readInterval = 0ms);
  ~LineCollector();
  LineCollector(const LineCollector&) = delete;
  LineCollector& operator=(const LineCollector&) = delete;

  std::vector<std::string> lines() const;
  // Waits until `predicate` holds for the lines so far; false on time-out.
  bool waitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
               std::chrono::milliseconds timeout) const;
  bool waitForLineContaining(const std::string& text, std::chrono::milliseconds timeout) const;
  bool closed() const;
  bool waitForClose(std::chrono::milliseconds timeout) const;

  // Stops reading until resume(), as a reader that stalls would: the
  // writer's pipe fills up.
  void pause();
  void resume();

 private:
  void run();
  int fd_;
  std::chrono::milliseconds readInterval_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
  bool closed_ = false;
  bool paused_ = false;
  std::thread thread_;
};

// Frames on top of a collector of standard-output lines. Each line is parsed
// once, however often a test waits: a test that waits on a long recording
// must not re-parse every audio frame per wake-up (the collector's reader
// waits meanwhile, and the service's output backs up).
class FrameReader {
 public:
  FrameReader() = default;
  explicit FrameReader(const LineCollector* out) : out_(out) {}

  // Every line so far as a frame; a line that is not a whole frame fails the
  // current test (torn or interleaved output).
  std::vector<Frame> frames() const;
  std::optional<Frame> waitForFrame(const std::function<bool(const Frame&)>& predicate,
                                    std::chrono::milliseconds timeout = 5s) const;
  // Waits until `count` frames match and returns them in order.
  std::vector<Frame> waitForFrames(const std::function<bool(const Frame&)>& predicate,
                                   std::size_t count, std::chrono::milliseconds timeout = 5s) const;
  std::optional<Frame> waitForResponse(const std::string& id,
                                       std::chrono::milliseconds timeout = 5s) const;
  std::optional<Frame> waitForEvent(const std::string& name,
                                    std::chrono::milliseconds timeout = 5s) const;

 private:
  struct Parsed {
    std::mutex mutex;  // taken inside the collector's, never the other way
    std::size_t lines = 0;
    std::vector<Frame> frames;
    std::vector<std::string> torn;  // lines that are not whole frames
  };
  // Parses the lines not seen yet; the collector's lock is held.
  void catchUp(const std::vector<std::string>& lines) const;

  const LineCollector* out_ = nullptr;
  std::shared_ptr<Parsed> parsed_ = std::make_shared<Parsed>();
};

// Standard output (as frames) and standard error (as lines) read back from
// two descriptors; the base of the in-process and the spawned-process views.
class CollectedOutput {
 public:
  const LineCollector& out() const { return *out_; }
  LineCollector& out() { return *out_; }
  const LineCollector& err() const { return *err_; }
  const FrameReader& frames() const { return frames_; }
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 5s) const {
    return err_->waitForLineContaining(text, timeout);
  }
  // Starts reading standard error when collect() was told to leave it.
  void readErr();

 protected:
  // Starts reading (standard error only later, with readErr(), when asked);
  // the collectors end when the write ends are closed.
  // Standard error is read every `errReadInterval` when one is given.
  void collect(int outRead, int errRead, bool readErrNow = true,
               std::chrono::milliseconds errReadInterval = 0ms);
  // Joins the collectors (after the write ends are closed).
  void stopCollecting();

 private:
  std::unique_ptr<LineCollector> out_;
  std::unique_ptr<LineCollector> err_;
  int errFd_ = -1;
  std::chrono::milliseconds errReadInterval_{0};
  FrameReader frames_;
};

}  // namespace velmar::testing
