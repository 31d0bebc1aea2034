#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmar::base64 {

// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks), table
// driven: two output characters per lookup.
//
//   char* end = base64::encode(pcm.data(), pcm.size(), out);  // out holds encodedSize()
//   base64::encodeAppend(pcm.data(), pcm.size(), text);       // appends to a string

// Characters that `size` bytes encode to.
constexpr std::size_t encodedSize(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes encodedSize(size) characters (no terminator) to `out`; returns the
// end of what was written.
char* encode(const void* data, std::size_t size, char* out);

// Appends the encoding to `text`; allocates only when its capacity is short.
void encodeAppend(const void* data, std::size_t size, std::string& text);

inline std::string encode(std::string_view bytes) {
  std::string text;
  encodeAppend(bytes.data(), bytes.size(), text);
  return text;
}

}  // namespace velmar::base64
