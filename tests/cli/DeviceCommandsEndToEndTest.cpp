// Device and aggregate-device commands through the executable, and the store
// across restarts.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/HostConversation.h"
#include "support/ScenarioFile.h"

namespace velmar {
namespace {

using nlohmann::json;
using testing::answerTo;
using testing::ask;
using testing::CliProcess;
using testing::expectRefusal;
using testing::Frame;
using testing::ScenarioFile;
using namespace std::chrono_literals;

constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";

// A private directory for a store that outlives one run of the service.
class StoreDirectory {
 public:
  StoreDirectory() {
    char pattern[] = "/tmp/velmar-e2e-store-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    path_ = pattern;
  }
  ~StoreDirectory() { std::filesystem::remove_all(path_); }
  std::string store() const { return path_ + "/aggregateDevices.json"; }
  std::optional<json> saved() const {
    std::ifstream in(store());
    if (!in) return std::nullopt;
    return json::parse(in);
  }

 private:
  std::string path_;
};

// A fresh machine, over two runs of the service sharing a store: the
// start-up lists; refusals of missing, mistyped or unknown parameters; an
// aggregate device built, described, listed and taken apart; then two made
// in a run that ends are gone after the restart, as private aggregate devices
// die with the process that made them.
TEST(DeviceCommandsEndToEndTest, AggregateDevicesAreBuiltListedTakenApartAndGoneAfterARestart) {
  StoreDirectory directory;
  CliProcess::Options options{{}, {{"VELMAR_STORE_PATH", directory.store()}}};
  std::uint32_t first = 0;
  {
    CliProcess cli(options);
    auto lists = cli.frames().waitForFrames(
        [](const Frame& f) {
          return f.isEvent("audioDeviceList") || f.isEvent("aggregateDeviceList");
        },
        2);
    ASSERT_EQ(lists.size(), 2u);
    ASSERT_TRUE(lists[0].isEvent("audioDeviceList"));
    ASSERT_TRUE(lists[1].isEvent("aggregateDeviceList"));
    const json& devices = lists[0].body["data"];
    EXPECT_EQ(devices["count"], 4);
    EXPECT_EQ(devices["devices"][0], (json{{"id", devices["devices"][0]["id"]},
                                           {"uid", kMicrophoneUID},
                                           {"name", "MacBook Pro Built-in Microphone"},
                                           {"hasInputChannels", true}}));
    EXPECT_EQ(lists[1].body["data"], (json{{"devices", json::array()},
                                           {"count", 0},
                                           {"currentDeviceID", 0},
                                           {"protectedDeviceID", 0}}));

    // Sent with no parameter at all, every action is the protocol
    // description's test; here, parameters present but unusable.
    testing::expectRefusals(
        cli, {
                 // A text ID is no ID.
                 {{{"action", "addDeviceToAggregate"},
                   {"aggregateID", "91"},
                   {"deviceUID", kMicrophoneUID}},
                  "missing_parameter",
                  "Missing required parameter: aggregateID"},
                 {{{"action", "removeDeviceFromAggregate"}, {"aggregateID", 91}},
                  "missing_parameter",
                  "Missing required parameter: deviceUID"},
                 {{{"action", "addTapToAggregate"}, {"aggregateID", 91}, {"tapUID", 17}},
                  "missing_parameter",
                  "Missing required parameter: tapUID"},
                 {{{"action", "destroyAggregateDevice"}, {"deviceID", -1}},
                  "missing_parameter",
                  "Missing required parameter: deviceID"},
                 {{{"action", "destroyAggregateDevice"}, {"deviceID", 4294967296}},
                  "missing_parameter",
                  "Missing required parameter: deviceID"},
                 {{{"action", "destroyAggregateDevice"}, {"deviceID", 1}},
                  "execution_error",
                  "Command execution error: Failed to destroy aggregate device"},
                 {{{"action", "addTapToAggregate"}, {"aggregateID", 7}, {"tapUID", "tap"}},
                  "execution_error",
                  "Command execution error: Failed to add tap to aggregate device"},
                 {{{"action", "configureAggregateDevice"}, {"deviceID", 7}},
                  "execution_error",
                  "Command execution error: Failed to configure aggregate device"},
             });
    for (const char* action : {"getDeviceCapabilities", "getOptimalAudioConfig"}) {
      EXPECT_EQ(ask(cli, action, action),
                (json{{"id", action}, {"success", false}, {"error", "No aggregate device found"}}))
          << action;
    }
    EXPECT_EQ(ask(cli, "devices", "getAudioDevices")["data"]["count"], 4);
    EXPECT_EQ(ask(cli, "c0", "checkAggregateDevice")["data"],
              (json{{"hasAggregateDevices", false}}));

    auto created = ask(cli, "create", "createAggregateDevice");
    ASSERT_EQ(created["success"], true) << created.dump();
    EXPECT_EQ(created["data"]["message"], "Aggregate device created successfully");
    const std::uint32_t id = created["data"]["deviceID"];
    ASSERT_NE(id, 0u);
    EXPECT_EQ(directory.saved().value()["deviceIDs"], json::array({id}));

    // The name and uid are AggregateDeviceManagerTest's.
    auto capabilities = ask(cli, "caps", "getDeviceCapabilities");
    ASSERT_EQ(capabilities["success"], true);
    const json& data = capabilities["data"];
    EXPECT_EQ(data, (json{{"deviceID", id},
                          {"name", data["name"]},
                          {"uid", data["uid"]},
                          {"transportType", 1735554416u},  // 'grup'
                          {"canBeClockSource", false},
                          {"isBluetooth", false},
                          {"isBuiltIn", false},
                          {"supportedSampleRates", {48000.0}}}));
    auto config = ask(cli, "optimal", "getOptimalAudioConfig");
    EXPECT_EQ(config["data"],
              (json{{"sampleRate", 48000},
                    {"channels", 2},
                    {"format", "linear16"},
                    {"deviceName", data["name"]},
                    {"isBluetooth", false},
                    {"supportedSampleRates", {48000.0}},
                    {"reasoning",
                     {{"sampleRate", "Selected 48000Hz based on device capabilities"},
                      {"channels", "Using stereo for optimal quality"}}}}));

    auto added = ask(cli, "add", "addDeviceToAggregate",
                     {{"aggregateID", id}, {"deviceUID", kMicrophoneUID}});
    EXPECT_EQ(added["data"], (json{{"aggregateID", id},
                                   {"deviceUID", kMicrophoneUID},
                                   {"message", "Device added to aggregate device successfully"}}));
    // Announced after the change.
    ASSERT_TRUE(cli.frames().waitForFrame([&](const Frame& f) {
      return f.isEvent("aggregateDeviceList") && f.body["data"]["count"] == 1 &&
             f.body["data"]["devices"][0]["deviceList"] == json::array({kMicrophoneUID});
    }));
    auto configured = ask(cli, "configure", "configureAggregateDevice", {{"deviceID", id}});
    EXPECT_EQ(configured["data"],
              (json{{"deviceID", id}, {"message", "Aggregate device configured successfully"}}));
    auto listed = ask(cli, "list", "getAggregateDevices");
    ASSERT_EQ(listed["data"]["count"], 1);
    const json& device = listed["data"]["devices"][0];
    EXPECT_EQ(device["id"], id);
    // Both flags default to true.
    testing::expectFields(device, {{"isPrivate", true}, {"autoStart", true}, {"autoStop", false}});
    EXPECT_EQ(ask(cli, "c1", "checkAggregateDevice")["data"],
              (json{{"hasAggregateDevices", true}, {"count", 1}, {"deviceIDs", {id}}}));

    auto removed = ask(cli, "rd", "removeDeviceFromAggregate",
                       {{"aggregateID", id}, {"deviceUID", kMicrophoneUID}});
    EXPECT_EQ(removed["data"]["message"], "Device removed from aggregate device successfully");
    // Its answer is the tap commands' test's.
    EXPECT_EQ(ask(cli, "switch", "handleDeviceSwitch")["success"], true);
    auto destroyed = ask(cli, "destroy", "destroyAggregateDevice", {{"deviceID", id}});
    EXPECT_EQ(destroyed["data"],
              (json{{"deviceID", id}, {"message", "Aggregate device destroyed successfully"}}));
    EXPECT_EQ(ask(cli, "list2", "getAggregateDevices")["data"]["count"], 0);

    first = ask(cli, "1", "createAggregateDevice")["data"]["deviceID"];
    // The device-list listener makes it current; the next creation saves that.
    ASSERT_TRUE(cli.waitForLog("Setting current aggregate device to first available: " +
                               std::to_string(first)));
    ask(cli, "2", "createAggregateDevice");
    auto saved = directory.saved().value();
    EXPECT_EQ(saved["deviceIDs"].size(), 2u);
    EXPECT_EQ(saved["currentDeviceID"], first);
  }
  // What the store says on loading is the store's test; the host sees none.
  CliProcess cli(options);
  auto list = cli.frames().waitForEvent("aggregateDeviceList");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body["data"]["count"], 0);
  EXPECT_EQ(list->body["data"]["currentDeviceID"], 0);
}

TEST(DeviceCommandsEndToEndTest, ARestartOnAMachineWithAggregatesRestoresTheCurrentOne) {
  // Aggregate devices that outlive the service (made by another program).
  ScenarioFile scenario(json{
      {"base", "default"},
      {"aggregateDevices",
       {{{"uid", "agg-x"}, {"name", "X Recorder"}}, {{"uid", "agg-y"}, {"name", "Y Recorder"}}}}});
  StoreDirectory directory;
  CliProcess::Options options{
      {}, {{"VELMAR_SIM_SCENARIO", scenario.path()}, {"VELMAR_STORE_PATH", directory.store()}}};
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  {
    CliProcess cli(options);
    auto list = ask(cli, "list", "getAggregateDevices");
    ASSERT_EQ(list["data"]["count"], 2);
    x = list["data"]["devices"][0]["id"];
    y = list["data"]["devices"][1]["id"];
    auto initial = cli.frames().waitForEvent("aggregateDeviceList");
    ASSERT_TRUE(initial);
    EXPECT_EQ(initial->body["data"]["currentDeviceID"], x);

    // Destroying the current device makes the next one current; the next
    // creation saves that.
    ask(cli, "destroy", "destroyAggregateDevice", {{"deviceID", x}});
    ASSERT_TRUE(cli.waitForLog("Setting current aggregate device to first available: " +
                               std::to_string(y)));
    ask(cli, "create", "createAggregateDevice");
    EXPECT_EQ(directory.saved().value()["currentDeviceID"], y);
  }

  // Same machine again: both scenario devices are back with their IDs; the
  // list load would pick X, the store restores Y.
  CliProcess cli(options);
  auto list = cli.frames().waitForEvent("aggregateDeviceList");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body["data"]["count"], 2);
  EXPECT_EQ(list->body["data"]["currentDeviceID"], y);
  EXPECT_TRUE(cli.waitForLog("Restored current aggregate device ID: " + std::to_string(y)));
}

}  // namespace
}  // namespace velmar
