#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmar {

// Assembles one EVENT frame by appending into a reused buffer, without a JSON
// tree: the path for high-rate events such as captured audio. Every value is
// written byte for byte as the generic writer writes it; only the order of
// keys may differ (it carries no meaning).
//
//   FrameBuilder& f = FrameBuilder::forThisThread();
//   f.beginEvent("audioData", nowMillis());
//   f.key("streamIndex"); f.value(0);
//   f.finishEvent();  // then EventEmitter::emitBuiltEvent(f)
class FrameBuilder {
 public:
  // One builder per thread, so the buffer's capacity is kept across frames.
  static FrameBuilder& forThisThread();

  void beginEvent(std::string_view name, std::int64_t timestampMs);
  // Keys of the event's data object; commas are handled here.
  void key(std::string_view name);
  // A key the caller guarantees needs no escaping (a literal of plain ASCII).
  void plainKey(std::string_view name);
  void value(std::string_view text);  // escaped; invalid UTF-8 is replaced
  void value(const char* text) { value(std::string_view(text)); }
  void value(std::int64_t number);
  void value(std::uint64_t number);
  void value(int number) { value(static_cast<std::int64_t>(number)); }
  void value(unsigned number) { value(static_cast<std::uint64_t>(number)); }
  // Written as the generic writer writes it: 48000.0, not 48000.
  void value(double number);
  void value(bool flag);
  void nullValue();
  // A string value the caller guarantees needs no escaping (Base64, for one).
  void plainStringValue(std::string_view text);
  void finishEvent();

  // Room for a frame of `bytes` without allocating (not touched until used).
  void reserve(std::size_t bytes) { buffer_.reserve(bytes); }

  std::string_view eventName() const { return name_; }
  std::size_t dataFieldCount() const { return fields_; }
  std::string_view frame() const { return buffer_; }

 private:
  std::string buffer_;
  std::string name_;
  std::size_t fields_ = 0;
};

// Appends `text` as a JSON string literal (quotes included).
void appendJsonString(std::string& out, std::string_view text);

}  // namespace velmar
