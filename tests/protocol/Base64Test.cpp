#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>

#include "protocol/Base64.h"

namespace velmar {
namespace {

// Six bits at a time, the textbook way: what the table-driven encoder must match.
std::string bitwiseBase64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int held = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    held += 8;
    while (held >= 6) {
      held -= 6;
      out.push_back(kAlphabet[(bits >> held) & 63]);
    }
  }
  if (held > 0) out.push_back(kAlphabet[(bits << (6 - held)) & 63]);
  while (out.size() % 4 != 0) out.push_back('=');
  return out;
}

TEST(Base64Test, EncodesTheRfc4648VectorsWithTheStandardAlphabet) {
  // The longer rows reach the 6-byte steps: '+' and '/' (not '-' and '_').
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string(9, '\xff'), "////////////"},
      {std::string("\xfb\xef\xbe\xfb\xef\xbe\xfb\xef\xbe\x00", 10), "++++++++++++AA=="},
  };
  for (const auto& [bytes, text] : vectors) EXPECT_EQ(base64::encode(bytes), text);
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(base64::encode(all), bitwiseBase64(all));
}

TEST(Base64Test, MatchesTheBitwiseEncoderAtEveryLengthAndOffset) {
  std::mt19937 random(7);
  std::string pool(600, '\0');
  for (auto& c : pool) c = static_cast<char>(random());
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length = 0; length <= 64; ++length) {
      const std::string bytes = pool.substr(offset, length);
      ASSERT_EQ(base64::encode(bytes), bitwiseBase64(bytes)) << length << " at " << offset;
      EXPECT_EQ(base64::encodedSize(length), bitwiseBase64(bytes).size());
    }
  }
  const std::string audioSized = pool + pool + pool + pool.substr(0, 248);  // 2048 bytes
  EXPECT_EQ(base64::encode(audioSized), bitwiseBase64(audioSized));
}

TEST(Base64Test, EncodeWritesExactlyTheEncodedSizeAndAppendKeepsThePrefix) {
  char out[16];
  std::fill(std::begin(out), std::end(out), '#');
  const char* end = base64::encode("fooba", 5, out);
  EXPECT_EQ(end - out, 8);
  EXPECT_EQ(std::string(out, 9), "Zm9vYmE=#");

  std::string text = "prefix:";
  base64::encodeAppend("foo", 3, text);
  EXPECT_EQ(text, "prefix:Zm9v");
}

}  // namespace
}  // namespace velmar
