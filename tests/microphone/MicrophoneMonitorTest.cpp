#include "microphone/MicrophoneMonitor.h"

#include <gtest/gtest.h>

#include "microphone/FakeMonitorClock.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"
#include "support/RecordingConversation.h"
#include "support/UnitHelpers.h"

namespace velmar {
namespace {

using nlohmann::json;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::eventsSoFar;
using testing::expectFields;
using testing::FakeMonitorClock;
using testing::Frame;
using testing::kMicrophoneName;
using testing::kMicrophoneUID;
using testing::kUSBUID;
using testing::logLinesSoFar;
using namespace std::chrono_literals;

const std::vector<std::string> kMonitorEvents = {"microphoneChanged", "microphoneDebugEvent",
                                                 "microphoneLevel", "monitorDebugInfo"};

// The monitor's events so far, in order, as "name" strings.
std::vector<std::string> eventNames(const CapturedOutput& captured) {
  std::vector<std::string> names;
  eventsSoFar(captured, "");
  for (const auto& frame : captured.frames().frames()) {
    if (frame.kind != "EVENT") continue;
    const std::string name = frame.body["event"];
    if (std::find(kMonitorEvents.begin(), kMonitorEvents.end(), name) != kMonitorEvents.end()) {
      names.push_back(name);
    }
  }
  return names;
}

// The level of second `i` (a pass every 50 ms) while no microphone is active.
json silentLevel(std::size_t i) {
  return {{"level", 0.0},
          {"peak", 0.0},
          {"isActive", false},
          {"deviceName", ""},
          {"deviceID", 0},
          {"timestamp", FakeMonitorClock::kStartMillis + 1000 * std::int64_t(i)},
          {"cycleCount", 1 + 20 * std::int64_t(i)}};
}

class MicrophoneMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &SimulatedMachine::install(); }

  auto& hal() { return machine_->hardware(); }

  // Passes of the main loop every 50 ms for `span`, the first one now.
  void runPasses(MicrophoneMonitor& monitor, std::chrono::milliseconds span) {
    for (auto t = 0ms; t < span; t += 50ms) {
      monitor.checkAndUpdateStatus();
      clock_.advance(50ms);
    }
  }

  SimulatedMachine* machine_ = nullptr;
  FakeMonitorClock clock_;
  CapturedOutput captured_;
};

TEST_F(MicrophoneMonitorTest, WithoutMicrophoneLevelsComeEverySecondAndDebugInfoEveryTen) {
  MicrophoneMonitor monitor(clock_.clock());
  monitor.checkAndUpdateStatus();
  EXPECT_EQ(eventNames(captured_),
            (std::vector<std::string>{"microphoneLevel", "monitorDebugInfo"}));
  const auto debug = eventsSoFar(captured_, "monitorDebugInfo").at(0).body["data"];
  EXPECT_EQ(debug.size(), 6u) << debug;
  expectFields(debug, {{"cycleCount", 1}, {"micActive", false}, {"micName", ""}, {"micID", 0}});
  // Whole MB and whole seconds of what the platform reports.
  auto& system = machine_->system();
  const auto residentMB = static_cast<std::int64_t>(*system.taskResidentMemoryBytes() / 1048576);
  EXPECT_GE(debug["memoryUsageMB"].get<std::int64_t>(), 1);
  EXPECT_NEAR(debug["memoryUsageMB"].get<std::int64_t>(), residentMB, 64);
  EXPECT_NEAR(debug["uptime"].get<double>(), system.systemUptimeSeconds(), 5);
  const std::string debugLine =
      "MicrophoneMonitor: 1 cycles, uptime: " +
      std::to_string(debug["uptime"].get<std::int64_t>()) +
      "s, memory: " + std::to_string(debug["memoryUsageMB"].get<std::int64_t>()) + "MB";
  const auto first = logLinesSoFar(captured_);
  EXPECT_NE(std::find(first.begin(), first.end(), debugLine), first.end());

  clock_.advance(50ms);
  runPasses(monitor, 24950ms);  // with the first: passes at 0, 0.05, ..., 24.95 s
  EXPECT_EQ(monitor.cycleCount(), 500);
  const auto levels = eventsSoFar(captured_, "microphoneLevel");
  ASSERT_EQ(levels.size(), 25u);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i].body["data"], silentLevel(i)) << i;
  }
  const auto debugs = eventsSoFar(captured_, "monitorDebugInfo");
  ASSERT_EQ(debugs.size(), 3u);
  EXPECT_EQ(debugs[1].body["data"]["cycleCount"], 201);
  EXPECT_EQ(debugs[2].body["data"]["cycleCount"], 401);
  const auto lines = logLinesSoFar(captured_);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.starts_with("Mic check completed in ") &&
                                   l.ends_with("ms: active=false, statusChanged=false");
                          }),
            25);
  EXPECT_TRUE(eventsSoFar(captured_, "microphoneChanged").empty());

  // A wall clock set back does not silence the monitor: two more seconds,
  // two more levels.
  clock_.advance(-3600s);
  runPasses(monitor, 2000ms);
  EXPECT_EQ(eventsSoFar(captured_, "microphoneLevel").size(), 27u);
}

// A slow check (its duration truncated in the events) and memory the
// platform cannot read.
TEST_F(MicrophoneMonitorTest, FirstPassWithAnActiveMicrophoneReportsTheChangeThenOneLevel) {
  hal().setDeviceInUseElsewhere(kMicrophoneUID, true);
  machine_->system().setTaskMemoryAvailable(false);
  clock_.setPerSteadyRead(2900us);
  const auto micID = hal().deviceID(kMicrophoneUID);
  MicrophoneMonitor monitor(clock_.clock());
  monitor.checkAndUpdateStatus();
  EXPECT_EQ(eventNames(captured_),
            (std::vector<std::string>{"microphoneChanged", "microphoneDebugEvent",
                                      "microphoneLevel", "monitorDebugInfo"}));

  json changed = {{"isActive", true},
                  {"deviceName", kMicrophoneName},
                  {"deviceID", micID},
                  {"checkDurationMs", 2},
                  {"timestamp", FakeMonitorClock::kStartMillis}};
  EXPECT_EQ(eventsSoFar(captured_, "microphoneChanged").at(0).body["data"], changed);
  // The debug event: the change, what was before it and the cycle.
  changed.update(
      {{"previousActive", false}, {"previousName", ""}, {"previousID", 0}, {"cycleCount", 1}});
  EXPECT_EQ(eventsSoFar(captured_, "microphoneDebugEvent").at(0).body["data"], changed);
  const auto level = eventsSoFar(captured_, "microphoneLevel").at(0).body["data"];
  expectFields(level, {{"isActive", true}, {"deviceName", kMicrophoneName}, {"deviceID", micID}});
  // The peak is the level scaled, uncapped (the level's bounds are the
  // detector test's).
  EXPECT_NEAR(level["peak"].get<double>(), level["level"].get<float>() * 1.2, 1e-6);

  const auto lines = logLinesSoFar(captured_);
  auto logged = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(
      logged(std::string("Microphone status changed: active=true, name=") + kMicrophoneName));
  EXPECT_TRUE(logged(std::string("Using mock audio levels for device ") + kMicrophoneName +
                     " (real monitoring disabled)"));
  EXPECT_EQ(eventsSoFar(captured_, "monitorDebugInfo").at(0).body["data"]["memoryUsageMB"], -1);
  auto startingWith = [&](const std::string& start) {
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.starts_with(start); });
    return line == lines.end() ? std::string() : *line;
  };
  const std::string check = startingWith("Mic check completed in ");
  EXPECT_TRUE(check.starts_with("Mic check completed in 2.9")) << check;
  EXPECT_NE(check.find("ms: active=true, statusChanged=true"), std::string::npos) << check;
  EXPECT_TRUE(startingWith("MicrophoneMonitor: 1 cycles, uptime: ").ends_with("s, memory: -1MB"));
  monitor.checkAndUpdateStatus();  // no wall time later: nothing due
  EXPECT_EQ(eventNames(captured_).size(), 4u);
}

TEST_F(MicrophoneMonitorTest, ASwitchReportsTheOldMicrophoneAsPreviousAndSilenceKeepsLevelsComing) {
  hal().setDeviceInUseElsewhere(kMicrophoneUID, true);
  MicrophoneMonitor monitor(clock_.clock());
  runPasses(monitor, 1000ms);
  hal().setDeviceInUseElsewhere(kMicrophoneUID, false);
  hal().setDeviceInUseElsewhere(kUSBUID, true);
  runPasses(monitor, 1000ms);  // the check at 1.0 s sees the switch
  hal().setDeviceInUseElsewhere(kUSBUID, false);
  runPasses(monitor, 3000ms);

  const auto changes = eventsSoFar(captured_, "microphoneChanged");
  ASSERT_EQ(changes.size(), 3u);
  expectFields(changes[1].body["data"], {{"isActive", true},
                                         {"deviceName", "Studio 2i2 USB"},
                                         {"deviceID", hal().deviceID(kUSBUID)},
                                         {"timestamp", FakeMonitorClock::kStartMillis + 1000}});
  const auto debug = eventsSoFar(captured_, "microphoneDebugEvent").at(1).body["data"];
  expectFields(debug, {{"previousActive", true},
                       {"previousName", kMicrophoneName},
                       {"previousID", hal().deviceID(kMicrophoneUID)},
                       {"cycleCount", 21}});
  expectFields(changes[2].body["data"], {{"isActive", false}, {"deviceName", ""}, {"deviceID", 0}});

  // A change brings its level at once, and only one for that second; while
  // no microphone is active, levels keep coming with zeroes.
  const auto levels = eventsSoFar(captured_, "microphoneLevel");
  ASSERT_EQ(levels.size(), 5u);
  expectFields(levels[1].body["data"], {{"deviceName", "Studio 2i2 USB"}, {"cycleCount", 21}});
  for (std::size_t i = 2; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i].body["data"], silentLevel(i)) << i;
  }
}

}  // namespace
}  // namespace velmar
