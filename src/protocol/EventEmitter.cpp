#include "protocol/EventEmitter.h"

#include <exception>

#include "protocol/FrameBuilder.h"
#include "protocol/ProcessStreams.h"
#include "protocol/Timestamps.h"
#include "protocol/Utf8.h"

namespace velmar {

namespace {

using nlohmann::json;

void writeFramed(std::string_view open, const std::string& body, std::string_view close) {
  std::string frame;
  frame.reserve(open.size() + body.size() + close.size() + 1);
  frame.append(open).append(body).append(close).push_back('\n');
  ProcessStreams::writeFrame(frame);
}

std::size_t fieldCount(const json& data) { return data.is_object() ? data.size() : 0; }

}  // namespace

std::string toCompactJson(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void EventEmitter::logToStderr(std::string_view message, LinePriority priority) const {
  if (utf8::isValid(message)) {
    ProcessStreams::writeLine(message, priority);
  } else {
    ProcessStreams::writeLine(utf8::sanitize(message), priority);
  }
}

void EventEmitter::emitEvent(const std::string& name, const json& data) const {
  std::string text;
  try {
    json body = {{"event", name}, {"timestamp", nowMillis()}, {"data", data}};
    text = toCompactJson(body);
  } catch (const std::exception& e) {
    logToStderr(std::string("Error emitting event: ") + e.what());
    return;
  }
  writeFramed("EVENT:>", text, "<:EVENT");
  logToStderr("Emitted event: " + name + " with " + std::to_string(fieldCount(data)) +
              " data fields");
}

void EventEmitter::emitBuiltEvent(const FrameBuilder& frame) const {
  ProcessStreams::writeFrame(frame.frame());
  logToStderr("Emitted event: " + std::string(frame.eventName()) + " with " +
              std::to_string(frame.dataFieldCount()) + " data fields");
}

void EventEmitter::sendResponse(const std::string& id, bool success,
                                const std::optional<json>& data,
                                const std::optional<std::string>& error,
                                const std::optional<std::string>& code,
                                bool isAcknowledgment) const {
  if (!success) {
    logToStderr("Sending error response for ID " + id + ": " + error.value_or("unknown error"));
  }
  std::string text;
  try {
    json body = {{"id", id}, {"success", success}};
    if (isAcknowledgment) body["isAcknowledgment"] = true;
    if (data) body["data"] = *data;
    if (error) {
      body["error"] = *error;
      if (code) body["code"] = *code;
    }
    text = toCompactJson(body);
  } catch (const std::exception& e) {
    logToStderr(std::string("Error sending response: ") + e.what());
    return;
  }
  writeFramed("RESPONSE:>", text, "<:RESPONSE");
  logToStderr("Response sent for ID " + id +
              ", data size: " + std::to_string(utf8::codePointCount(text)) + " chars");
}

void EventEmitter::sendInitEvent(const std::string& version, const std::string& buildID,
                                 const std::optional<json>& extraInfo) const {
  json info;
  std::string text;
  try {
    info = {{"version", version},
            {"buildID", buildID},
            {"microphonePermission", true},
            {"recordingPermission", true},
            {"ready", true},
            {"capabilities", {"microphone", "recording"}},
            {"timestamp", nowMillis()}};
    if (extraInfo && extraInfo->is_object()) {
      for (const auto& [key, value] : extraInfo->items()) info[key] = value;
    }
    text = toCompactJson(info);
  } catch (const std::exception& e) {
    logToStderr(std::string("Error sending INIT: ") + e.what());
    return;
  }
  writeFramed("INIT:>", text, "<:INIT");
  logToStderr("Sent INIT event with version " + version);
  emitEvent("init", info);
  logToStderr("Sent INIT event with " + std::to_string(info.size()) + " fields");
}

void EventEmitter::sendErrorEvent(const std::string& code, const std::string& message,
                                  const std::optional<json>& details) const {
  json data = {{"code", code}, {"message", message}};
  if (details) data["details"] = *details;
  emitEvent("error", data);
}

void EventEmitter::sendErrorResponse(const std::string& id, const std::string& error,
                                     const std::string& code) const {
  logToStderr("Error response for command " + id + ": [" + code + "] " + error);
  sendResponse(id, false, std::nullopt, error, code);
}

}  // namespace velmar
