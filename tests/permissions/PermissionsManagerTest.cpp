#include "permissions/PermissionsManager.h"

#include <future>

#include <gtest/gtest.h>

#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"

namespace velmar {
namespace {

using platform::AuthorizationStatus;
using sim::SimulatedMachine;
using testing::CapturedOutput;
using namespace std::chrono_literals;

class PermissionsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &SimulatedMachine::install(); }
  auto& system() { return machine_->system(); }

  SimulatedMachine* machine_ = nullptr;
  CapturedOutput captured_;
};

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

}  // namespace
}  // namespace velmar
