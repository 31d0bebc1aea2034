#pragma once

// What the recording conversations with the spawned service share: answers
// that must succeed, fields checked as a whole, scenario machines with
// aggregate devices, and the samples of a run of "audioData" events.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/HostConversation.h"

namespace velmar::testing {

// Succeeds when the command's real answer does; the answer is in the message.
inline ::testing::AssertionResult succeeds(CliProcess& cli, const nlohmann::json& command) {
  const nlohmann::json answer = answerTo(cli, command);
  if (answer.is_object() && answer.value("success", false)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << command.dump() << " -> " << answer.dump();
}

// Every field of `expected` has that value in `data`.
inline void expectFields(const nlohmann::json& data, const nlohmann::json& expected) {
  for (const auto& [key, value] : expected.items()) {
    EXPECT_EQ(data[key], value) << key << " in " << data.dump();
  }
}

// The default machine with these aggregate devices.
inline nlohmann::json machineWith(nlohmann::json aggregates) {
  return {{"base", "default"}, {"aggregateDevices", std::move(aggregates)}};
}

// One channel of the events' samples, in order.
inline std::vector<float> channelOf(const std::vector<nlohmann::json>& frames,
                                    std::size_t channel = 0, std::size_t from = 0) {
  std::vector<float> signal;
  for (std::size_t i = from; i < frames.size(); ++i) {
    const auto samples = pcmChannel(frames[i], channel);
    signal.insert(signal.end(), samples.begin(), samples.end());
  }
  return signal;
}

}  // namespace velmar::testing
