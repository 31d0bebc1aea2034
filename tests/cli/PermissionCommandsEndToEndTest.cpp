// Permission commands and the one-shot system-audio check through the
// executable, on machines with each authorisation state.
#include <gtest/gtest.h>

#include "permissions/PermissionsManager.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::CliProcess;
using testing::Frame;
using testing::indexOf;
using testing::ScenarioFile;
using namespace std::chrono_literals;

const std::string kInstructions = PermissionsManager::kSystemAudioInstructions;

json machineWith(const std::string& authorization, bool requestGrants = true) {
  return {{"base", "default"},
          {"authorization", authorization},
          {"authorizationRequestGrants", requestGrants}};
}

bool isInit(const Frame& f) { return f.kind == "INIT"; }

// Sends a command and returns its `count` responses.
std::vector<Frame> ask(CliProcess& cli, const std::string& id, const std::string& action,
                       std::size_t count = 1) {
  cli.send({{"id", id}, {"action", action}});
  auto responses =
      cli.frames().waitForFrames([&](const Frame& f) { return f.isResponse(id); }, count, 10s);
  EXPECT_EQ(responses.size(), count) << action;
  return responses;
}

// A fresh command id for every question.
std::string nextID() {
  static int counter = 0;
  return "q" + std::to_string(++counter);
}

json answerOf(CliProcess& cli, const std::string& action) {
  const std::string id = nextID();
  auto responses = ask(cli, id, action);
  if (responses.empty()) return nullptr;
  EXPECT_EQ(responses[0].body["success"], true) << action;
  return responses[0].body["data"];
}

void expectChecksAnswer(CliProcess& cli, bool microphone, bool systemAudio) {
  EXPECT_EQ(answerOf(cli, "checkMicrophonePermission"),
            (json{{"granted", microphone}, {"permission", "microphone"}}));
  const json systemAudioAnswer = {
      {"granted", systemAudio}, {"permission", "systemAudio"}, {"instructions", kInstructions}};
  EXPECT_EQ(answerOf(cli, "checkSystemAudioPermission"), systemAudioAnswer);
  EXPECT_EQ(answerOf(cli, "checkScreenCapturePermission"), systemAudioAnswer);
  EXPECT_EQ(answerOf(cli, "getPermissionStatus"),
            (json{{"microphone", {{"granted", microphone}}},
                  {"systemAudio", {{"granted", systemAudio}, {"instructions", kInstructions}}},
                  {"allGranted", microphone && systemAudio}}));
}

void expectChecksAnswer(CliProcess& cli, bool granted) {
  expectChecksAnswer(cli, granted, granted);
}

// A request: acknowledgment, then the final answer, then the event.
// Returns the request's id.
std::string expectRequestAnswers(CliProcess& cli, const std::string& action,
                                 const std::string& type, bool granted) {
  auto isChange = [&](const Frame& f) {
    return f.isEvent("permissionChanged") && f.body["data"]["type"] == type;
  };
  const auto before = cli.frames().frames();
  const auto earlierChanges = std::count_if(before.begin(), before.end(), isChange);
  const std::string id = nextID();
  auto responses = ask(cli, id, action, 2);
  if (responses.size() != 2) return id;
  EXPECT_EQ(responses[0].body["isAcknowledgment"], true);
  EXPECT_EQ(responses[0].body["data"], json::object());
  json expected = {{"granted", granted}, {"permission", type}};
  if (type == "systemAudio") expected["instructions"] = kInstructions;
  EXPECT_EQ(responses[1].body["data"], expected);
  EXPECT_FALSE(responses[1].body.contains("isAcknowledgment"));

  EXPECT_EQ(cli.frames().waitForFrames(isChange, earlierChanges + 1).size(),
            static_cast<std::size_t>(earlierChanges + 1));
  // This request's event is the first new one, and it follows the answer.
  const auto frames = cli.frames().frames();
  const auto final = indexOf(frames, [&](const Frame& f) {
    return f.isResponse(id) && !f.body.contains("isAcknowledgment");
  });
  std::size_t change = frames.size();
  for (std::size_t i = 0, seen = 0; i < frames.size(); ++i) {
    if (isChange(frames[i]) && ++seen == static_cast<std::size_t>(earlierChanges) + 1) change = i;
  }
  EXPECT_LT(final, change);
  if (change < frames.size()) {
    EXPECT_EQ(frames[change].body["data"], (json{{"type", type}, {"granted", granted}}));
  }
  return id;
}

TEST(PermissionCommandsEndToEndTest, EveryCommandFollowsTheMachinesDecision) {
  const struct {
    const char* authorization;
    int status;
    bool granted;
  } machines[] = {{"authorized", 3, true}, {"denied", 2, false}, {"restricted", 1, false}};
  for (const auto& m : machines) {
    SCOPED_TRACE(m.authorization);
    ScenarioFile machine(machineWith(m.authorization));
    CliProcess cli(machine.options());
    ASSERT_TRUE(cli.frames().waitForFrame(isInit));
    expectChecksAnswer(cli, m.granted);
    const std::string status = std::to_string(m.status);
    EXPECT_TRUE(cli.waitForLog("Current microphone permission status: " + status));
    EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): " + status +
                               (m.granted ? " -> true" : " -> false")));
    // Asking again does not change a decision.
    const std::vector<std::string> requests = {
        expectRequestAnswers(cli, "requestMicrophonePermission", "microphone", m.granted),
        expectRequestAnswers(cli, "requestSystemAudioAccess", "systemAudio", m.granted),
        expectRequestAnswers(cli, "requestScreenCaptureAccess", "systemAudio", m.granted)};
    const std::string result = m.granted ? "true" : "false";
    EXPECT_TRUE(cli.waitForLog("Microphone access granted: " + result));
    EXPECT_TRUE(cli.waitForLog("System audio permission request result: " + result));
    expectChecksAnswer(cli, m.granted);
    // Each request answered exactly twice, with one event each.
    cli.closeStdin();
    ASSERT_EQ(cli.waitForExit(), 0);
    const auto frames = cli.frames().frames();
    for (const auto& id : requests) {
      EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                              [&](const Frame& f) { return f.isResponse(id); }),
                2)
          << id;
    }
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                            [](const Frame& f) { return f.isEvent("permissionChanged"); }),
              3);
  }
}

TEST(PermissionCommandsEndToEndTest, OnAnUndecidedMachineTheAnswerArrivesAfterTheAcknowledgment) {
  ScenarioFile machine({{"base", "default"},
                        {"authorization", "notDetermined"},
                        {"authorizationRequest", {{"answer", "granted"}, {"after", 1.0}}}});
  CliProcess cli(machine.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  expectChecksAnswer(cli, false);
  EXPECT_TRUE(cli.waitForLog("Current microphone permission status: 0"));

  // The user takes a second to answer the prompt: the acknowledgment comes
  // first, the answer only then.
  cli.send({{"id", "slow"}, {"action", "requestMicrophonePermission"}});
  auto ack = cli.frames().waitForResponse("slow");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body["isAcknowledgment"], true);
  const auto acknowledged = std::chrono::steady_clock::now();
  auto final = cli.frames().waitForFrame(
      [](const Frame& f) { return f.isResponse("slow") && !f.body.contains("isAcknowledgment"); },
      10s);
  ASSERT_TRUE(final);
  EXPECT_GE(std::chrono::steady_clock::now() - acknowledged, 800ms);
  EXPECT_EQ(final->body["data"], (json{{"granted", true}, {"permission", "microphone"}}));
  auto change = cli.frames().waitForEvent("permissionChanged");
  ASSERT_TRUE(change);
  EXPECT_EQ(change->body["data"], (json{{"type", "microphone"}, {"granted", true}}));
  // Decided now, for both.
  expectChecksAnswer(cli, true);
}

TEST(PermissionCommandsEndToEndTest, APromptNeverAnsweredLeavesOnlyTheAcknowledgment) {
  ScenarioFile machine({{"base", "default"},
                        {"authorization", "notDetermined"},
                        {"authorizationRequest", {{"answer", "never"}}}});
  CliProcess cli(machine.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  cli.send({{"id", "open"}, {"action", "requestSystemAudioAccess"}});
  auto ack = cli.frames().waitForResponse("open");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body["isAcknowledgment"], true);
  // The service goes on answering everything else meanwhile.
  expectChecksAnswer(cli, false);
  cli.closeStdin();
  ASSERT_EQ(cli.waitForExit(), 0);
  const auto frames = cli.frames().frames();
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                          [](const Frame& f) { return f.isResponse("open"); }),
            1);
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                          [](const Frame& f) { return f.isEvent("permissionChanged"); }),
            0);
}

TEST(PermissionCommandsEndToEndTest, AnUndecidedMachineWhoseUserRefuses) {
  ScenarioFile machine(machineWith("notDetermined", false));
  CliProcess cli(machine.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  expectRequestAnswers(cli, "requestSystemAudioAccess", "systemAudio", false);
  expectChecksAnswer(cli, false);
}

// Asks `action` until the service logs `line` (the machine changes on its
// own timeline, in real time); false after a generous time-out.
bool askUntilLogged(CliProcess& cli, const std::string& action, const std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    answerOf(cli, action);
    if (cli.waitForLog(line, 100ms)) return true;
  }
  return false;
}

TEST(PermissionCommandsEndToEndTest, ChangesOnTheMachineAreSeenByTheNextCheckAndRequest) {
  // A refusal the user later resets, so the prompt comes again and is
  // granted; then a policy restricts capture.
  ScenarioFile machine(
      {{"base", "default"},
       {"authorization", "denied"},
       {"timeline",
        {{{"at", 1}, {"event", "setAuthorization"}, {"status", "notDetermined"}},
         {{"at", 1}, {"event", "setAuthorizationRequest"}, {"answer", "granted"}, {"after", 0.2}},
         {{"at", 6}, {"event", "setAuthorization"}, {"status", "restricted"}}}}});
  CliProcess cli(machine.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  expectChecksAnswer(cli, false);
  ASSERT_TRUE(
      askUntilLogged(cli, "checkMicrophonePermission", "Current microphone permission status: 0"));
  expectRequestAnswers(cli, "requestMicrophonePermission", "microphone", true);
  expectChecksAnswer(cli, true);
  ASSERT_TRUE(askUntilLogged(cli, "checkSystemAudioPermission",
                             "System audio permission status (macOS 14.2+): 1 -> false"));
  expectChecksAnswer(cli, false);
}

TEST(PermissionCommandsEndToEndTest, SystemAudioIsDecidedApartFromTheMicrophone) {
  // The microphone is allowed, other applications' audio refused until the
  // user allows it too.
  json machine = machineWith("authorized");
  machine["systemAudioAuthorization"] = "denied";
  machine["timeline"] = {
      {{"at", 1}, {"event", "setSystemAudioAuthorization"}, {"status", "authorized"}}};
  ScenarioFile file(machine);
  CliProcess cli(file.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  expectChecksAnswer(cli, true, false);
  EXPECT_TRUE(cli.waitForLog("Current microphone permission status: 3"));
  EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): 2 -> false"));
  ASSERT_TRUE(askUntilLogged(cli, "checkSystemAudioPermission",
                             "System audio permission status (macOS 14.2+): 3 -> true"));
  expectChecksAnswer(cli, true, true);
}

// The one-shot check: no frames at all, the answer in the exit status.
struct CheckRun {
  std::optional<int> status;
  std::vector<Frame> frames;
};

CheckRun runCheck(const json& machine) {
  ScenarioFile file(machine);
  CliProcess cli(file.options({"--check-system-audio"}));
  CheckRun run;
  run.status = cli.waitForExit(10s);
  EXPECT_TRUE(cli.out().waitForClose(5s));
  run.frames = cli.frames().frames();
  EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): "));
  return run;
}

TEST(PermissionCommandsEndToEndTest, SystemAudioCheckExitsZeroWhenGrantedAndOneWhenNot) {
  auto granted = runCheck(machineWith("authorized"));
  EXPECT_EQ(granted.status, 0);
  EXPECT_TRUE(granted.frames.empty());

  auto denied = runCheck(machineWith("denied"));
  EXPECT_EQ(denied.status, 1);
  EXPECT_TRUE(denied.frames.empty());

  // The microphone's permission does not stand in for the system audio's.
  json microphoneOnly = machineWith("authorized");
  microphoneOnly["systemAudioAuthorization"] = "denied";
  EXPECT_EQ(runCheck(microphoneOnly).status, 1);

  // Undecided: asks, and the answer decides.
  EXPECT_EQ(runCheck(machineWith("notDetermined", false)).status, 1);
  ScenarioFile file(machineWith("notDetermined", true));
  CliProcess cli(file.options({"--check-system-audio"}));
  ASSERT_EQ(cli.waitForExit(10s), 0);
  EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): 0 -> false"));
  EXPECT_TRUE(cli.waitForLog("Requesting system audio access (macOS 14.2+)"));
  EXPECT_TRUE(cli.waitForLog("System audio permission request result: true"));
  for (const auto& line : cli.err().lines()) {
    EXPECT_EQ(line.find("Starting velmar audio CLI"), std::string::npos);
  }
}

}  // namespace
}  // namespace velmar
