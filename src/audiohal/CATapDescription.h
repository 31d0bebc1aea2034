#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmar::audiohal {

// What the tapped processes still hear on their own output. Stored as an
// integer so that a description can carry a behaviour this build does not
// know, as one written by a newer system would.
enum class CATapMuteBehavior : std::int64_t {
  kUnmuted = 0,
  kMuted = 1,
  kMutedWhenTapped = 2,
};

// The platform's tap description: which processes a tap captures and how. A
// default-constructed description taps nothing, is public, unmuted, not
// mixed down, not exclusive and not bound to a device or stream.
struct CATapDescription {
  std::string name;
  // Identity of the tap; the tap's UID. Empty lets the HAL choose one.
  std::string uuid;
  std::vector<std::uint32_t> processes;  // HAL process objects
  bool isPrivate = false;
  CATapMuteBehavior muteBehavior = CATapMuteBehavior::kUnmuted;
  bool isMixdown = false;
  bool isMono = false;
  bool isExclusive = false;  // tap every process except `processes`
  std::optional<std::string> deviceUID;
  std::optional<std::uint64_t> stream;

  friend bool operator==(const CATapDescription&, const CATapDescription&) = default;
};

}  // namespace velmar::audiohal
