#include "mac/MacSystemServices.h"

#import <AVFoundation/AVFoundation.h>
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <dlfcn.h>
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

namespace {

// The system-audio recording permission ("Screen & System Audio Recording")
// is TCC's service below and has no public API. TCC.framework is private:
// no header, nothing to link, so its two functions are looked up at run time
// and declared here. The preflight answers 0 (authorized), 1 (denied) or
// another value (not determined); it is read as an int, which holds that
// answer whether the function returns an int or a wider integer. The request
// prompts when the user has not decided and answers on TCC's own queue.
constexpr const char* kTccFramework = "/System/Library/PrivateFrameworks/TCC.framework/TCC";
constexpr const char* kTccSystemAudioService = "kTCCServiceAudioCapture";
using TccPreflight = int (*)(::CFStringRef service, ::CFDictionaryRef options);
using TccRequest = void (*)(::CFStringRef service, ::CFDictionaryRef options,
                            void (^completion)(::Boolean granted));

struct TccFunctions {
  TccPreflight preflight = nullptr;
  TccRequest request = nullptr;
};

// Loaded once; the framework stays loaded for the life of the process.
// Either function may be missing.
const TccFunctions& tcc() {
  static const TccFunctions functions = [] {
    TccFunctions found;
    void* framework = ::dlopen(kTccFramework, RTLD_NOW | RTLD_LOCAL);
    if (framework == nullptr) return found;
    found.preflight = reinterpret_cast<TccPreflight>(::dlsym(framework, "TCCAccessPreflight"));
    found.request = reinterpret_cast<TccRequest>(::dlsym(framework, "TCCAccessRequest"));
    return found;
  }();
  return functions;
}

// Where a request is answered when TCC cannot be asked: never on the
// caller's thread, as the interface promises.
::dispatch_queue_t fallbackAnswerQueue() {
  static ::dispatch_queue_t queue =
      ::dispatch_queue_create("velmar.system-audio-answers", DISPATCH_QUEUE_SERIAL);
  return queue;
}

}  // namespace

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

platform::AuthorizationStatus MacSystemServices::systemAudioAuthorizationStatus() {
  const TccPreflight preflight = tcc().preflight;
  if (preflight == nullptr) return platform::AuthorizationStatus::kNotDetermined;
  int answer = -1;
  @autoreleasepool {
    NSString* service = toNSString(kTccSystemAudioService);
    answer = preflight((__bridge ::CFStringRef)service, nullptr);
  }
  switch (answer) {
    case 0:
      return platform::AuthorizationStatus::kAuthorized;
    case 1:
      return platform::AuthorizationStatus::kDenied;
    default:
      return platform::AuthorizationStatus::kNotDetermined;
  }
}

void MacSystemServices::requestSystemAudioAccess(std::function<void(bool granted)> completion) {
  auto shared = std::make_shared<std::function<void(bool)>>(std::move(completion));
  const TccRequest request = tcc().request;
  if (request == nullptr) {
    ::dispatch_async(fallbackAnswerQueue(), ^{
      if (*shared) (*shared)(false);
    });
    return;
  }
  @autoreleasepool {
    NSString* service = toNSString(kTccSystemAudioService);
    request((__bridge ::CFStringRef)service, nullptr, ^(::Boolean granted) {
      if (*shared) (*shared)(granted != 0);
    });
  }
}

}  // namespace velmar::mac
