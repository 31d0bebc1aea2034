#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "protocol/LinePriority.h"

namespace velmar {

class FrameBuilder;

// Writes the service's output: INIT, EVENT and RESPONSE frames on standard
// output, diagnostic lines on standard error. Stateless: any number of
// instances may exist and all write the same two streams. Every operation may
// be called from any thread; a frame is assembled completely before it is
// written in one piece, so frames never interleave.
class EventEmitter {
 public:
  static constexpr std::string_view kDefaultBuildID = "e72f5d1";

  // Essential lines (start-up and shutdown) are kept when standard error
  // falls behind; everything else may be dropped then.
  void logToStderr(std::string_view message, LinePriority priority = LinePriority::ordinary) const;

  void emitEvent(const std::string& name, const nlohmann::json& data) const;

  void sendResponse(const std::string& id, bool success,
                    const std::optional<nlohmann::json>& data = std::nullopt,
                    const std::optional<std::string>& error = std::nullopt,
                    const std::optional<std::string>& code = std::nullopt,
                    bool isAcknowledgment = false) const;

  void sendInitEvent(const std::string& version,
                     const std::string& buildID = std::string(kDefaultBuildID),
                     const std::optional<nlohmann::json>& extraInfo = std::nullopt) const;

  void sendErrorEvent(const std::string& code, const std::string& message,
                      const std::optional<nlohmann::json>& details = std::nullopt) const;

  void sendErrorResponse(const std::string& id, const std::string& error,
                         const std::string& code) const;

  // Writes an event assembled with FrameBuilder (the high-rate path), with
  // the same log line as emitEvent.
  void emitBuiltEvent(const FrameBuilder& frame) const;
};

// Compact one-line JSON; invalid UTF-8 in strings becomes U+FFFD rather than
// costing the frame.
std::string toCompactJson(const nlohmann::json& value);

}  // namespace velmar
