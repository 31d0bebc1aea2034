#include "support/HostConversation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace velmar::testing {

using nlohmann::json;

json command(const std::string& id, const std::string& action, json params) {
  params["id"] = id;
  params["action"] = action;
  return params;
}

bool isAnswer(const Frame& frame, const std::string& id) {
  return frame.isResponse(id) && !frame.body.contains("isAcknowledgment");
}

json answerTo(CliProcess& cli, const json& command, std::chrono::milliseconds timeout) {
  cli.send(command);
  const std::string id = command["id"];
  auto frame = cli.frames().waitForFrame([&](const Frame& f) { return isAnswer(f, id); }, timeout);
  EXPECT_TRUE(frame) << command.dump();
  return frame ? frame->body : json();
}

json ask(CliProcess& cli, const std::string& id, const std::string& action, json params) {
  return answerTo(cli, command(id, action, std::move(params)));
}

std::vector<Frame> responsesTo(CliProcess& cli, const json& command, std::size_t count) {
  cli.send(command);
  const std::string id = command["id"];
  auto responses =
      cli.frames().waitForFrames([&](const Frame& f) { return f.isResponse(id); }, count, 10s);
  EXPECT_EQ(responses.size(), count) << command.dump();
  return responses;
}

void expectRefusal(const json& response, const std::string& code, const std::string& error) {
  EXPECT_EQ(response["success"], false) << response.dump();
  EXPECT_EQ(response["code"], code) << response.dump();
  EXPECT_EQ(response["error"], error) << response.dump();
}

void expectRefusals(CliProcess& cli, const std::vector<Refusal>& refusals) {
  int request = 0;
  for (const auto& r : refusals) {
    json sent = r.command;
    sent["id"] = "e" + std::to_string(++request);
    expectRefusal(answerTo(cli, sent), r.code, r.error);
  }
}

std::string printedBy(const std::vector<std::string>& arguments,
                      std::map<std::string, std::optional<std::string>> environment) {
  CliProcess cli({arguments, std::move(environment)});
  EXPECT_EQ(cli.waitForExit(10s), 0);
  EXPECT_TRUE(cli.out().waitForClose(2s));
  std::string text;
  for (const auto& line : cli.out().lines()) {
    EXPECT_FALSE(parseFrame(line)) << line;
    text += line + "\n";
  }
  return text;
}

void expectFields(const json& data, const json& expected) {
  for (const auto& [key, value] : expected.items()) {
    EXPECT_EQ(data[key], value) << key << " in " << data.dump();
  }
}

bool isInit(const Frame& frame) { return frame.kind == "INIT"; }

std::size_t indexOf(const std::vector<Frame>& frames,
                    const std::function<bool(const Frame&)>& predicate) {
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (predicate(frames[i])) return i;
  }
  return frames.size();
}

std::size_t answerIndex(const std::vector<Frame>& frames, const std::string& id) {
  return indexOf(frames, [&](const Frame& f) { return isAnswer(f, id); });
}

json eventAfterAnswer(const CliProcess& cli, const std::string& id, const std::string& name) {
  bool answered = false;  // frames are looked at once each, in order
  const auto event = cli.frames().waitForFrame(
      [&](const Frame& f) { return (answered = answered || isAnswer(f, id)) && f.isEvent(name); },
      10s);
  EXPECT_TRUE(event) << "no " << name << " after the answer to " << id;
  return event ? event->body["data"] : json();
}

std::size_t countFrames(const CollectedOutput& cli,
                        const std::function<bool(const Frame&)>& predicate) {
  const auto frames = cli.frames().frames();
  return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), predicate));
}

json eventData(const CollectedOutput& cli, const std::string& name) {
  json data = json::array();
  for (const auto& frame : cli.frames().frames()) {
    if (frame.isEvent(name)) data.push_back(frame.body["data"]);
  }
  return data;
}

json scenarioProcess(int pid, const std::string& name, bool running) {
  return {{"pid", pid}, {"name", name}, {"bundleID", "org.example." + name}, {"running", running}};
}

json scenarioAggregate(const std::string& uid, const std::string& name,
                       const std::string& subDevice) {
  return {{"uid", uid}, {"name", name}, {"subdevices", {subDevice}}, {"master", subDevice}};
}

json entryWith(const json& list, const std::string& key, const json& value) {
  for (const auto& entry : list) {
    if (entry.contains(key) && entry[key] == value) return entry;
  }
  return json();
}

json aggregateNamed(CliProcess& cli, const std::string& name) {
  static int request = 0;
  const json listed = ask(cli, "agg" + std::to_string(++request), "getAggregateDevices");
  const json device = entryWith(listed["data"]["devices"], "name", name);
  EXPECT_FALSE(device.is_null()) << "no aggregate device " << name << " in " << listed.dump();
  return device.is_null() ? json::object() : device;
}

std::uint32_t processID(CliProcess& cli, int pid) {
  static int request = 0;
  const json listed = ask(cli, "procs" + std::to_string(++request), "listAudioProcesses");
  const json process = entryWith(listed["data"]["processes"], "pid", pid);
  EXPECT_FALSE(process.is_null()) << "no process " << pid << " in " << listed.dump();
  return process.is_null() ? 0 : process["id"].get<std::uint32_t>();
}

std::map<std::string, int> answerCounts(const CliProcess& cli, std::size_t total,
                                        std::chrono::milliseconds timeout) {
  std::map<std::string, int> counts;
  const auto answers = cli.frames().waitForFrames(
      [](const Frame& f) { return f.kind == "RESPONSE" && !f.body.contains("isAcknowledgment"); },
      total, timeout);
  for (const auto& frame : answers) ++counts[frame.body.value("id", "")];
  return counts;
}

json enableStreaming(CliProcess& cli) {
  return ask(cli, "stream", "enableAudioStreaming",
             {{"format", "pcm16"}, {"sampleRate", 48000}, {"channels", 2}});
}

std::vector<std::uint8_t> decodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int v = value(c);
    EXPECT_GE(v, 0) << "not Base64: " << c;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return bytes;
}

std::vector<float> pcmChannel(const json& data, std::size_t channel) {
  const auto bytes = decodeBase64(data["buffer"]);
  EXPECT_EQ(bytes.size(), data["bufferSize"].get<std::size_t>());
  const std::size_t channels =
      std::max<std::int64_t>(1, data["actualChannels"].get<std::int64_t>());
  std::vector<float> samples;
  for (std::size_t i = 2 * channel; i + 1 < bytes.size(); i += 2 * channels) {
    std::int16_t sample;
    std::memcpy(&sample, &bytes[i], 2);
    samples.push_back(static_cast<float>(sample) / 32768.0f);
  }
  return samples;
}

std::vector<json> audioFrames(const CliProcess& cli, std::optional<std::uint32_t> stream) {
  std::vector<json> found;
  for (const auto& frame : cli.frames().frames()) {
    if (!frame.isEvent("audioData")) continue;
    if (stream && frame.body["data"]["streamIndex"] != *stream) continue;
    found.push_back(frame.body["data"]);
  }
  return found;
}

bool waitForAudio(const CliProcess& cli, std::uint32_t stream, std::size_t count,
                  std::chrono::milliseconds timeout) {
  return cli.frames()
             .waitForFrames(
                 [stream](const Frame& f) {
                   return f.isEvent("audioData") && f.body["data"]["streamIndex"] == stream;
                 },
                 count, timeout)
             .size() >= count;
}

}  // namespace velmar::testing
