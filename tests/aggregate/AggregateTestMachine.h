#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aggregate/AggregateDeviceManager.h"
#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "support/CapturedOutput.h"
#include "support/MainLoopThread.h"
#include "support/OutputMarker.h"
#include "support/UnitHelpers.h"

namespace velmar::testing {

// A fresh default machine, captured output and a private store directory
// for each test.
class AggregateTestMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = &sim::SimulatedMachine::install();
    char pattern[] = "/tmp/velmar-aggregate-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    storePath_ = directory_ + "/aggregateDevices.json";
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  // Managers reach the machine through the platform's interface.
  audiohal::AudioHardware& hal() { return platform::Platform::shared().hal(); }
  sim::SimulatedAudioHardware& machine() { return machine_->hardware(); }

  std::shared_ptr<AggregateDeviceManager> makeManager() {
    return AggregateDeviceManager::create(hal(), storePath_);
  }

  // An aggregate device made by someone else, straight through the HAL.
  AudioObjectID makeAggregate(const std::string& name, const std::string& uid,
                              std::optional<std::string> clock = std::nullopt,
                              std::vector<std::string> subdevices = {}) {
    nlohmann::json description = {{"name", name},
                                  {"uid", uid},
                                  {"subdevices", subdevices},
                                  {"private", false},
                                  {"taps", nlohmann::json::array()}};
    if (clock) description["clock"] = *clock;
    AudioObjectID id = 0;
    EXPECT_EQ(hal().createAggregateDevice(description, id), 0);
    return id;
  }

  std::optional<std::string> clockOf(AudioObjectID aggregate) {
    std::optional<std::string> uid;
    hal().getProperty(aggregate,
                      audiohal::globalAddress(audiohal::kAudioAggregateDevicePropertyClockDevice),
                      uid);
    return uid;
  }

  void writeStore(const std::string& text) {
    std::ofstream(storePath_, std::ios::binary | std::ios::trunc) << text;
  }
  std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Lines logged up to now (every one of them) that contain `text`.
  std::size_t countLogged(const std::string& text) {
    return countContaining(logLinesSoFar(output_), text);
  }
  bool logged(const std::string& text) { return countLogged(text) > 0; }

  CapturedOutput output_;
  sim::SimulatedMachine* machine_ = nullptr;
  std::string directory_;
  std::string storePath_;
};

// The same with a running main loop and a manager that listens for device
// changes, as the service runs it.
class AggregateListeningMachine : public AggregateTestMachine {
 protected:
  void SetUp() override {
    AggregateTestMachine::SetUp();
    loop_ = std::make_unique<MainLoopThread>();
  }
  void TearDown() override {
    manager_.reset();
    loop_.reset();
    AggregateTestMachine::TearDown();
  }
  // Logged once the default-device listeners are in place too.
  void startManager() {
    manager_ = makeManager();
    manager_->startListening();
    ASSERT_TRUE(output_.waitForLog("Started listening for device changes"));
  }

  std::unique_ptr<MainLoopThread> loop_;
  std::shared_ptr<AggregateDeviceManager> manager_;
};

}  // namespace velmar::testing
