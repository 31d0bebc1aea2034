#include "protocol/CommandFramer.h"

#include <nlohmann/json.hpp>

namespace velmar {

std::string_view trimWhitespace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

void CommandFramer::takeLine(std::vector<Piece>& out) {
  auto trimmed = trimWhitespace(pending_);
  if (!trimmed.empty()) out.push_back({Piece::Kind::command, std::string(trimmed)});
  pending_.clear();
}

std::vector<CommandFramer::Piece> CommandFramer::feed(std::string_view bytes) {
  std::vector<Piece> out;
  while (!bytes.empty()) {
    const auto lineFeed = bytes.find('\n');
    const auto segment = bytes.substr(0, lineFeed);
    const bool complete = lineFeed != std::string_view::npos;
    bytes = complete ? bytes.substr(lineFeed + 1) : std::string_view{};

    if (discarding_) {
      discarding_ = !complete;
      continue;
    }
    if (pending_.size() + segment.size() > maxCommandBytes_) {
      auto head = pending_ + std::string(segment.substr(0, kOversizedHeadBytes));
      head.resize(std::min(head.size(), kOversizedHeadBytes));
      out.push_back({Piece::Kind::oversized, std::move(head)});
      pending_.clear();
      discarding_ = !complete;
      continue;
    }
    pending_.append(segment);
    if (complete) takeLine(out);
  }

  // A trailing piece that already is a whole object or array is taken now.
  auto trimmed = trimWhitespace(pending_);
  if (!trimmed.empty() && (trimmed.back() == '}' || trimmed.back() == ']') &&
      nlohmann::json::accept(trimmed)) {
    takeLine(out);
  }
  return out;
}

std::vector<CommandFramer::Piece> CommandFramer::finish() {
  std::vector<Piece> out;
  if (!discarding_) takeLine(out);
  discarding_ = false;
  return out;
}

}  // namespace velmar
