// Permission commands, microphone events and status, and the one-shot
// system-audio check through the executable, on machines with each
// authorisation state.
#include <gtest/gtest.h>

#include "permissions/PermissionsManager.h"
#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::answerIndex;
using testing::ask;
using testing::CliProcess;
using testing::command;
using testing::countFrames;
using testing::Frame;
using testing::isAnswer;
using testing::isInit;
using testing::responsesTo;
using testing::ScenarioFile;
using namespace std::chrono_literals;

const std::string kInstructions = PermissionsManager::kSystemAudioInstructions;

json machineWith(const std::string& authorization, bool requestGrants = true) {
  return {{"base", "default"},
          {"authorization", authorization},
          {"authorizationRequestGrants", requestGrants}};
}

// A fresh command id for every question.
std::string nextID() {
  static int counter = 0;
  return "q" + std::to_string(++counter);
}

json answerOf(CliProcess& cli, const std::string& action) {
  const json answer = ask(cli, nextID(), action);
  EXPECT_EQ(answer["success"], true) << action;
  return answer["data"];
}

// Each check's answer; the system audio is decided as the microphone unless said.
void expectChecksAnswer(CliProcess& cli, bool microphone, std::optional<bool> decided = {}) {
  const bool systemAudio = decided.value_or(microphone);
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

// A request: two responses (FaultSweepTest checks they are the acknowledgment,
// EventEmitterTest what it holds, then the answer), then the event.
// Returns the request's id.
std::string expectRequestAnswers(CliProcess& cli, const std::string& action,
                                 const std::string& type, bool granted) {
  auto isChange = [&](const Frame& f) {
    return f.isEvent("permissionChanged") && f.body["data"]["type"] == type;
  };
  const std::size_t earlierChanges = countFrames(cli, isChange);
  const std::string id = nextID();
  auto responses = responsesTo(cli, command(id, action), 2);
  if (responses.size() != 2) return id;
  json expected = {{"granted", granted}, {"permission", type}};
  if (type == "systemAudio") expected["instructions"] = kInstructions;
  EXPECT_EQ(responses[1].body["data"], expected);

  const auto changes = cli.frames().waitForFrames(isChange, earlierChanges + 1);
  EXPECT_EQ(changes.size(), earlierChanges + 1) << id;
  if (changes.size() > earlierChanges) {
    EXPECT_EQ(changes.back().body["data"], (json{{"type", type}, {"granted", granted}}));
  }
  // This request's event follows its answer: no new one comes before it.
  const auto frames = cli.frames().frames();
  const auto answer = frames.begin() + static_cast<std::ptrdiff_t>(answerIndex(frames, id));
  EXPECT_EQ(static_cast<std::size_t>(std::count_if(frames.begin(), answer, isChange)),
            earlierChanges);
  return id;
}

TEST(PermissionCommandsEndToEndTest, EveryCommandFollowsTheMachinesDecision) {
  const struct {
    const char* authorization;
    int status;
    bool granted;
  } machines[] = {{"authorized", 3, true},
                  {"denied", 2, false},
                  {"restricted", 1, false},
                  // Undecided: the request prompts, and the user refuses.
                  {"notDetermined", 0, false}};
  for (const auto& m : machines) {
    SCOPED_TRACE(m.authorization);
    ScenarioFile machine(machineWith(m.authorization, m.granted));
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
    EXPECT_TRUE(cli.waitForLog(std::string("System audio permission request result: ") +
                               (m.granted ? "true" : "false")));
    expectChecksAnswer(cli, m.granted);
    // Each request answered exactly twice, with one event each.
    cli.closeStdin();
    ASSERT_EQ(cli.waitForExit(), 0);
    for (const auto& id : requests) {
      EXPECT_EQ(countFrames(cli, [&](const Frame& f) { return f.isResponse(id); }), 2u) << id;
    }
    EXPECT_EQ(testing::eventData(cli, "permissionChanged").size(), 3u);
  }
}

TEST(PermissionCommandsEndToEndTest, OnAnUndecidedMachineTheAnswerArrivesAfterTheAcknowledgment) {
  ScenarioFile machine({{"base", "default"},
                        {"authorization", "notDetermined"},
                        {"authorizationRequest", {{"answer", "granted"}, {"after", 1.0}}}});
  CliProcess cli(machine.options());
  ASSERT_TRUE(cli.frames().waitForFrame(isInit));
  expectChecksAnswer(cli, false);

  // The user takes a second to answer the prompt: the acknowledgment comes
  // first, the answer only then.
  cli.send({{"id", "slow"}, {"action", "requestMicrophonePermission"}});
  auto ack = cli.frames().waitForResponse("slow");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body["isAcknowledgment"], true);
  const auto acknowledged = std::chrono::steady_clock::now();
  auto final = cli.frames().waitForFrame([](const Frame& f) { return isAnswer(f, "slow"); }, 10s);
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
  EXPECT_EQ(countFrames(cli, [](const Frame& f) { return f.isResponse("open"); }), 1u);
  EXPECT_EQ(testing::eventData(cli, "permissionChanged").size(), 0u);
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

constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";
constexpr const char* kBuiltInMicName = "MacBook Pro Built-in Microphone";

std::int64_t timestampOf(const Frame& frame) {
  return frame.body["data"]["timestamp"].get<std::int64_t>();
}

TEST(MicrophoneEndToEndTest, AMeetingAppUsingTheMicrophoneIsReportedWithinAboutASecond) {
  ScenarioFile machine(
      {{"base", "default"},
       {"processes", {{{"pid", 2300}, {"name", "Meeting"}, {"bundleID", "org.example.meeting"}}}},
       {"timeline",
        {{{"at", 2}, {"event", "startAudio"}, {"pid", 2300}},
         {{"at", 2}, {"event", "microphoneInUse"}, {"uid", kBuiltInMic}, {"inUse", true}},
         {{"at", 4}, {"event", "microphoneInUse"}, {"uid", kBuiltInMic}, {"inUse", false}},
         {{"at", 4}, {"event", "stopAudio"}, {"pid", 2300}}}}});
  CliProcess cli(machine.options());
  auto init = cli.frames().waitForFrame(isInit);
  ASSERT_TRUE(init);
  const auto started = init->body["timestamp"].get<std::int64_t>();
  // Before the meeting: answered with nothing in use.
  const json status = ask(cli, "before", "getMicrophoneStatus");
  EXPECT_EQ(status["success"], true);
  EXPECT_EQ(
      status["data"],
      (json{{"isActive", false}, {"deviceName", ""}, {"deviceID", 0}, {"level", 0}, {"peak", 0}}));

  auto changes = cli.frames().waitForFrames(
      [](const Frame& f) { return f.isEvent("microphoneChanged"); }, 2, 15s);
  ASSERT_EQ(changes.size(), 2u);
  const auto& on = changes[0].body["data"];
  EXPECT_EQ(on["isActive"], true);
  EXPECT_EQ(on["deviceName"], kBuiltInMicName);
  EXPECT_GT(on["deviceID"].get<int>(), 0);
  // Used from about 2 s after start; checked once a second.
  EXPECT_GE(timestampOf(changes[0]) - started, 1000);
  EXPECT_LE(timestampOf(changes[0]) - started, 4500);
  // What an inactive change carries is the monitor's unit test's to check.
  EXPECT_EQ(changes[1].body["data"]["isActive"], false);
}

// The one-shot check: no frames at all, the answer in the exit status, and
// never the service's start.
TEST(PermissionCommandsEndToEndTest, SystemAudioCheckExitsZeroWhenGrantedAndOneWhenNot) {
  json microphoneOnly = machineWith("authorized");
  microphoneOnly["systemAudioAuthorization"] = "denied";
  const struct {
    json machine;
    int status;
    bool asks = false;
  } checks[] = {{machineWith("authorized"), 0},
                {machineWith("denied"), 1},
                // The microphone's permission does not stand in for the system audio's.
                {microphoneOnly, 1},
                // Undecided: asks, and the answer decides.
                {machineWith("notDetermined", false), 1, true},
                {machineWith("notDetermined", true), 0, true}};
  for (const auto& check : checks) {
    SCOPED_TRACE(check.machine.dump());
    ScenarioFile file(check.machine);
    CliProcess cli(file.options({"--check-system-audio"}));
    EXPECT_EQ(cli.waitForExit(10s), check.status);
    EXPECT_TRUE(cli.out().waitForClose(5s));
    EXPECT_TRUE(cli.frames().frames().empty());
    EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): "));
    if (check.asks) {
      EXPECT_TRUE(cli.waitForLog("System audio permission status (macOS 14.2+): 0 -> false"));
      EXPECT_TRUE(cli.waitForLog("Requesting system audio access (macOS 14.2+)"));
      EXPECT_TRUE(cli.waitForLog(std::string("System audio permission request result: ") +
                                 (check.status == 0 ? "true" : "false")));
    }
    for (const auto& line : cli.err().lines()) {
      EXPECT_EQ(line.find("Starting velmar audio CLI"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace velmar
