#include "mac/MacBackend.h"

#include <CoreFoundation/CoreFoundation.h>

#include <chrono>

#include "mac/MacAudioHardware.h"
#include "mac/MacAudioUnitService.h"
#include "mac/MacSystemServices.h"
#include "platform/Platform.h"
#include "runtime/RepeatingTimer.h"

namespace velmar::mac {

// The Mac's main run loop, turned from the service's main loop: the main
// thread waits 50 ms at a time in the main context, and this timer there
// lets the run loop handle what is pending (NSWorkspace updates its
// application list there, and the main dispatch queue is drained there)
// without ever blocking in it.
class MainRunLoopTurn {
 public:
  MainRunLoopTurn() {
    timer_.start(std::chrono::milliseconds(10),
                 [] { ::CFRunLoopRunInMode(::kCFRunLoopDefaultMode, 0, false); });
  }

 private:
  runtime::RepeatingTimer timer_;  // on the main context
};

MacBackend::MacBackend() = default;
MacBackend::~MacBackend() = default;

MacBackend& MacBackend::install() {
  auto* backend = new MacBackend();
  backend->hardware_ = std::make_unique<MacAudioHardware>();
  backend->system_ = std::make_unique<MacSystemServices>();
  backend->audioUnits_ = std::make_unique<MacAudioUnitService>();
  backend->runLoopTurn_ = std::make_unique<MainRunLoopTurn>();
  platform::Platform::install(*backend->hardware_, *backend->system_, *backend->audioUnits_);
  return *backend;
}

}  // namespace velmar::mac
