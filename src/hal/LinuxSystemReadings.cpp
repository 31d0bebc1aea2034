#include "hal/LinuxSystemReadings.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/PlatformError.h"

namespace velmar::hal {

namespace {

// The kernel keeps at most 16 characters of a command name.
constexpr std::size_t kCommandNameLength = 16;

}  // namespace

std::optional<std::uint64_t> linuxResidentMemoryBytes() {
  // statm: total program size, then resident set size, in pages.
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  if (!(statm >> size >> resident)) return std::nullopt;
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return std::nullopt;
  return resident * static_cast<std::uint64_t>(pageSize);
}

double linuxUptimeSeconds() {
  std::ifstream uptime("/proc/uptime");
  double seconds = 0;
  if (!(uptime >> seconds)) return 0;
  return seconds;
}

std::optional<std::uint64_t> linuxAvailableCapacity(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) {
    int error = errno;
    throw platform::PlatformError(
        "NSPOSIXErrorDomain", error,
        "The file system holding \"" + path + "\" could not be queried: " + std::strerror(error));
  }
  if (info.f_frsize == 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::uint64_t linuxPhysicalMemoryBytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::optional<std::string> linuxCommandName(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!comm || !std::getline(comm, name)) return std::nullopt;
  return name.substr(0, kCommandNameLength);
}

}  // namespace velmar::hal
