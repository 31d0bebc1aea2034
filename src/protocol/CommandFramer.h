#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmar {

// Splits the bytes read from standard input into command texts. Commands end
// at line feeds; a trailing piece without one is kept until the rest arrives,
// unless it is already one complete JSON object or array (hosts that write
// one object per write without a line feed). Blank lines are dropped. A
// command longer than the limit is cut off, reported once, and the rest of
// it skipped up to the next line feed, so memory stays bounded.
class CommandFramer {
 public:
  static constexpr std::size_t kMaxCommandBytes = 1 << 20;
  // How much of an oversized command is kept to find its id.
  static constexpr std::size_t kOversizedHeadBytes = 64 * 1024;

  struct Piece {
    enum class Kind { command, oversized };
    Kind kind;
    std::string text;  // trimmed command text, or the head of an oversized one
  };

  explicit CommandFramer(std::size_t maxCommandBytes = kMaxCommandBytes)
      : maxCommandBytes_(maxCommandBytes) {}

  std::vector<Piece> feed(std::string_view bytes);
  // End of input: whatever is pending is taken as the last command.
  std::vector<Piece> finish();

  std::size_t pendingBytes() const { return pending_.size(); }

 private:
  void takeLine(std::vector<Piece>& out);

  std::size_t maxCommandBytes_;
  std::string pending_;
  bool discarding_ = false;
};

// The text without leading and trailing whitespace and line feeds.
std::string_view trimWhitespace(std::string_view text);

}  // namespace velmar
