#include "support/Frames.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace velmar::testing {

LineCollector::LineCollector(int fd, std::chrono::milliseconds readInterval)
    : fd_(fd), readInterval_(readInterval), thread_([this] { run(); }) {}

LineCollector::~LineCollector() {
  resume();
  if (thread_.joinable()) thread_.join();
}

void LineCollector::run() {
  char buffer[65536];
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !paused_; });
    }
    if (readInterval_.count() > 0) std::this_thread::sleep_for(readInterval_);
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      closed_ = true;
      changed_.notify_all();
      return;
    }
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t lf; (lf = partial_.find('\n', start)) != std::string::npos; start = lf + 1) {
      lines_.push_back(partial_.substr(start, lf - start));
    }
    partial_.erase(0, start);
    changed_.notify_all();
  }
}

void LineCollector::pause() {
  std::lock_guard lock(mutex_);
  paused_ = true;
}

void LineCollector::resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  changed_.notify_all();
}

bool LineCollector::waitForClose(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return closed_; });
}

std::vector<std::string> LineCollector::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LineCollector::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool LineCollector::waitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return predicate(lines_); });
}

bool LineCollector::waitForLineContaining(const std::string& text,
                                          std::chrono::milliseconds timeout) const {
  std::size_t scanned = 0;  // each line is looked at once, however often this wakes
  return waitFor(
      [&](const std::vector<std::string>& lines) {
        for (; scanned < lines.size(); ++scanned) {
          if (lines[scanned].find(text) != std::string::npos) return true;
        }
        return false;
      },
      timeout);
}

void FrameReader::catchUp(const std::vector<std::string>& lines) const {
  std::lock_guard lock(parsed_->mutex);
  for (; parsed_->lines < lines.size(); ++parsed_->lines) {
    const std::string& line = lines[parsed_->lines];
    if (auto frame = parseFrame(line)) {
      parsed_->frames.push_back(std::move(*frame));
    } else {
      parsed_->torn.push_back(line.substr(0, 300));
    }
  }
}

std::vector<Frame> FrameReader::frames() const {
  out_->waitFor(
      [&](const std::vector<std::string>& lines) {
        catchUp(lines);
        return true;
      },
      std::chrono::milliseconds(0));
  std::lock_guard lock(parsed_->mutex);
  for (const auto& line : parsed_->torn) {
    ADD_FAILURE() << "not a whole frame on standard output: " << line;
  }
  return parsed_->frames;
}

std::vector<Frame> FrameReader::waitForFrames(const std::function<bool(const Frame&)>& predicate,
                                              std::size_t count,
                                              std::chrono::milliseconds timeout) const {
  std::vector<Frame> matched;
  std::size_t scanned = 0;
  out_->waitFor(
      [&](const std::vector<std::string>& lines) {
        catchUp(lines);
        std::lock_guard lock(parsed_->mutex);
        for (; scanned < parsed_->frames.size(); ++scanned) {
          if (predicate(parsed_->frames[scanned])) matched.push_back(parsed_->frames[scanned]);
        }
        return matched.size() >= count;
      },
      timeout);
  return matched;
}

std::optional<Frame> FrameReader::waitForFrame(const std::function<bool(const Frame&)>& predicate,
                                               std::chrono::milliseconds timeout) const {
  auto found = waitForFrames(predicate, 1, timeout);
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::optional<Frame> FrameReader::waitForResponse(const std::string& id,
                                                  std::chrono::milliseconds timeout) const {
  return waitForFrame([&](const Frame& f) { return f.isResponse(id); }, timeout);
}

std::optional<Frame> FrameReader::waitForEvent(const std::string& name,
                                               std::chrono::milliseconds timeout) const {
  return waitForFrame([&](const Frame& f) { return f.isEvent(name); }, timeout);
}

void CollectedOutput::collect(int outRead, int errRead, bool readErrNow,
                              std::chrono::milliseconds errReadInterval) {
  out_ = std::make_unique<LineCollector>(outRead);
  errFd_ = errRead;
  errReadInterval_ = errReadInterval;
  if (readErrNow) readErr();
  frames_ = FrameReader(out_.get());
}

void CollectedOutput::readErr() {
  if (!err_) err_ = std::make_unique<LineCollector>(errFd_, errReadInterval_);
}

void CollectedOutput::stopCollecting() {
  out_.reset();
  err_.reset();
}

}  // namespace velmar::testing
