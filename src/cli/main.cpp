// Process entry of the audio service.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/AudioCLI.h"
#include "cli/CrashHandlers.h"
#include "cli/ProtocolDescription.h"
#include "cli/SystemAudioCheck.h"
#include "commands/CLIError.h"
#include "protocol/ProcessStreams.h"
#include "runtime/HeapMemory.h"
#include "sim/ScenarioError.h"
#include "sim/SimulatedMachine.h"
#ifdef VELMAR_HAVE_PIPEWIRE
#include "pipewire/PipeWireBackend.h"
#endif
#ifdef VELMAR_HAVE_COREAUDIO
#include "mac/MacBackend.h"
#endif

#ifdef VELMAR_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

constexpr const char* kUsage =
    R"(Usage: velmar-audio-cli [--platform NAME] [--check-system-audio] [--describe-protocol]
                        [--help] [--version]

Audio service driven by a host application over its standard streams. Commands
are JSON objects with string "id" and "action", one per line, on standard input.
Every answer and event is one line on standard output, framed as
INIT:>{json}<:INIT, EVENT:>{json}<:EVENT or RESPONSE:>{json}<:RESPONSE; standard
error carries diagnostic lines. The service ends when standard input closes.

Options:
  --platform NAME       the machine to run on: "coreaudio" (the Mac's own audio
                        system; macOS builds only, and their default), "sim" (the
                        simulated machine, the default elsewhere) or "pipewire"
                        (this desktop's PipeWire daemon)
  --check-system-audio  check (and request) the system-audio permission, exit 0 if granted
  --describe-protocol   print the protocol (actions, events, frames, errors, options)
                        as one JSON document and exit; docs/protocol.md explains it
  --help                print this text and exit
  --version             print the version and build id and exit

Environment:
  VELMAR_PLATFORM       the machine to run on when --platform is not given
  PARENT_PID            the host's process id, reported in the INIT message
  VELMAR_SIM_SCENARIO   JSON file describing the simulated machine to run on
  VELMAR_STORE_PATH     file that remembers the aggregate devices across restarts
                        (default /tmp/quorrel_aggregateDevices.json)
)";

// A parent may start us with a standard stream closed. Its number would then
// be reused by the first file we open, and frames or reads would land there;
// /dev/null keeps 0, 1 and 2 taken (reading it is an immediate end of input).
void reserveStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened != fd && opened >= 0) {
        dup2(opened, fd);
        close(opened);
      }
    }
  }
}

// The machine a build runs on when nothing is chosen: the Mac's own where
// this build has that backend, the simulated one elsewhere.
#ifdef VELMAR_HAVE_COREAUDIO
constexpr const char* kDefaultPlatform = "coreaudio";
#else
constexpr const char* kDefaultPlatform = "sim";
#endif

// The value of "--platform NAME" or "--platform=NAME", else VELMAR_PLATFORM,
// else the build's default. Empty when "--platform" has no value.
std::string chosenPlatform(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--platform") return i + 1 < args.size() ? args[i + 1] : std::string();
    if (args[i].rfind("--platform=", 0) == 0) return args[i].substr(11);
  }
  if (const char* fromEnvironment = std::getenv("VELMAR_PLATFORM")) return fromEnvironment;
  return kDefaultPlatform;
}

// Installs the chosen backend. Returns the exit status when it cannot be:
// 1 for an unusable scenario file, 2 for a backend that is unknown or does
// not answer.
std::optional<int> installPlatform(const std::string& name) {
  if (name == "sim") {
    try {
      velmar::sim::SimulatedMachine::installFromEnvironment();
    } catch (const velmar::sim::ScenarioError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    return std::nullopt;
  }
  if (name == "pipewire") {
#ifdef VELMAR_HAVE_PIPEWIRE
    std::string error;
    if (velmar::pipewire::PipeWireBackend::install(error) == nullptr) {
      std::fprintf(stderr, "❌ Cannot use the PipeWire platform: %s\n", error.c_str());
      return 2;
    }
    return std::nullopt;
#else
    std::fprintf(stderr, "❌ This build has no PipeWire platform (libpipewire was not found)\n");
    return 2;
#endif
  }
  if (name == "coreaudio") {
#ifdef VELMAR_HAVE_COREAUDIO
    velmar::mac::MacBackend::install();
    return std::nullopt;
#else
    std::fprintf(stderr,
                 "❌ The \"coreaudio\" platform exists only on macOS: use \"sim\" or "
                 "\"pipewire\" here\n");
    return 2;
#endif
  }
  std::fprintf(stderr,
               "❌ Unknown platform \"%s\": use \"coreaudio\" (macOS), \"sim\" or \"pipewire\"\n",
               name.c_str());
  return 2;
}

// How long an exit waits for the diagnostic lines still queued (the lines
// that say why the service ends among them): enough for a host that reads
// standard error even a few times a second to get them all, and the most a
// host that never reads it delays the exit.
constexpr auto kStandardErrorDrainAtExit = std::chrono::seconds(1);

bool hasArgument(const std::vector<std::string>& args, const char* wanted) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == wanted) return true;
  }
  return false;
}

// Leaves without running destructors or exit handlers (see the callers). A
// coverage build writes its counters first, since _Exit skips the handler that
// would.
[[noreturn]] void leaveNow(int status) {
#ifdef VELMAR_COVERAGE
  __gcov_dump();
#endif
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: memory stays bounded however many threads
  // allocate (see runtime/HeapMemory.h).
  velmar::runtime::capHeapArenas();
  reserveStandardStreams();
  // A host that closes its end of a stream must not kill us with SIGPIPE:
  // the write fails instead, and the service goes on until standard input
  // ends.
  ::signal(SIGPIPE, SIG_IGN);
  velmar::installCrashHandlers();
  std::vector<std::string> args(argv, argv + argc);

  if (hasArgument(args, "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (hasArgument(args, "--version")) {
    std::printf("velmar-audio-cli %s (build %s, commit %s)\n", velmar::AudioCLI::kVersion,
                std::string(velmar::EventEmitter::kDefaultBuildID).c_str(), VELMAR_GIT_COMMIT);
    return 0;
  }
  // Needs no machine: the description comes from the tables alone.
  if (hasArgument(args, "--describe-protocol")) {
    std::fputs((velmar::describeProtocol().dump(2) + "\n").c_str(), stdout);
    return 0;
  }

  // The machine comes first: an unusable scenario file or an absent audio
  // server stops the service before anything is announced to the host. The
  // entry point is the one place that chooses the backend.
  if (auto failed = installPlatform(chosenPlatform(args))) return *failed;

  if (hasArgument(args, "--check-system-audio")) {
    int result = velmar::runSystemAudioCheck();
    // Its status lines are still on their way to standard error.
    velmar::ProcessStreams::flushLines(kStandardErrorDrainAtExit);
    leaveNow(result);
  }

  int status = 0;
  try {
    // Never destroyed: nothing is torn down at exit (taps, aggregate devices
    // and captures stay as they are, and queued work may still run).
    auto* cli = new velmar::AudioCLI(args);
    cli->start();
  } catch (const velmar::CLIError&) {
    status = 1;
  }
  // Queues, timers and captures are left as they are (nothing is torn down):
  // leave without running destructors under threads that may still be busy.
  std::fflush(stdout);
  // The last diagnostic lines are still on their way to standard error.
  velmar::ProcessStreams::flushLines(kStandardErrorDrainAtExit);
  leaveNow(status);
}
