#pragma once

// What the recording conversations with the spawned service share: answers
// that must succeed, scenario machines with aggregate devices, and the
// samples of a run of "audioData" events.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/HostConversation.h"

namespace velmar::testing {

// Succeeds when the command's real answer does; the answer is in the message.
inline ::testing::AssertionResult succeeds(CliProcess& cli, const std::string& id,
                                           const std::string& action,
                                           nlohmann::json params = nlohmann::json::object()) {
  const nlohmann::json answer = ask(cli, id, action, params);
  if (answer.is_object() && answer.value("success", false)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << action << " " << params.dump() << " -> " << answer.dump();
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
