#pragma once

// What the in-process tests of several managers share: the default
// simulated machine's devices and a builder for more, waits on a condition
// and on the main queue, and a line count.

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/post.hpp>

#include "runtime/Queues.h"
#include "sim/SimulatedObjects.h"

namespace velmar::testing {

// Devices of sim::MachineScenario::defaultMachine().
inline constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";
inline constexpr const char* kMicrophoneName = "MacBook Pro Built-in Microphone";
inline constexpr const char* kSpeakerUID = "BuiltInSpeakerDevice";
inline constexpr const char* kUSBUID = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
inline constexpr const char* kHeadsetUID = "00-1B-66-A1-B2-C3:input";

// A device to add to the simulated machine; the rest as the model's defaults.
inline sim::SimulatedDeviceConfig simulatedDevice(
    std::string uid, std::string name,
    audiohal::UInt32 transport = audiohal::kAudioDeviceTransportTypeUnknown,
    std::vector<audiohal::UInt32> inputs = {}, std::vector<audiohal::UInt32> outputs = {}) {
  sim::SimulatedDeviceConfig config;
  config.uid = std::move(uid);
  config.name = std::move(name);
  config.transport = transport;
  config.inputStreams = std::move(inputs);
  config.outputStreams = std::move(outputs);
  return config;
}

// Polls `condition` every `poll` until it holds (true) or `timeout` passes.
template <typename Condition>
bool waitUntil(Condition condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
               std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

// Returns once everything posted to the main queue before it has run (on a
// running main loop): the thread it ran on, or no thread after ten seconds.
inline std::thread::id drainMainQueue() {
  auto ran = std::make_shared<std::promise<std::thread::id>>();
  asio::post(runtime::mainQueue(), [ran] { ran->set_value(std::this_thread::get_id()); });
  auto thread = ran->get_future();
  if (thread.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return {};
  return thread.get();
}

inline std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

}  // namespace velmar::testing
