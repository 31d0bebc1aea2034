// The PipeWire driver for the HAL conformance suite, on the private daemon
// the test run started: the session's microphone "ci-mic" (its 300 Hz tone),
// a two-channel source of the driver's own as the interface, and players of
// its own as the processes. Other programs are real ones here: players,
// sources and recorders the session script starts and the driver stops.
#include <chrono>
#include <map>

#include "PipeWireSession.h"
#include "hal/HalConformance.h"
#include "pipewire/PipeWireAudioHardware.h"
#include "pipewire/PipeWireBackend.h"

namespace velmar::audiohal {
namespace {

using namespace std::chrono_literals;
using testing::PipeWireSession;

// One connection per test process, as the service makes one.
pipewire::PipeWireBackend* backend(const PipeWireSession& session) {
  static pipewire::PipeWireBackend* installed = [&] {
    session.enter();
    std::string error;
    auto* made = pipewire::PipeWireBackend::install(error);
    if (made == nullptr) ADD_FAILURE() << error;
    return made;
  }();
  return installed;
}

class PipeWireDriver : public ConformanceDriver {
 public:
  PipeWireDriver() : backend_(backend(session_)) {
    if (backend_ == nullptr) return;
    interface_ = session_.startSource(kInterface, 2);
    playing_ = session_.startPlayer("ConformancePlaying", kPlayingTone);
    // Listed like any player, but what it plays is silence.
    silent_ = session_.startPlayer("ConformanceSilent", kSilentTone, 0.0);
    EXPECT_TRUE(interface_ > 0 && playing_ > 0 && silent_ > 0) << "the session did not start them";
    EXPECT_TRUE(waitForHal([&] {
      return hardware().deviceID(kInterface) != 0 && hasProcess(playing_) && hasProcess(silent_);
    }));
  }

  bool supports(Feature feature) override {
    // A stream plays when its application says so; a capture only adds
    // links and cannot take the user's own away.
    return feature != Feature::kSetProcessRunning && feature != Feature::kMutedTaps;
  }
  AudioHardware& hal() override { return hardware(); }
  bool isNotificationThread() override { return hardware().isNotificationThread(); }
  std::string microphoneUID() override { return "ci-mic"; }
  std::string interfaceUID() override { return kInterface; }
  Float64 microphoneTone() override { return 300; }
  std::int32_t playingPID() override { return playing_; }
  std::int32_t silentPID() override { return silent_; }
  Float64 playingTone() override { return kPlayingTone; }
  Float64 silentTone() override { return kSilentTone; }

  // A process is listed while its stream exists, and its stream runs while
  // it plays: one added "not running" is a player of silence, running too.
  std::int32_t addProcess(bool running) override {
    const pid_t pid = session_.startPlayer("ConformanceExtra" + std::to_string(++added_), 700,
                                           running ? 0.3 : 0.0);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(waitForHal([&] { return hasProcess(pid); }));
    return pid;
  }
  void setProcessRunning(std::int32_t, bool) override {
    ADD_FAILURE() << "PipeWire cannot start or stop another program's stream";
  }
  void removeProcess(std::int32_t pid) override {
    session_.stopPlayer(pid);
    EXPECT_TRUE(waitForHal([&] { return !hasProcess(pid); }));
  }
  void killDevice(const std::string& uid) override {
    ASSERT_EQ(uid, kInterface) << "only the driver's own source can be stopped";
    session_.stopPlayer(interface_);
    EXPECT_TRUE(waitForHal([&] { return hardware().deviceID(uid) == 0; }));
  }
  void setDeviceInUseElsewhere(const std::string& uid, bool inUse) override {
    if (inUse)
      recorders_[uid] = session_.startRecorder("ConformanceRecorder", uid);
    else
      session_.stopPlayer(recorders_[uid]);
    EXPECT_TRUE(waitForHal([&] {
      UInt32 value = 0;
      hal().getProperty(
          hardware().deviceID(uid),
          {kAudioDevicePropertyDeviceIsRunningSomewhere, kAudioObjectPropertyScopeInput, 0}, value);
      return value == (inUse ? 1u : 0u);
    }));
  }
  AudioObjectID createForeignTap(const CATapDescription&) override { return 0; }

 private:
  static constexpr const char* kInterface = "conformance-interface";
  static constexpr Float64 kPlayingTone = 523;
  static constexpr Float64 kSilentTone = 587;

  pipewire::PipeWireAudioHardware& hardware() { return backend_->hardware(); }
  bool hasProcess(std::int32_t pid) { return processObjectOf(hardware(), pid) != 0; }
  // Until the graph's changes so far reach the HAL and `shown` holds.
  template <typename Condition>
  bool waitForHal(Condition shown) {
    return testing::waitUntil(
        [&] {
          hardware().settle();
          return shown();
        },
        10s, 20ms);
  }

  PipeWireSession session_;  // stops what the driver started
  pipewire::PipeWireBackend* backend_;
  pid_t interface_ = 0;
  pid_t playing_ = 0;
  pid_t silent_ = 0;
  int added_ = 0;
  std::map<std::string, pid_t> recorders_;
};

INSTANTIATE_TEST_SUITE_P(
    PipeWire, HalConformanceTest,
    ::testing::Values(ConformanceBackend{
        "PipeWire",
        [] { return std::unique_ptr<ConformanceDriver>(std::make_unique<PipeWireDriver>()); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmar::audiohal
