#include "protocol/Base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace velmar::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every 12-bit group to its two characters: 8 KB, half the lookups of a
// 64-entry table.
struct PairTable {
  std::array<char, 2 * 4096> chars{};
  constexpr PairTable() {
    for (int i = 0; i < 4096; ++i) {
      chars[2 * i] = kAlphabet[i >> 6];
      chars[2 * i + 1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

inline void putPair(char* out, std::uint32_t group) {
  std::memcpy(out, &kPairs.chars[2 * group], 2);
}

inline std::uint64_t loadBigEndian64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline char* putSixBytes(const unsigned char* in, char* out) {
  const std::uint64_t v = loadBigEndian64(in);
  putPair(out, static_cast<std::uint32_t>(v >> 52));
  putPair(out + 2, static_cast<std::uint32_t>(v >> 40) & 0xFFF);
  putPair(out + 4, static_cast<std::uint32_t>(v >> 28) & 0xFFF);
  putPair(out + 6, static_cast<std::uint32_t>(v >> 16) & 0xFFF);
  return out + 8;
}

}  // namespace

char* encode(const void* data, std::size_t size, char* out) {
  const auto* in = static_cast<const unsigned char*>(data);
  std::size_t i = 0;
  // Six bytes (four 12-bit groups) from each 8-byte load, twelve per step,
  // as long as the loads stay inside the input.
  if (size >= 14) {
    for (const std::size_t last = size - 14; i <= last; i += 12) {
      out = putSixBytes(in + i, out);
      out = putSixBytes(in + i + 6, out);
    }
  }
  if (i + 8 <= size) {
    out = putSixBytes(in + i, out);
    i += 6;
  }
  for (; i + 3 <= size; i += 3, out += 4) {
    const std::uint32_t v =
        (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    putPair(out, v >> 12);
    putPair(out + 2, v & 0xFFF);
  }
  const std::size_t rest = size - i;
  if (rest == 1) {
    const std::uint32_t v = in[i];
    out[0] = kAlphabet[v >> 2];
    out[1] = kAlphabet[(v & 3) << 4];
    out[2] = '=';
    out[3] = '=';
    out += 4;
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{in[i]} << 8) | in[i + 1];
    out[0] = kAlphabet[v >> 10];
    out[1] = kAlphabet[(v >> 4) & 63];
    out[2] = kAlphabet[(v & 15) << 2];
    out[3] = '=';
    out += 4;
  }
  return out;
}

void encodeAppend(const void* data, std::size_t size, std::string& text) {
  const std::size_t start = text.size();
  text.resize(start + encodedSize(size));
  encode(data, size, text.data() + start);
}

}  // namespace velmar::base64
