#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiohal/HalTypes.h"

namespace velmar {

// The file that remembers the aggregate devices across restarts:
// {"currentDeviceID":91,"deviceIDs":[91,117],"timestamp":1764900000}.
//
// Safety: the file is private (mode 0600) and never reached through a
// symbolic link, at its own path or at the temporary path, since the default
// path sits in the world-writable /tmp. A write goes to a temporary file in
// the same directory, is flushed to disk and then renamed over the store, so
// a reader sees the old file or the new one, never a torn one. A store larger
// than kMaxFileBytes is not read.
//
// Not synchronised: callers serialise writes to one path.
class AggregateDeviceStore {
 public:
  static constexpr const char* kDefaultPath = "/tmp/quorrel_aggregateDevices.json";
  static constexpr const char* kPathVariable = "VELMAR_STORE_PATH";
  static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

  // VELMAR_STORE_PATH when set and not empty, else the default path.
  static std::string pathFromEnvironment();

  explicit AggregateDeviceStore(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // Where a write is prepared: next to the store, named after this process.
  std::string temporaryPath() const;

  // What the file holds. Both fields are JSON integers, not yet checked for
  // range: a saved ID may be negative or wider than an object ID.
  struct Contents {
    std::vector<nlohmann::json> deviceIDs;
    nlohmann::json currentDeviceID;
  };

  enum class Outcome {
    kDone,        // read or written
    kMissing,     // read: no file at the path
    kUnreadable,  // read: cannot be read or is not JSON; write: failed
    kMalformed,   // read: JSON, but not an object with the two integer fields
    kRefused,     // a symbolic link (or something other than a file) is in the way
  };

  struct ReadResult {
    Outcome outcome = Outcome::kMissing;
    std::string error;  // what went wrong, for kUnreadable and kRefused
    Contents contents;  // for kDone
  };
  ReadResult read() const;

  struct WriteResult {
    Outcome outcome = Outcome::kDone;
    std::string error;
  };
  // Replaces the store with these IDs, the current ID and the time of
  // writing (whole seconds since the epoch).
  WriteResult write(const std::vector<audiohal::AudioObjectID>& deviceIDs,
                    audiohal::AudioObjectID currentDeviceID, std::int64_t timestamp) const;

  // The two halves of write(), apart so that an interruption between them can
  // be exercised: the temporary file is complete and on disk, the store is
  // untouched.
  WriteResult writeTemporaryFile(const std::string& bytes) const;
  WriteResult replaceStoreWithTemporaryFile() const;

  static std::string serialise(const std::vector<audiohal::AudioObjectID>& deviceIDs,
                               audiohal::AudioObjectID currentDeviceID, std::int64_t timestamp);

 private:
  std::string path_;
};

}  // namespace velmar
