#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace velmar {

// One event the service can emit: its name and the keys of its `data`.
struct EventSpec {
  EventSpec(std::string_view name, std::vector<std::string_view> keys,
            std::vector<std::string_view> optionalKeys = {})
      : name(name), keys(std::move(keys)), optionalKeys(std::move(optionalKeys)) {}

  std::string_view name;
  std::vector<std::string_view> keys;
  // Keys present only sometimes.
  std::vector<std::string_view> optionalKeys;
};

// Every event of the service, for its protocol description. Emitters name
// their events themselves; the description test holds this list to the
// reference page.
class EventCatalog {
 public:
  static const std::vector<EventSpec>& events();
};

}  // namespace velmar
