#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "protocol/EventEmitter.h"

namespace velmar {

class CommandProcessor;
class StdinReader;

// The application object: announces readiness to the host (INIT, repeated
// once a second later), feeds standard input to the command processor, and
// keeps the main thread running main-queue work until the host closes
// standard input.
class AudioCLI {
 public:
  static constexpr const char* kVersion = "1.0.0";
  static constexpr double kDelayedInitSeconds = 1.0;
  static constexpr double kMainLoopPeriodSeconds = 0.05;

  explicit AudioCLI(std::vector<std::string> arguments, int stdinFd = 0);
  ~AudioCLI();

  bool isRunning() const { return running_.load(std::memory_order_relaxed); }
  void setRunning(bool running) { running_.store(running, std::memory_order_relaxed); }

  // Runs until standard input closes. Throws CLIError::runtimeError when a
  // step from the reader set-up on fails.
  void start();

 private:
  void setupStdinReading();
  void runMainLoop();
  nlohmann::json initExtraInfo(bool resent) const;

  EventEmitter eventEmitter_;
  std::shared_ptr<CommandProcessor> commandProcessor_;
  std::atomic<bool> running_{true};

  std::vector<std::string> arguments_;
  std::string parentPid_;
  int stdinFd_;
  std::unique_ptr<StdinReader> stdinReader_;
};

}  // namespace velmar
