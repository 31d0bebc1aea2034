#pragma once

// What a host does in a conversation with the spawned service: build a
// command, send it and wait for its real answer, and read the audio that
// "audioData" events carry.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/CliProcess.h"

namespace velmar::testing {

using namespace std::chrono_literals;

// A command with its id and action and any other parameters.
nlohmann::json command(const std::string& id, const std::string& action,
                       nlohmann::json params = nlohmann::json::object());
// The command's real answer, not its acknowledgment.
bool isAnswer(const Frame& frame, const std::string& id);
// Sends the command and waits for its real answer (null, and a test
// failure, when none comes in time).
nlohmann::json answerTo(CliProcess& cli, const nlohmann::json& command,
                        std::chrono::milliseconds timeout = 10s);
// The answer to command(id, action, params).
nlohmann::json ask(CliProcess& cli, const std::string& id, const std::string& action,
                   nlohmann::json params = nlohmann::json::object());

// Sends the command and waits for `count` responses (an acknowledgment
// first, when it has one); the test fails when fewer come in time.
std::vector<Frame> responsesTo(CliProcess& cli, const nlohmann::json& command, std::size_t count);
// A refused command: not successful, with that code and message.
void expectRefusal(const nlohmann::json& response, const std::string& code,
                   const std::string& error);
struct Refusal {
  nlohmann::json command;  // without its id
  std::string code, error;
};
// Sends each command (ids "e1", "e2"...) and expects it refused so.
void expectRefusals(CliProcess& cli, const std::vector<Refusal>& refusals);
// Everything a run that prints and exits 0 wrote to standard output (the
// test fails on a frame among it).
std::string printedBy(const std::vector<std::string>& arguments,
                      std::map<std::string, std::optional<std::string>> environment = {});

// Every field of `expected` has that value in `data`.
void expectFields(const nlohmann::json& data, const nlohmann::json& expected);

bool isInit(const Frame& frame);
// Index of the first frame that matches, or the frame count.
std::size_t indexOf(const std::vector<Frame>& frames,
                    const std::function<bool(const Frame&)>& predicate);
// Index of the command's real answer, or the frame count.
std::size_t answerIndex(const std::vector<Frame>& frames, const std::string& id);
// The data of the first event of that name after the answer to `id`.
nlohmann::json eventAfterAnswer(const CliProcess& cli, const std::string& id,
                                const std::string& name);
// How many frames so far match.
std::size_t countFrames(const CollectedOutput& cli,
                        const std::function<bool(const Frame&)>& predicate);
// The data of every event of that name so far.
nlohmann::json eventData(const CollectedOutput& cli, const std::string& name);
// A process of a scenario machine's "processes" list.
nlohmann::json scenarioProcess(int pid, const std::string& name, bool running = false);
// An aggregate device of a scenario machine with one sub-device, its main one.
nlohmann::json scenarioAggregate(const std::string& uid, const std::string& name,
                                 const std::string& subDevice = "BuiltInMicrophoneDevice");
// The entry of `list` whose `key` is `value` (null when none is).
nlohmann::json entryWith(const nlohmann::json& list, const std::string& key,
                         const nlohmann::json& value);
// The aggregate device of that name as "getAggregateDevices" lists it.
nlohmann::json aggregateNamed(CliProcess& cli, const std::string& name);
// The process object of that pid, as "listAudioProcesses" lists it.
std::uint32_t processID(CliProcess& cli, int pid);
// Final answers (acknowledgments left out) per command id, once `total`
// have arrived or the time is up.
std::map<std::string, int> answerCounts(const CliProcess& cli, std::size_t total,
                                        std::chrono::milliseconds timeout);
// Streams 16-bit stereo at 48 kHz; the answer.
nlohmann::json enableStreaming(CliProcess& cli);

std::vector<std::uint8_t> decodeBase64(const std::string& text);
// One channel of an "audioData" event's 16-bit samples, as floats.
std::vector<float> pcmChannel(const nlohmann::json& data, std::size_t channel = 0);
// The data of every "audioData" event so far (of one stream when given).
std::vector<nlohmann::json> audioFrames(const CliProcess& cli,
                                        std::optional<std::uint32_t> stream = std::nullopt);
// Waits until `count` "audioData" events of `stream` have arrived.
bool waitForAudio(const CliProcess& cli, std::uint32_t stream, std::size_t count,
                  std::chrono::milliseconds timeout = 20s);

}  // namespace velmar::testing
