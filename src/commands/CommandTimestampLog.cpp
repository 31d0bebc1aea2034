#include "commands/CommandTimestampLog.h"

namespace velmar {

std::vector<std::string> CommandTimestampLog::record(const std::string& key, TimePoint receipt) {
  std::vector<std::string> close;
  for (const auto& [otherKey, time] : entries_) {
    auto apart = receipt > time ? receipt - time : time - receipt;
    if (otherKey.find("AudioProcesses") != std::string::npos && apart < kRaceWindow) {
      close.push_back(otherKey);
    }
  }
  entries_[key] = receipt;
  std::erase_if(entries_, [&](const auto& entry) { return entry.second < receipt - kRetention; });
  return close;
}

}  // namespace velmar
