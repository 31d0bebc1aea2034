// The level meter's input unit on a real PipeWire daemon, in process: the
// service's meter opened on the session's microphone measures the tone the
// session plays into it.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "PipeWireSession.h"
#include "microphone/AudioLevelMonitor.h"
#include "pipewire/PipeWireAudioHardware.h"
#include "pipewire/PipeWireBackend.h"
#include "platform/Platform.h"

namespace velmar {
namespace {

using namespace std::chrono_literals;
using testing::PipeWireSession;
using testing::waitUntil;

// The session plays a 300 Hz sine of amplitude 0.3 into "ci-mic".
constexpr float kMicrophoneAmplitude = 0.3f;

// Whether the graph holds a node whose name starts with `prefix`.
bool hasNodeNamed(const PipeWireSession& session, const std::string& prefix) {
  for (const auto& object : session.dump()) {
    if (object.value("type", "") != "PipeWire:Interface:Node") continue;
    const std::string name = object["info"]["props"].value("node.name", "");
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(PipeWireLevelMeterTest, MetersTheMicrophonesToneAndLeavesTheGraphWhenStopped) {
  PipeWireSession session;
  ASSERT_TRUE(session.valid());
  session.enter();
  std::string error;
  auto* backend = pipewire::PipeWireBackend::install(error);
  ASSERT_NE(backend, nullptr) << error;
  const auto microphone = backend->hardware().deviceID("ci-mic");
  ASSERT_NE(microphone, 0u);

  AudioLevelMonitor monitor(platform::Platform::shared().audioUnits());
  ASSERT_TRUE(monitor.startMonitoring(microphone));
  // A mono source fills both sides of the meter: a sine's RMS is its peak
  // over the square root of two, whichever cycle is measured.
  ASSERT_TRUE(waitUntil([&] { return monitor.getCurrentLevels().peak > 0.1f; }, 15s, 50ms));
  const auto levels = monitor.getCurrentLevels();
  EXPECT_NEAR(levels.peak, kMicrophoneAmplitude, 0.05f);
  EXPECT_NEAR(levels.rms, kMicrophoneAmplitude / std::sqrt(2.0f), 0.04f);
  EXPECT_EQ(monitor.skippedCycles(), 0u);
  EXPECT_TRUE(hasNodeNamed(session, "velmar-meter-"));

  monitor.stopMonitoring();
  EXPECT_EQ(monitor.getCurrentLevels().peak, 0.0f);
  EXPECT_TRUE(waitUntil([&] { return !hasNodeNamed(session, "velmar-meter-"); }, 10s, 50ms));
}

}  // namespace
}  // namespace velmar
