#include "platform/Platform.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace velmar::platform {

namespace {

std::mutex installMutex;
// Every platform ever installed stays, so a reference taken from shared()
// never dangles, even across a test's re-installation.
std::vector<std::unique_ptr<Platform>>& installed =
    *new std::vector<std::unique_ptr<Platform>>;  // guarded by installMutex
std::atomic<Platform*> current{nullptr};

}  // namespace

Platform& Platform::shared() {
  if (Platform* platform = current.load(std::memory_order_acquire)) return *platform;
  throw std::logic_error("No platform is installed: the process entry installs one at start-up");
}

Platform& Platform::install(audiohal::AudioHardware& hal, SystemServices& system,
                            AudioUnitService& audioUnits) {
  std::lock_guard lock(installMutex);
  installed.push_back(std::make_unique<Platform>(hal, system, audioUnits));
  current.store(installed.back().get(), std::memory_order_release);
  return *installed.back();
}

}  // namespace velmar::platform
