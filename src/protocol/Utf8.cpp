#include "protocol/Utf8.h"

#include <locale.h>
#include <wctype.h>

namespace velmar::utf8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid sequence starting at `i`, or 0 when it is invalid.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // overlong
    if (b0 == 0xED) high = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;   // overlong
    if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

bool isValid(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    // Fast path for ASCII runs, the common case for commands and frames.
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = validSequenceLength(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string sanitize(std::string_view bytes) {
  if (isValid(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t n = validSequenceLength(bytes, i);
    if (n == 0) {
      out.append(kReplacement);
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

namespace {

char32_t decode(std::string_view s, std::size_t i, std::size_t length) {
  auto b = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]));
  };
  switch (length) {
    case 1:
      return b(0);
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

void encode(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A UTF-8 locale for the C library's Unicode case tables, without touching
// the process-wide locale. Null when the system has none.
locale_t unicodeLocale() {
  static locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr)) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", nullptr);
    return l;
  }();
  return locale;
}

}  // namespace

std::string toLower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  locale_t locale = unicodeLocale();
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
      ++i;
      continue;
    }
    std::size_t n = validSequenceLength(text, i);
    if (n == 0) {
      out.push_back(text[i++]);
      continue;
    }
    char32_t cp = decode(text, i, n);
    if (locale != static_cast<locale_t>(nullptr)) {
      cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
    }
    encode(out, cp);
    i += n;
  }
  return out;
}

std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace velmar::utf8
