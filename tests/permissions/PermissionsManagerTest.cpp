#include "permissions/PermissionsManager.h"

#include <future>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/OutputMarker.h"

namespace velmar {
namespace {

using platform::AuthorizationStatus;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using testing::logLinesSoFar;
using namespace std::chrono_literals;

class PermissionsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &SimulatedMachine::install(); }
  auto& system() { return machine_->system(); }

  // Runs a request and waits for its answer.
  template <typename Request>
  std::optional<bool> answer(Request request) {
    auto promise = std::make_shared<std::promise<bool>>();
    auto future = promise->get_future();
    request([promise](bool granted) { promise->set_value(granted); });
    if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  SimulatedMachine* machine_ = nullptr;
  CapturedOutput captured_;
};

TEST_F(PermissionsManagerTest, OnlyAnAuthorizedStatusCountsAsGranted) {
  PermissionsManager manager;
  const std::pair<AuthorizationStatus, bool> cases[] = {
      {AuthorizationStatus::kNotDetermined, false},
      {AuthorizationStatus::kRestricted, false},
      {AuthorizationStatus::kDenied, false},
      {AuthorizationStatus::kAuthorized, true},
  };
  std::vector<std::string> expected;
  for (auto [status, granted] : cases) {
    system().setAuthorizationStatus(status);
    EXPECT_EQ(manager.checkMicrophonePermission(), granted);
    EXPECT_EQ(manager.checkSystemAudioPermission(), granted);
    const std::string number = std::to_string(static_cast<int>(status));
    expected.push_back("Current microphone permission status: " + number);
    expected.push_back("System audio permission status (macOS 14.2+): " + number + " -> " +
                       (granted ? "true" : "false"));
  }
  EXPECT_EQ(logLinesSoFar(captured_), expected);
}

TEST_F(PermissionsManagerTest, ARequestOnAnUndecidedMachineTakesTheUsersAnswer) {
  PermissionsManager manager;
  system().setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  system().setRequestAnswer(false);
  EXPECT_EQ(answer([&](auto done) { manager.requestSystemAudioAccess(done); }), false);
  EXPECT_FALSE(manager.checkSystemAudioPermission());
  // Once refused, asking again is answered with the refusal.
  system().setRequestAnswer(true);
  EXPECT_EQ(answer([&](auto done) { manager.requestMicrophonePermission(done); }), false);

  system().setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  EXPECT_EQ(answer([&](auto done) { manager.requestMicrophonePermission(done); }), true);
  EXPECT_TRUE(manager.checkMicrophonePermission());

  const auto lines = logLinesSoFar(captured_);
  auto logged = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(logged("Requesting system audio access (macOS 14.2+)"));
  EXPECT_TRUE(logged("System audio permission request result: false"));
  EXPECT_TRUE(logged("Requesting microphone access permission"));
  EXPECT_TRUE(logged("Microphone access granted: false"));
  EXPECT_TRUE(logged("Microphone access granted: true"));
}

TEST_F(PermissionsManagerTest, AnAnswerArrivingAfterTheManagerIsGoneIsStillDelivered) {
  system().setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  system().setRequestAnswer(true, 0.2);
  auto promise = std::make_shared<std::promise<bool>>();
  auto future = promise->get_future();
  {
    PermissionsManager manager;
    manager.requestMicrophonePermission([promise](bool granted) { promise->set_value(granted); });
  }
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_TRUE(captured_.waitForLog("Microphone access granted: true"));
}

TEST_F(PermissionsManagerTest, InstructionsNameTheSettingToChange) {
  const std::string instructions = PermissionsManager().getSystemAudioInstructions();
  EXPECT_EQ(instructions,
            "To enable System Audio recording:\n1. Open System Settings\n2. Navigate to Privacy & "
            "Security → Microphone\n3. Enable permission for this application\n\nNote: This "
            "permission allows capturing audio from other applications (macOS 14.2+).");
}

}  // namespace
}  // namespace velmar
