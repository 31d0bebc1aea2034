// Arbitrary bytes as the aggregate-device store: read from its file and
// applied by the aggregate manager on the simulated machine, which keeps what
// names an existing aggregate device and logs the rest.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "aggregate/AggregateDeviceManager.h"
#include "sim/SimulatedMachine.h"

namespace {

std::string storePath;
std::shared_ptr<velmar::AggregateDeviceManager> manager;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  storePath = "/tmp/velmar-fuzz-store-" + std::to_string(::getpid()) + ".json";
  auto& machine = velmar::sim::SimulatedMachine::install();
  manager = velmar::AggregateDeviceManager::create(machine.hardware(), storePath);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(storePath.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  manager->loadSavedAggregateDevices();
  return 0;
}
