#include "mac/MacSystemServices.h"

#import <AVFoundation/AVFoundation.h>
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <mach/mach.h>
#include <sys/statvfs.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "mac/MacPropertyValues.h"
#include "platform/PlatformError.h"

namespace velmar::mac {

std::vector<platform::RunningApplication> MacSystemServices::runningApplications() {
  std::vector<platform::RunningApplication> result;
  @autoreleasepool {
    // Current as of the main run loop's last turn (the backend turns it
    // from the main loop's wait).
    NSArray<NSRunningApplication*>* applications = NSWorkspace.sharedWorkspace.runningApplications;
    result.reserve(applications.count);
    for (NSUInteger i = 0; i < applications.count; ++i) {
      NSRunningApplication* application = [applications objectAtIndex:i];
      platform::RunningApplication entry;
      entry.processIdentifier = application.processIdentifier;
      if (NSString* name = application.localizedName) entry.localizedName = fromNSString(name);
      result.push_back(std::move(entry));
    }
  }
  return result;
}

std::optional<std::string> MacSystemServices::kernelCommandName(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  struct kinfo_proc record {};
  size_t size = sizeof(record);
  if (::sysctl(name, 4, &record, &size, nullptr, 0) != 0 || size == 0) return std::nullopt;
  // p_comm holds at most MAXCOMLEN characters and is terminated.
  return std::string(record.kp_proc.p_comm,
                     ::strnlen(record.kp_proc.p_comm, sizeof(record.kp_proc.p_comm)));
}

std::optional<std::uint64_t> MacSystemServices::taskResidentMemoryBytes() {
  mach_task_basic_info_data_t info{};
  mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
  if (::task_info(mach_task_self(), MACH_TASK_BASIC_INFO, reinterpret_cast<task_info_t>(&info),
                  &count) != KERN_SUCCESS) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.resident_size);
}

double MacSystemServices::systemUptimeSeconds() { return NSProcessInfo.processInfo.systemUptime; }

std::optional<std::uint64_t> MacSystemServices::availableCapacity(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) {
    const int error = errno;
    throw platform::PlatformError(
        "NSPOSIXErrorDomain", error,
        "The file system holding \"" + path + "\" could not be queried: " + std::strerror(error));
  }
  if (info.f_frsize == 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::uint64_t MacSystemServices::physicalMemoryBytes() {
  return NSProcessInfo.processInfo.physicalMemory;
}

platform::AuthorizationStatus MacSystemServices::captureAuthorizationStatus() {
  const AVAuthorizationStatus status =
      [AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio];
  switch (status) {
    case AVAuthorizationStatusRestricted:
      return platform::AuthorizationStatus::kRestricted;
    case AVAuthorizationStatusDenied:
      return platform::AuthorizationStatus::kDenied;
    case AVAuthorizationStatusAuthorized:
      return platform::AuthorizationStatus::kAuthorized;
    default:
      return platform::AuthorizationStatus::kNotDetermined;
  }
}

void MacSystemServices::requestCaptureAccess(std::function<void(bool granted)> completion) {
  // AVFoundation answers on a queue of its own; the completion runs there.
  auto shared = std::make_shared<std::function<void(bool)>>(std::move(completion));
  [AVCaptureDevice requestAccessForMediaType:AVMediaTypeAudio
                           completionHandler:^(BOOL granted) {
                             if (*shared) (*shared)(granted);
                           }];
}

}  // namespace velmar::mac
