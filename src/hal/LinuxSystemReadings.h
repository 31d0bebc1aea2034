#pragma once

// What Linux itself says about this process and machine, for every backend
// that runs on it: resident memory, uptime, free space, physical memory and
// kernel command names.

#include <cstdint>
#include <optional>
#include <string>

namespace velmar::hal {

// Resident memory of this process in bytes (/proc/self/statm).
std::optional<std::uint64_t> linuxResidentMemoryBytes();
// Seconds since boot (/proc/uptime); 0 when unreadable.
double linuxUptimeSeconds();
// Free bytes for an unprivileged user on the file system holding `path`;
// nullopt when it gives no figure. Throws platform::PlatformError when the
// query fails.
std::optional<std::uint64_t> linuxAvailableCapacity(const std::string& path);
std::uint64_t linuxPhysicalMemoryBytes();
// The kernel's command name of `pid` (/proc/PID/comm, at most 16
// characters); nullopt when there is no such process.
std::optional<std::string> linuxCommandName(std::int32_t pid);

}  // namespace velmar::hal
