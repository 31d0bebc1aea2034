// The simulated machine's driver for the HAL conformance suite: the default
// machine, with its microphone, its USB interface, Music (playing) and
// Safari (silent).
#include "hal/HalConformance.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/UnitHelpers.h"

namespace velmar::audiohal {
namespace {

class SimulatedDriver : public ConformanceDriver {
 public:
  SimulatedDriver() : machine_(sim::SimulatedMachine::install()) {}
  AudioHardware& hal() override { return platform::Platform::shared().hal(); }
  bool isNotificationThread() override { return machine().isNotificationThread(); }
  std::string microphoneUID() override { return testing::kMicrophoneUID; }
  std::string interfaceUID() override { return testing::kUSBUID; }
  Float64 microphoneTone() override { return 440; }
  std::int32_t playingPID() override { return 1201; }
  std::int32_t silentPID() override { return 1342; }
  Float64 playingTone() override { return 523.25; }
  Float64 silentTone() override { return 587.33; }
  std::int32_t addProcess(bool running) override {
    sim::SimulatedProcessConfig process;
    process.pid = nextPID_++;
    process.bundleID = "org.example.Player";
    process.name = "Player";
    process.running = running;
    machine().addProcess(process);
    return process.pid;
  }
  void setProcessRunning(std::int32_t pid, bool running) override {
    machine().setProcessRunning(pid, running);
  }
  void removeProcess(std::int32_t pid) override { machine().removeProcess(pid); }
  void killDevice(const std::string& uid) override { machine().killDevice(uid); }
  void setDeviceInUseElsewhere(const std::string& uid, bool inUse) override {
    machine().setDeviceInUseElsewhere(uid, inUse);
  }
  AudioObjectID createForeignTap(const CATapDescription& description) override {
    return machine().createForeignTap(description);
  }

 private:
  sim::SimulatedAudioHardware& machine() { return machine_.hardware(); }
  sim::SimulatedMachine& machine_;
  std::int32_t nextPID_ = 4242;
};

INSTANTIATE_TEST_SUITE_P(
    Simulated, HalConformanceTest,
    ::testing::Values(ConformanceBackend{
        "Simulated",
        [] { return std::unique_ptr<ConformanceDriver>(std::make_unique<SimulatedDriver>()); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmar::audiohal
