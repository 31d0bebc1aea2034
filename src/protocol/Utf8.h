#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmar::utf8 {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValid(std::string_view bytes);

// The text with every invalid sequence replaced by U+FFFD, so it can always be
// written as JSON. Valid input is returned unchanged.
std::string sanitize(std::string_view bytes);

// Number of code points (characters) of valid UTF-8 text.
std::size_t codePointCount(std::string_view text);

// Unicode lower case, code point by code point (invalid bytes are kept as
// they are). Used for case-insensitive name matching.
std::string toLower(std::string_view text);

}  // namespace velmar::utf8
