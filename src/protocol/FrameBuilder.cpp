#include "protocol/FrameBuilder.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "protocol/EventEmitter.h"
#include "protocol/Utf8.h"

namespace velmar {

namespace {

template <typename Number>
void appendNumber(std::string& out, Number n) {
  char digits[32];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, end);
}

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(runStart, i - runStart));
    runStart = i + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.substr(runStart));
  out.push_back('"');
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  if (utf8::isValid(text)) {
    appendEscaped(out, text);
  } else {
    // Rare: let the generic writer replace the invalid bytes, so both paths
    // write the same text.
    out.append(toCompactJson(nlohmann::json(std::string(text))));
  }
}

FrameBuilder& FrameBuilder::forThisThread() {
  thread_local FrameBuilder builder;
  return builder;
}

void FrameBuilder::beginEvent(std::string_view name, std::int64_t timestampMs) {
  buffer_.clear();
  name_.assign(name);
  fields_ = 0;
  buffer_.append("EVENT:>{\"event\":");
  appendJsonString(buffer_, name);
  buffer_.append(",\"timestamp\":");
  appendNumber(buffer_, timestampMs);
  buffer_.append(",\"data\":{");
}

void FrameBuilder::key(std::string_view name) {
  if (fields_++ > 0) buffer_.push_back(',');
  appendJsonString(buffer_, name);
  buffer_.push_back(':');
}

void FrameBuilder::plainKey(std::string_view name) {
  if (fields_++ > 0) buffer_.push_back(',');
  buffer_.push_back('"');
  buffer_.append(name);
  buffer_.append("\":");
}

void FrameBuilder::value(std::string_view text) { appendJsonString(buffer_, text); }

void FrameBuilder::value(std::int64_t number) { appendNumber(buffer_, number); }

void FrameBuilder::value(std::uint64_t number) { appendNumber(buffer_, number); }

void FrameBuilder::value(double number) {
  // JSON has no NaN or infinity; null is what the generic writer emits too.
  if (!std::isfinite(number)) {
    buffer_.append("null");
    return;
  }
  // The generic writer's own shortest round-trip formatting, so a hot frame
  // carries the same number text (and a float stays a float to the reader).
  char digits[64];
  char* end = nlohmann::detail::to_chars(digits, digits + sizeof digits, number);
  buffer_.append(digits, end);
}

void FrameBuilder::value(bool flag) { buffer_.append(flag ? "true" : "false"); }

void FrameBuilder::nullValue() { buffer_.append("null"); }

void FrameBuilder::plainStringValue(std::string_view text) {
  buffer_.push_back('"');
  buffer_.append(text);
  buffer_.push_back('"');
}

void FrameBuilder::finishEvent() { buffer_.append("}}<:EVENT\n"); }

}  // namespace velmar
