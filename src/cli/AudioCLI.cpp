#include "cli/AudioCLI.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>

#include <asio/executor_work_guard.hpp>
#include <asio/steady_timer.hpp>

#include "cli/StdinReader.h"
#include "commands/CLIError.h"
#include "commands/CommandProcessor.h"
#include "microphone/MicrophoneMonitor.h"
#include "protocol/CommandFramer.h"
#include "protocol/Timestamps.h"
#include "runtime/Queues.h"

namespace velmar {

namespace {

std::chrono::steady_clock::duration seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(s));
}

}  // namespace

AudioCLI::AudioCLI(std::vector<std::string> arguments, int stdinFd)
    : commandProcessor_(CommandProcessor::create()),
      microphoneMonitor_(std::make_unique<MicrophoneMonitor>()),
      arguments_(std::move(arguments)),
      stdinFd_(stdinFd) {}

AudioCLI::~AudioCLI() = default;

nlohmann::json AudioCLI::initExtraInfo(bool resent) const {
  nlohmann::json info = {{"pid", static_cast<int>(::getpid())},
                         {"parentPid", parentPid_},
                         {"args", arguments_},
                         {"timestamp", nowMillis()}};
  if (resent) info["resent"] = true;
  return info;
}

void AudioCLI::start() {
  // The banner and the lines that explain an exit are essential: a host
  // developer looks for them first, so a burst of other lines must not crowd
  // them out of standard error.
  constexpr auto kEssential = LinePriority::essential;
  std::string joined;
  for (const auto& a : arguments_) joined += (joined.empty() ? "" : " ") + a;
  eventEmitter_.logToStderr(std::string("Starting velmar audio CLI (Version ") + kVersion + ")",
                            kEssential);
  eventEmitter_.logToStderr("Process ID: " + std::to_string(::getpid()), kEssential);
  eventEmitter_.logToStderr("Arguments: " + joined, kEssential);
  eventEmitter_.logToStderr("macOS 14.2+ detected - continuing with modern APIs", kEssential);

  const char* parent = std::getenv("PARENT_PID");
  parentPid_ = parent != nullptr ? parent : "unknown";
  eventEmitter_.logToStderr("Parent PID: " + parentPid_, kEssential);

  try {
    setupStdinReading();

    eventEmitter_.logToStderr("About to send INIT event...");
    eventEmitter_.sendInitEvent(kVersion, std::string(EventEmitter::kDefaultBuildID),
                                initExtraInfo(false));

    auto delayed =
        std::make_shared<asio::steady_timer>(runtime::mainContext(), seconds(kDelayedInitSeconds));
    delayed->async_wait([this, delayed](const std::error_code& ec) {
      if (ec) return;
      eventEmitter_.logToStderr("Sending delayed INIT event...");
      eventEmitter_.sendInitEvent(kVersion, std::string(EventEmitter::kDefaultBuildID),
                                  initExtraInfo(true));
    });

    runMainLoop();
  } catch (const std::exception& e) {
    eventEmitter_.logToStderr(std::string("Error in CLI runtime: ") + e.what(), kEssential);
    throw CLIError::runtimeError(std::string("Failed in main CLI routine: ") + e.what());
  }
}

void AudioCLI::setupStdinReading() {
  std::weak_ptr<CommandProcessor> processor = commandProcessor_;
  StdinReader::Callbacks callbacks;
  callbacks.onCommand = [processor](std::string text) {
    if (auto p = processor.lock()) p->receiveCommand(std::move(text));
  };
  // Both wait (holding up the reader) while too many commands are in flight.
  callbacks.onOversized = [processor](std::string head) {
    if (auto p = processor.lock())
      p->receiveOversizedCommand(std::move(head), CommandFramer::kMaxCommandBytes);
  };
  callbacks.onEnd = [this] {
    // Logged before the flag drops, so it always precedes the main loop's
    // closing line.
    eventEmitter_.logToStderr("Electron app closed stdin pipe, terminating CLI...",
                              LinePriority::essential);
    setRunning(false);
  };
  stdinReader_ = std::make_unique<StdinReader>(stdinFd_, std::move(callbacks));
  stdinReader_->start();
}

void AudioCLI::runMainLoop() {
  auto& context = runtime::mainContext();
  // Keeps run_for() pausing the full period even when no work is queued.
  auto guard = asio::make_work_guard(context);
  while (isRunning()) {
    microphoneMonitor_->checkAndUpdateStatus();
    context.restart();
    context.run_for(seconds(kMainLoopPeriodSeconds));
  }
  eventEmitter_.logToStderr("Audio CLI terminated by Electron app shutdown",
                            LinePriority::essential);
}

}  // namespace velmar
