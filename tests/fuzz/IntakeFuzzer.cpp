// Arbitrary bytes as standard input: framed into command texts, taken in by
// the command processor (parse, validation, routing) and dispatched to every
// action's handler and parameter reading on the simulated machine. Each input
// waits until all its commands have been answered, so a finding belongs to
// the input that caused it.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>

#include "commands/CommandProcessor.h"
#include "protocol/CommandFramer.h"
#include "runtime/InFlightLimit.h"
#include "runtime/Queues.h"
#include "sim/SimulatedMachine.h"

namespace {

std::shared_ptr<velmar::CommandProcessor> processor;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A store of its own, and the frames out of the way (findings are reported
  // on standard error).
  const std::string store = "/tmp/velmar-fuzz-intake-" + std::to_string(::getpid()) + ".json";
  ::setenv("VELMAR_STORE_PATH", store.c_str(), 1);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::close(null);
  velmar::sim::SimulatedMachine::install();
  // The main thread's queue (listeners, timers) runs here as the main loop
  // would run it.
  std::thread([] {
    auto& context = velmar::runtime::mainContext();
    auto guard = asio::make_work_guard(context);
    context.run();
  }).detach();
  processor = velmar::CommandProcessor::create();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmar::CommandFramer framer;
  auto pieces = framer.feed(std::string_view(reinterpret_cast<const char*>(data), size));
  for (auto& piece : framer.finish()) pieces.push_back(std::move(piece));
  velmar::runtime::InFlightLimit inFlight(velmar::CommandProcessor::kMaxCommandsInFlight);
  for (const auto& piece : pieces) {
    if (piece.kind == velmar::CommandFramer::Piece::Kind::command) {
      processor->processCommand(piece.text, inFlight.acquire());
    } else {
      processor->rejectOversizedCommand(piece.text, velmar::CommandFramer::kMaxCommandBytes);
    }
  }
  while (inFlight.inFlight() > 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  return 0;
}
