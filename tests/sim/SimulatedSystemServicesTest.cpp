#include "sim/SimulatedSystemServices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

#include "platform/Platform.h"
#include "platform/PlatformError.h"
#include "sim/SimulatedMachine.h"

namespace velmar::platform {
namespace {

using namespace std::chrono_literals;

class SystemServicesTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &sim::SimulatedMachine::install(); }
  SystemServices& system() { return Platform::shared().system(); }
  sim::SimulatedMachine* machine_ = nullptr;
};

TEST_F(SystemServicesTest, WorkspaceAndKernelNamesComeFromTheSimulatedProcessTable) {
  auto applications = system().runningApplications();
  ASSERT_EQ(applications.size(), 5u);
  EXPECT_EQ(applications[0].processIdentifier, 1201);
  EXPECT_EQ(applications[0].localizedName, "Music");
  EXPECT_EQ(applications[4].localizedName, std::nullopt);

  EXPECT_EQ(system().kernelCommandName(402), "corespeechd");
  // A PID that only Linux knows is answered from /proc: this test itself.
  EXPECT_EQ(system().kernelCommandName(getpid()), "velmar_sim_test");
  EXPECT_EQ(system().kernelCommandName(99999999), std::nullopt);

  machine_->hardware().addProcess({3000, "", "A very long application name", std::nullopt});
  EXPECT_EQ(system().kernelCommandName(3000), "A very long appl");
}

TEST_F(SystemServicesTest, MachineFiguresAreReal) {
  auto resident = system().taskResidentMemoryBytes();
  ASSERT_TRUE(resident.has_value());
  EXPECT_GT(*resident, 1024u * 1024u);
  EXPECT_GT(system().systemUptimeSeconds(), 0);
  EXPECT_GT(system().physicalMemoryBytes(), 100u * 1024u * 1024u);
  EXPECT_TRUE(system().availableCapacity("/").has_value());
}

TEST_F(SystemServicesTest, FreeSpaceOfAMissingPathIsAPlatformError) {
  try {
    system().availableCapacity("/no/such/directory/here");
    FAIL() << "expected a PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_NE(error.localizedDescription().find("/no/such/directory/here"), std::string::npos);
    EXPECT_EQ(error.description(),
              "Error Domain=NSPOSIXErrorDomain Code=" + std::to_string(ENOENT) + " \"" +
                  error.localizedDescription() + "\"");
  }
}

TEST_F(SystemServicesTest, AccessRequestsAnswerLaterOnAnotherThread) {
  auto& simulated = machine_->system();
  auto request = [&] {
    auto answer = std::make_shared<std::promise<std::pair<bool, std::thread::id>>>();
    auto future = answer->get_future();
    system().requestCaptureAccess([answer](bool granted) {
      answer->set_value({granted, std::this_thread::get_id()});
    });
    EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
    return future.get();
  };

  simulated.setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  simulated.setRequestAnswer(false);
  auto [denied, thread] = request();
  EXPECT_FALSE(denied);
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(system().captureAuthorizationStatus(), AuthorizationStatus::kDenied);
  // Once decided, asking again does not change the answer.
  simulated.setRequestAnswer(true);
  EXPECT_FALSE(request().first);

  simulated.setAuthorizationStatus(AuthorizationStatus::kNotDetermined);
  EXPECT_TRUE(request().first);
  EXPECT_EQ(system().captureAuthorizationStatus(), AuthorizationStatus::kAuthorized);
}

}  // namespace
}  // namespace velmar::platform
