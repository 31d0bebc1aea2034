#include "permissions/PermissionsManager.h"

#include <future>

#include <gtest/gtest.h>

#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using namespace std::chrono_literals;

TEST(PermissionsManagerTest, AnAnswerArrivingAfterTheManagerIsGoneIsStillDelivered) {
  auto& system = sim::SimulatedMachine::install().system();
  testing::CapturedOutput captured;
  system.setAuthorizationStatus(platform::AuthorizationStatus::kNotDetermined);
  system.setRequestAnswer(true, 0.2);
  auto promise = std::make_shared<std::promise<bool>>();
  auto future = promise->get_future();
  {
    PermissionsManager manager;
    manager.requestMicrophonePermission([promise](bool granted) { promise->set_value(granted); });
  }
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_TRUE(captured.waitForLog("Microphone access granted: true"));
}

}  // namespace
}  // namespace velmar
