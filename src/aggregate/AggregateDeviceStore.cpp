#include "aggregate/AggregateDeviceStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmar {

namespace {

using Outcome = AggregateDeviceStore::Outcome;

std::string describe(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the status (a deferred write error shows here).
  int close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// What is at `path`, without following a final symbolic link.
enum class Entry { kNone, kFile, kLink, kOther };

Entry entryAt(const std::string& path, int& error) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    error = errno;
    return Entry::kNone;
  }
  if (S_ISLNK(info.st_mode)) return Entry::kLink;
  if (S_ISREG(info.st_mode)) return Entry::kFile;
  return Entry::kOther;
}

AggregateDeviceStore::WriteResult refusal(const std::string& path, Entry entry) {
  return {Outcome::kRefused,
          path + (entry == Entry::kLink ? " is a symbolic link" : " is not a regular file")};
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string AggregateDeviceStore::pathFromEnvironment() {
  const char* path = std::getenv(kPathVariable);
  if (path == nullptr || *path == '\0') return kDefaultPath;
  return path;
}

std::string AggregateDeviceStore::temporaryPath() const {
  // Per process, so two services sharing one store never write into each
  // other's temporary file.
  return path_ + ".tmp." + std::to_string(::getpid());
}

AggregateDeviceStore::ReadResult AggregateDeviceStore::read() const {
  ReadResult result;
  // No-follow: a planted link fails with ELOOP. Non-blocking: a planted FIFO
  // must not stall the service; it is refused below.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return result;
    int ignored = 0;
    if (error == ELOOP || entryAt(path_, ignored) == Entry::kLink) {
      return {Outcome::kRefused, path_ + " is a symbolic link", {}};
    }
    return {Outcome::kUnreadable, describe("cannot open", path_, error), {}};
  }
  Descriptor file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return {Outcome::kUnreadable, describe("cannot inspect", path_, errno), {}};
  }
  if (!S_ISREG(info.st_mode)) return {Outcome::kRefused, path_ + " is not a regular file", {}};
  if (info.st_size > static_cast<off_t>(kMaxFileBytes)) {
    return {Outcome::kUnreadable,
            path_ + " is larger than " + std::to_string(kMaxFileBytes) + " bytes",
            {}};
  }

  // Bounded even if the file grows while it is read.
  std::string text;
  char buffer[16384];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {Outcome::kUnreadable, describe("cannot read", path_, errno), {}};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileBytes) {
      return {Outcome::kUnreadable,
              path_ + " is larger than " + std::to_string(kMaxFileBytes) + " bytes",
              {}};
    }
  }

  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return {Outcome::kUnreadable, e.what(), {}};
  }
  result.outcome = Outcome::kMalformed;
  if (!root.is_object()) return result;
  auto ids = root.find("deviceIDs");
  auto current = root.find("currentDeviceID");
  if (ids == root.end() || !ids->is_array()) return result;
  if (current == root.end() || !current->is_number_integer()) return result;
  for (const auto& id : *ids) {
    if (!id.is_number_integer()) return result;
  }
  result.outcome = Outcome::kDone;
  result.contents.deviceIDs.assign(ids->begin(), ids->end());
  result.contents.currentDeviceID = *current;
  return result;
}

std::string AggregateDeviceStore::serialise(const std::vector<audiohal::AudioObjectID>& deviceIDs,
                                            audiohal::AudioObjectID currentDeviceID,
                                            std::int64_t timestamp) {
  return nlohmann::json{
      {"deviceIDs", deviceIDs}, {"currentDeviceID", currentDeviceID}, {"timestamp", timestamp}}
      .dump();
}

AggregateDeviceStore::WriteResult AggregateDeviceStore::write(
    const std::vector<audiohal::AudioObjectID>& deviceIDs, audiohal::AudioObjectID currentDeviceID,
    std::int64_t timestamp) const {
  WriteResult prepared = writeTemporaryFile(serialise(deviceIDs, currentDeviceID, timestamp));
  if (prepared.outcome != Outcome::kDone) return prepared;
  return replaceStoreWithTemporaryFile();
}

AggregateDeviceStore::WriteResult AggregateDeviceStore::writeTemporaryFile(
    const std::string& bytes) const {
  int error = 0;
  // Checked first so nothing is even prepared next to a planted link.
  if (Entry entry = entryAt(path_, error); entry == Entry::kLink || entry == Entry::kOther) {
    return refusal(path_, entry);
  }

  const std::string temporary = temporaryPath();
  // Exclusive creation never follows a link and never reuses a file someone
  // else made; a leftover of our own interrupted write (same process ID) is
  // removed once.
  int fd = -1;
  int openError = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    openError = errno;
    if (fd >= 0 || openError != EEXIST) break;
    Entry entry = entryAt(temporary, error);
    if (entry == Entry::kLink || entry == Entry::kOther) return refusal(temporary, entry);
    if (entry == Entry::kFile && attempt == 0) ::unlink(temporary.c_str());
  }
  if (fd < 0) return {Outcome::kUnreadable, describe("cannot create", temporary, openError)};

  Descriptor file(fd);
  auto fail = [&](const char* what) {
    WriteResult result{Outcome::kUnreadable, describe(what, temporary, errno)};
    ::unlink(temporary.c_str());
    return result;
  };
  // Exactly 0600, whatever the umask.
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) return fail("cannot set the mode of");
  if (!writeAll(fd, bytes)) return fail("cannot write");
  if (::fsync(fd) != 0) return fail("cannot flush");
  if (file.close() != 0) return fail("cannot close");
  return {};
}

AggregateDeviceStore::WriteResult AggregateDeviceStore::replaceStoreWithTemporaryFile() const {
  const std::string temporary = temporaryPath();
  int error = 0;
  // Rename replaces a link rather than following it; the store is still not
  // put in place of a link someone planted (or a link the user made on
  // purpose, which the service would silently break).
  if (Entry entry = entryAt(path_, error); entry == Entry::kLink || entry == Entry::kOther) {
    ::unlink(temporary.c_str());
    return refusal(path_, entry);
  }
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    WriteResult result{Outcome::kUnreadable, describe("cannot rename into", path_, errno)};
    ::unlink(temporary.c_str());
    return result;
  }
  // The rename itself reaches the disk with its directory.
  const std::string directory = directoryOf(path_);
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace velmar
