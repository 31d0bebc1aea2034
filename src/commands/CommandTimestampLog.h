#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace velmar {

// Receipt times of recent process-list commands, used to spot hosts that
// fire several of them at once. Not thread-safe: the command processor
// touches it only from its timestamps queue.
class CommandTimestampLog {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static constexpr std::chrono::milliseconds kRaceWindow{50};
  static constexpr std::chrono::seconds kRetention{1};

  // Records `key` received at `receipt` and answers the keys of other
  // process commands received less than the race window apart. Entries older
  // than the retention relative to `receipt` are dropped afterwards.
  std::vector<std::string> record(const std::string& key, TimePoint receipt);

  std::size_t size() const { return entries_.size(); }
  bool contains(const std::string& key) const { return entries_.count(key) != 0; }

 private:
  std::map<std::string, TimePoint> entries_;
};

}  // namespace velmar
