#include "mac/MacAudioHardware.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include <asio/post.hpp>

#include "mac/MacPropertyValues.h"

namespace velmar::mac {

namespace ah = audiohal;

namespace {

// A cycle with more input streams than the device had at start delivers the
// first ones; room for a few more keeps a stream that joins while running.
constexpr std::size_t kSpareBuffers = 8;
// Addresses of one notification are handed over in chunks of this size, so
// the trampoline needs no allocation.
constexpr std::size_t kAddressChunk = 16;

// The listener function or IO procedure this thread is running now: removal
// from inside one must not wait for itself.
thread_local const void* tCurrentCallback = nullptr;

class CallInFlight {
 public:
  CallInFlight(std::atomic<int>& counter, const void* record)
      : counter_(counter), previous_(tCurrentCallback) {
    counter_.fetch_add(1);
    tCurrentCallback = record;
  }
  ~CallInFlight() {
    tCurrentCallback = previous_;
    counter_.fetch_sub(1);
  }
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;

 private:
  std::atomic<int>& counter_;
  const void* previous_;
};

// Waits (off the callback's own thread) until no call of a record runs.
// The flag that stops new calls is set before; a call that starts after
// that sees it and returns at once.
void waitUntilIdle(const std::atomic<int>& counter, const void* record) {
  if (tCurrentCallback == record) return;
  while (counter.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// The qualifier bytes of a read: a UID as a CFString, a PID or ID as 4 bytes.
class Qualifier {
 public:
  explicit Qualifier(const ah::PropertyValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      string_ = toNSString(*text);
      reference_ = (__bridge ::CFStringRef)string_;
      data_ = &reference_;
      size_ = sizeof(reference_);
    } else if (const auto* u = std::get_if<ah::UInt32>(&value)) {
      scalar_ = static_cast<std::uint32_t>(*u);
      data_ = &scalar_;
      size_ = sizeof(scalar_);
    } else if (const auto* s = std::get_if<ah::SInt32>(&value)) {
      scalar_ = static_cast<std::uint32_t>(*s);
      data_ = &scalar_;
      size_ = sizeof(scalar_);
    }
  }
  Qualifier(const Qualifier&) = delete;
  Qualifier& operator=(const Qualifier&) = delete;

  ::UInt32 size() const { return size_; }
  const void* data() const { return data_; }

 private:
  NSString* string_ = nil;
  ::CFStringRef reference_ = nullptr;
  std::uint32_t scalar_ = 0;
  const void* data_ = nullptr;
  ::UInt32 size_ = 0;
};

ah::AudioTimeStamp convertTime(const ::AudioTimeStamp* time, std::uint32_t numerator,
                               std::uint32_t denominator) {
  ah::AudioTimeStamp result;
  if (time == nullptr) return result;
  result.mSampleTime = time->mSampleTime;
  // Host ticks to nanoseconds: the clock of mach_absolute_time, which is
  // the steady clock's on the Mac.
  result.mHostTime = static_cast<ah::UInt64>(static_cast<unsigned __int128>(time->mHostTime) *
                                             numerator / denominator);
  result.mRateScalar =
      (time->mFlags & ::kAudioTimeStampRateScalarValid) != 0 ? time->mRateScalar : 1.0;
  return result;
}

::OSStatus listenerTrampoline(::AudioObjectID object, ::UInt32 count,
                              const ::AudioObjectPropertyAddress* addresses, void* clientData) {
  auto* record = static_cast<MacAudioHardware::ListenerFunction*>(clientData);
  CallInFlight call(record->callsInFlight, record);
  if (record->removed.load()) return ::kAudioHardwareNoError;
  std::array<ah::AudioObjectPropertyAddress, kAddressChunk> copied;
  ::OSStatus status = ::kAudioHardwareNoError;
  for (::UInt32 start = 0; start < count; start += kAddressChunk) {
    const auto n = std::min<::UInt32>(count - start, kAddressChunk);
    for (::UInt32 i = 0; i < n; ++i) copied[i] = fromApple(addresses[start + i]);
    status = record->proc(object, n, copied.data(), record->clientData);
  }
  return status;
}

::OSStatus ioTrampoline(::AudioObjectID device, const ::AudioTimeStamp* now,
                        const ::AudioBufferList* inputData, const ::AudioTimeStamp* inputTime,
                        ::AudioBufferList* /*outputData*/, const ::AudioTimeStamp* outputTime,
                        void* clientData) {
  auto* record = static_cast<MacAudioHardware::IOProc*>(clientData);
  CallInFlight call(record->callsInFlight, record);
  if (!record->delivering.load(std::memory_order_acquire)) return ::kAudioHardwareNoError;
  // The project's list points at the HAL's samples: nothing is copied, and
  // the vector stays within the capacity reserved at start.
  auto& buffers = record->input.mBuffers;
  const std::size_t count =
      inputData == nullptr ? 0
                           : std::min<std::size_t>(inputData->mNumberBuffers, buffers.capacity());
  buffers.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const ::AudioBuffer& from = inputData->mBuffers[i];
    buffers[i] = {from.mNumberChannels, from.mDataByteSize, from.mData};
  }
  const auto numerator = record->timebaseNumerator;
  const auto denominator = record->timebaseDenominator;
  const ah::AudioTimeStamp nowTime = convertTime(now, numerator, denominator);
  const ah::AudioTimeStamp inTime = convertTime(inputTime, numerator, denominator);
  const ah::AudioTimeStamp outTime = convertTime(outputTime, numerator, denominator);
  return record->proc(device, &nowTime, &record->input, &inTime, &record->output, &outTime,
                      record->clientData);
}

template <typename Apple, typename Project>
::OSStatus readList(::AudioObjectID object, const ::AudioObjectPropertyAddress& address,
                    const Qualifier& qualifier, ah::UInt32& ioDataSize, ah::PropertyValue& out,
                    Project (*convert)(const Apple&)) {
  ::UInt32 size = 0;
  ::OSStatus status =
      ::AudioObjectGetPropertyDataSize(object, &address, qualifier.size(), qualifier.data(), &size);
  if (status != ::kAudioHardwareNoError) return status;
  std::vector<Apple> values(size / sizeof(Apple));
  size = static_cast<::UInt32>(values.size() * sizeof(Apple));
  status = ::AudioObjectGetPropertyData(object, &address, qualifier.size(), qualifier.data(), &size,
                                        values.data());
  if (status != ::kAudioHardwareNoError) return status;
  const std::size_t fits = std::min<std::size_t>(size / sizeof(Apple), ioDataSize / sizeof(Apple));
  std::vector<Project> converted;
  converted.reserve(fits);
  for (std::size_t i = 0; i < fits; ++i) converted.push_back(convert(values[i]));
  ioDataSize = static_cast<ah::UInt32>(fits * sizeof(Apple));
  out = std::move(converted);
  return status;
}

ah::AudioObjectID sameID(const ::AudioObjectID& id) { return id; }
ah::AudioValueRange rangeFromApple(const ::AudioValueRange& range) {
  return {range.mMinimum, range.mMaximum};
}

template <typename T>
::OSStatus readScalar(::AudioObjectID object, const ::AudioObjectPropertyAddress& address,
                      const Qualifier& qualifier, ah::UInt32& ioDataSize, ah::PropertyValue& out) {
  if (ioDataSize < sizeof(T)) return ::kAudioHardwareBadPropertySizeError;
  T value{};
  ::UInt32 size = sizeof(T);
  const ::OSStatus status = ::AudioObjectGetPropertyData(object, &address, qualifier.size(),
                                                         qualifier.data(), &size, &value);
  if (status != ::kAudioHardwareNoError) return status;
  if (size != sizeof(T)) return ::kAudioHardwareBadPropertySizeError;
  out = value;
  ioDataSize = sizeof(T);
  return status;
}

// A CF reference the HAL hands over (+1), released when this goes.
::OSStatus readReference(::AudioObjectID object, const ::AudioObjectPropertyAddress& address,
                         const Qualifier& qualifier, id __strong& out) {
  ::CFTypeRef reference = nullptr;
  ::UInt32 size = sizeof(reference);
  const ::OSStatus status = ::AudioObjectGetPropertyData(object, &address, qualifier.size(),
                                                         qualifier.data(), &size, &reference);
  if (status != ::kAudioHardwareNoError) {
    if (reference != nullptr) ::CFRelease(reference);
    return status;
  }
  out = (__bridge_transfer id)reference;
  return status;
}

}  // namespace

MacAudioHardware::MacAudioHardware()
    : listenerQueue_(dispatch_queue_create("velmar.hal-listeners", DISPATCH_QUEUE_SERIAL)) {
  mach_timebase_info_data_t timebase{};
  if (mach_timebase_info(&timebase) == 0 && timebase.denom != 0) {
    timebaseNumerator_ = timebase.numer;
    timebaseDenominator_ = timebase.denom;
  }
}

MacAudioHardware::~MacAudioHardware() = default;

ah::OSStatus MacAudioHardware::getPropertyDataSize(ah::AudioObjectID object,
                                                   const ah::AudioObjectPropertyAddress& address,
                                                   const ah::PropertyValue& qualifier,
                                                   ah::UInt32& outDataSize) {
  const ValueKind kind = valueKindOf(address.mSelector);
  if (kind == ValueKind::kUnknown) return ::kAudioHardwareUnknownPropertyError;
  const Qualifier bytes(qualifier);
  const ::AudioObjectPropertyAddress apple = toApple(address);
  ::UInt32 size = 0;
  const ::OSStatus status =
      ::AudioObjectGetPropertyDataSize(object, &apple, bytes.size(), bytes.data(), &size);
  if (status == ::kAudioHardwareNoError) outDataSize = projectDataSize(kind, size);
  return status;
}

ah::OSStatus MacAudioHardware::getPropertyData(ah::AudioObjectID object,
                                               const ah::AudioObjectPropertyAddress& address,
                                               const ah::PropertyValue& qualifier,
                                               ah::UInt32& ioDataSize, ah::PropertyValue& outData) {
  const ValueKind kind = valueKindOf(address.mSelector);
  const Qualifier bytes(qualifier);
  const ::AudioObjectPropertyAddress apple = toApple(address);
  switch (kind) {
    case ValueKind::kUnknown:
      return ::kAudioHardwareUnknownPropertyError;
    case ValueKind::kUInt32:
      return readScalar<::UInt32>(object, apple, bytes, ioDataSize, outData);
    case ValueKind::kSInt32:
      return readScalar<::SInt32>(object, apple, bytes, ioDataSize, outData);
    case ValueKind::kFloat64:
      return readScalar<::Float64>(object, apple, bytes, ioDataSize, outData);
    case ValueKind::kObjectIDList:
      return readList<::AudioObjectID, ah::AudioObjectID>(object, apple, bytes, ioDataSize, outData,
                                                          &sameID);
    case ValueKind::kValueRanges:
      return readList<::AudioValueRange, ah::AudioValueRange>(object, apple, bytes, ioDataSize,
                                                              outData, &rangeFromApple);
    case ValueKind::kStreamFormat: {
      if (ioDataSize < sizeof(::AudioStreamBasicDescription)) {
        return ::kAudioHardwareBadPropertySizeError;
      }
      ::AudioStreamBasicDescription format{};
      ::UInt32 size = sizeof(format);
      const ::OSStatus status =
          ::AudioObjectGetPropertyData(object, &apple, bytes.size(), bytes.data(), &size, &format);
      if (status != ::kAudioHardwareNoError) return status;
      outData = fromApple(format);
      ioDataSize = sizeof(format);
      return status;
    }
    case ValueKind::kBufferList: {
      // 8 bytes of header, then 16 per buffer; the HAL says how many.
      constexpr std::size_t kHeader = offsetof(::AudioBufferList, mBuffers);
      if (ioDataSize < kHeader) return ::kAudioHardwareBadPropertySizeError;
      ::UInt32 size = 0;
      ::OSStatus status =
          ::AudioObjectGetPropertyDataSize(object, &apple, bytes.size(), bytes.data(), &size);
      if (status != ::kAudioHardwareNoError) return status;
      std::vector<std::uint64_t> storage(
          (std::max<std::size_t>(size, sizeof(::AudioBufferList)) + sizeof(std::uint64_t) - 1) /
          sizeof(std::uint64_t));
      auto* list = reinterpret_cast<::AudioBufferList*>(storage.data());
      size = static_cast<::UInt32>(storage.size() * sizeof(std::uint64_t));
      status =
          ::AudioObjectGetPropertyData(object, &apple, bytes.size(), bytes.data(), &size, list);
      if (status != ::kAudioHardwareNoError) return status;
      const std::size_t held = size < kHeader ? 0 : (size - kHeader) / sizeof(::AudioBuffer);
      const std::size_t fits = (ioDataSize - kHeader) / sizeof(::AudioBuffer);
      const std::size_t count =
          std::min({static_cast<std::size_t>(list->mNumberBuffers), held, fits});
      ah::AudioBufferList converted;
      converted.mBuffers.reserve(count);
      for (std::size_t i = 0; i < count; ++i) {
        converted.mBuffers.push_back(
            {list->mBuffers[i].mNumberChannels, list->mBuffers[i].mDataByteSize, nullptr});
      }
      ioDataSize = static_cast<ah::UInt32>(kHeader + count * sizeof(::AudioBuffer));
      outData = std::move(converted);
      return status;
    }
    case ValueKind::kCString: {
      if (ioDataSize < projectDataSize(kind, 0)) return ::kAudioHardwareBadPropertySizeError;
      ::UInt32 size = 0;
      ::OSStatus status =
          ::AudioObjectGetPropertyDataSize(object, &apple, bytes.size(), bytes.data(), &size);
      if (status != ::kAudioHardwareNoError) return status;
      std::string text(size, '\0');
      status = ::AudioObjectGetPropertyData(object, &apple, bytes.size(), bytes.data(), &size,
                                            text.data());
      if (status != ::kAudioHardwareNoError) return status;
      text.resize(std::min<std::size_t>(size, text.size()));
      text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
      outData = std::move(text);
      ioDataSize = projectDataSize(kind, size);
      return status;
    }
    case ValueKind::kString:
    case ValueKind::kStringArray:
    case ValueKind::kDictionary:
    case ValueKind::kTapDescription: {
      if (ioDataSize < projectDataSize(kind, 0)) return ::kAudioHardwareBadPropertySizeError;
      id value = nil;
      const ::OSStatus status = readReference(object, apple, bytes, value);
      if (status != ::kAudioHardwareNoError) return status;
      ioDataSize = projectDataSize(kind, 0);
      if (value == nil) {
        outData = std::monostate{};
        return status;
      }
      if (kind == ValueKind::kString) {
        outData = [value isKindOfClass:[NSString class]] ? fromNSString(value) : std::string();
      } else if (kind == ValueKind::kStringArray) {
        std::vector<std::string> texts;
        if ([value isKindOfClass:[NSArray class]]) {
          NSArray* array = value;
          for (NSUInteger i = 0; i < array.count; ++i) {
            id element = [array objectAtIndex:i];
            if ([element isKindOfClass:[NSString class]]) texts.push_back(fromNSString(element));
          }
        }
        outData = std::move(texts);
      } else if (kind == ValueKind::kDictionary) {
        nlohmann::json dictionary = fromFoundation(value);
        if (address.mSelector == ah::kAudioAggregateDevicePropertyComposition) {
          normaliseCompositionFlags(dictionary);
        }
        outData = std::move(dictionary);
      } else {
        outData = [value isKindOfClass:[::CATapDescription class]] ? fromApple(value)
                                                                   : ah::CATapDescription{};
      }
      return status;
    }
  }
  return ::kAudioHardwareUnknownPropertyError;
}

ah::OSStatus MacAudioHardware::setPropertyData(ah::AudioObjectID object,
                                               const ah::AudioObjectPropertyAddress& address,
                                               const ah::PropertyValue& data) {
  const ::AudioObjectPropertyAddress apple = toApple(address);
  auto setBytes = [&](const void* bytes, std::size_t size) {
    return ::AudioObjectSetPropertyData(object, &apple, 0, nullptr, static_cast<::UInt32>(size),
                                        bytes);
  };
  // References are passed by the address of the reference; this side keeps
  // (and, through ARC, releases) the object.
  auto setReference = [&](id value) {
    ::CFTypeRef reference = (__bridge ::CFTypeRef)value;
    return setBytes(&reference, sizeof(reference));
  };
  if (const auto* u = std::get_if<ah::UInt32>(&data)) {
    const ::UInt32 value = *u;
    return setBytes(&value, sizeof(value));
  }
  if (const auto* s = std::get_if<ah::SInt32>(&data)) {
    const ::SInt32 value = *s;
    return setBytes(&value, sizeof(value));
  }
  if (const auto* f = std::get_if<ah::Float64>(&data)) {
    const ::Float64 value = *f;
    return setBytes(&value, sizeof(value));
  }
  if (const auto* ids = std::get_if<std::vector<ah::AudioObjectID>>(&data)) {
    const std::vector<::AudioObjectID> values(ids->begin(), ids->end());
    return setBytes(values.data(), values.size() * sizeof(::AudioObjectID));
  }
  if (const auto* format = std::get_if<ah::AudioStreamBasicDescription>(&data)) {
    const ::AudioStreamBasicDescription value = toApple(*format);
    return setBytes(&value, sizeof(value));
  }
  if (std::holds_alternative<std::monostate>(data)) {
    return setReference(nil);
  }
  if (const auto* text = std::get_if<std::string>(&data)) return setReference(toNSString(*text));
  if (const auto* texts = std::get_if<std::vector<std::string>>(&data)) {
    NSMutableArray* array = [NSMutableArray arrayWithCapacity:texts->size()];
    for (const auto& text : *texts) [array addObject:toNSString(text)];
    return setReference(array);
  }
  if (const auto* dictionary = std::get_if<nlohmann::json>(&data)) {
    if (!dictionary->is_object()) return ::kAudioHardwareIllegalOperationError;
    return setReference(toFoundation(*dictionary));
  }
  if (const auto* description = std::get_if<ah::CATapDescription>(&data)) {
    ::CATapDescription* tap = toApple(*description);
    if (tap == nil) return ::kAudioHardwareIllegalOperationError;
    return setReference(tap);
  }
  // Buffer lists and value ranges are read-only on every object.
  return ::kAudioHardwareUnsupportedOperationError;
}

bool MacAudioHardware::hasProperty(ah::AudioObjectID object,
                                   const ah::AudioObjectPropertyAddress& address) {
  const ::AudioObjectPropertyAddress apple = toApple(address);
  return ::AudioObjectHasProperty(object, &apple) != 0;
}

ah::OSStatus MacAudioHardware::isPropertySettable(ah::AudioObjectID object,
                                                  const ah::AudioObjectPropertyAddress& address,
                                                  bool& outIsSettable) {
  const ::AudioObjectPropertyAddress apple = toApple(address);
  ::Boolean settable = 0;
  const ::OSStatus status = ::AudioObjectIsPropertySettable(object, &apple, &settable);
  if (status == ::kAudioHardwareNoError) outIsSettable = settable != 0;
  return status;
}

// --- Listener blocks ---------------------------------------------------------

ah::OSStatus MacAudioHardware::addPropertyListenerBlock(
    ah::AudioObjectID object, const ah::AudioObjectPropertyAddress& address,
    asio::any_io_executor queue, ah::AudioObjectPropertyListenerBlock block) {
  if (!block) return ::kAudioHardwareIllegalOperationError;
  const ah::AudioObjectPropertyAddress watched = address;
  ah::AudioObjectPropertyListenerBlock target = block;
  asio::any_io_executor executor = queue;
  // The addresses are the HAL's only during the call: copy them first.
  ::AudioObjectPropertyListenerBlock appleBlock =
      ^(::UInt32 count, const ::AudioObjectPropertyAddress* addresses) {
        std::vector<ah::AudioObjectPropertyAddress> copied;
        copied.reserve(count);
        for (::UInt32 i = 0; i < count; ++i) copied.push_back(fromApple(addresses[i]));
        if (!executor) {
          (*target)(static_cast<ah::UInt32>(copied.size()), copied.data());
          return;
        }
        asio::post(executor, [target, copied = std::move(copied)] {
          (*target)(static_cast<ah::UInt32>(copied.size()), copied.data());
        });
      };
  const ::AudioObjectPropertyAddress apple = toApple(watched);
  const ::OSStatus status =
      ::AudioObjectAddPropertyListenerBlock(object, &apple, listenerQueue_, appleBlock);
  if (status != ::kAudioHardwareNoError) return status;
  std::lock_guard lock(mutex_);
  listenerBlocks_.push_back({object, watched, std::move(queue), std::move(block), appleBlock});
  return status;
}

ah::OSStatus MacAudioHardware::removePropertyListenerBlock(
    ah::AudioObjectID object, const ah::AudioObjectPropertyAddress& address,
    asio::any_io_executor queue, ah::AudioObjectPropertyListenerBlock block) {
  ::AudioObjectPropertyListenerBlock appleBlock = nil;
  {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(listenerBlocks_.begin(), listenerBlocks_.end(), [&](const auto& l) {
      return l.object == object && l.address == address && l.queue == queue && l.block == block;
    });
    if (found == listenerBlocks_.end()) return ::kAudioHardwareIllegalOperationError;
    appleBlock = found->appleBlock;
    listenerBlocks_.erase(found);
  }
  const ::AudioObjectPropertyAddress apple = toApple(address);
  return ::AudioObjectRemovePropertyListenerBlock(object, &apple, listenerQueue_, appleBlock);
}

// --- Listener functions ------------------------------------------------------

ah::OSStatus MacAudioHardware::addPropertyListener(ah::AudioObjectID object,
                                                   const ah::AudioObjectPropertyAddress& address,
                                                   ah::AudioObjectPropertyListenerProc listener,
                                                   void* clientData) {
  if (listener == nullptr) return ::kAudioHardwareIllegalOperationError;
  auto record = std::make_unique<ListenerFunction>();
  record->object = object;
  record->address = address;
  record->proc = listener;
  record->clientData = clientData;
  ListenerFunction* registered = record.get();
  {
    std::lock_guard lock(mutex_);
    listenerFunctions_.push_back(std::move(record));
  }
  const ::AudioObjectPropertyAddress apple = toApple(address);
  const ::OSStatus status =
      ::AudioObjectAddPropertyListener(object, &apple, &listenerTrampoline, registered);
  if (status != ::kAudioHardwareNoError) registered->removed.store(true);
  return status;
}

ah::OSStatus MacAudioHardware::removePropertyListener(ah::AudioObjectID object,
                                                      const ah::AudioObjectPropertyAddress& address,
                                                      ah::AudioObjectPropertyListenerProc listener,
                                                      void* clientData) {
  ListenerFunction* record = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (auto& candidate : listenerFunctions_) {
      if (candidate->object == object && candidate->address == address &&
          candidate->proc == listener && candidate->clientData == clientData &&
          !candidate->removed.load()) {
        record = candidate.get();
        break;
      }
    }
    if (record == nullptr) return ::kAudioHardwareIllegalOperationError;
    record->removed.store(true);
  }
  const ::AudioObjectPropertyAddress apple = toApple(address);
  const ::OSStatus status =
      ::AudioObjectRemovePropertyListener(object, &apple, &listenerTrampoline, record);
  // Whatever the HAL says, the function is not called once this returns.
  waitUntilIdle(record->callsInFlight, record);
  return status;
}

// --- Taps and aggregate devices ------------------------------------------------

ah::OSStatus MacAudioHardware::createProcessTap(const ah::CATapDescription& description,
                                                ah::AudioObjectID& outTapID) {
  ::CATapDescription* tap = toApple(description);
  if (tap == nil) return ::kAudioHardwareIllegalOperationError;
  ::AudioObjectID tapID = ::kAudioObjectUnknown;
  const ::OSStatus status = ::AudioHardwareCreateProcessTap(tap, &tapID);
  if (status == ::kAudioHardwareNoError) outTapID = tapID;
  return status;
}

ah::OSStatus MacAudioHardware::destroyProcessTap(ah::AudioObjectID tapID) {
  return ::AudioHardwareDestroyProcessTap(tapID);
}

ah::OSStatus MacAudioHardware::createAggregateDevice(const nlohmann::json& description,
                                                     ah::AudioObjectID& outDeviceID) {
  if (!description.is_object()) return ::kAudioHardwareIllegalOperationError;
  NSDictionary* dictionary = toFoundation(normaliseAggregateDescription(description));
  ::AudioObjectID deviceID = ::kAudioObjectUnknown;
  const ::OSStatus status =
      ::AudioHardwareCreateAggregateDevice((__bridge ::CFDictionaryRef)dictionary, &deviceID);
  if (status == ::kAudioHardwareNoError) outDeviceID = deviceID;
  return status;
}

ah::OSStatus MacAudioHardware::destroyAggregateDevice(ah::AudioObjectID deviceID) {
  return ::AudioHardwareDestroyAggregateDevice(deviceID);
}

// --- IO procedures -------------------------------------------------------------

ah::OSStatus MacAudioHardware::createIOProcID(ah::AudioObjectID device, ah::AudioDeviceIOProc proc,
                                              void* clientData,
                                              ah::AudioDeviceIOProcID& outProcID) {
  if (proc == nullptr) return ::kAudioHardwareIllegalOperationError;
  auto record = std::make_unique<IOProc>();
  record->device = device;
  record->proc = proc;
  record->clientData = clientData;
  record->timebaseNumerator = timebaseNumerator_;
  record->timebaseDenominator = timebaseDenominator_;
  ::AudioDeviceIOProcID appleID = nullptr;
  const ::OSStatus status =
      ::AudioDeviceCreateIOProcID(device, &ioTrampoline, record.get(), &appleID);
  if (status != ::kAudioHardwareNoError) return status;
  record->appleID = appleID;
  outProcID = reinterpret_cast<ah::AudioDeviceIOProcID>(record.get());
  std::lock_guard lock(mutex_);
  ioProcs_.push_back(std::move(record));
  return status;
}

MacAudioHardware::IOProc* MacAudioHardware::findIOProc(ah::AudioDeviceIOProcID procID) {
  std::lock_guard lock(mutex_);
  for (auto& record : ioProcs_) {
    if (reinterpret_cast<ah::AudioDeviceIOProcID>(record.get()) == procID && !record->destroyed) {
      return record.get();
    }
  }
  return nullptr;
}

void MacAudioHardware::prepareIOStorage(IOProc& record) {
  // Off the IO thread, while the procedure does not deliver: room for one
  // buffer per input stream the device has now, and a few more.
  ah::UInt32 size = 0xFFFFFFFF;
  ah::PropertyValue layout;
  const ah::AudioObjectPropertyAddress address{ah::kAudioDevicePropertyStreamConfiguration,
                                               ah::kAudioObjectPropertyScopeInput,
                                               ah::kAudioObjectPropertyElementMain};
  std::size_t streams = 0;
  if (getPropertyData(record.device, address, {}, size, layout) == ::kAudioHardwareNoError) {
    if (const auto* list = std::get_if<ah::AudioBufferList>(&layout)) {
      streams = list->mBuffers.size();
    }
  }
  record.input.mBuffers.reserve(streams + kSpareBuffers);
  record.input.mBuffers.clear();
  record.output.mBuffers.clear();
}

ah::OSStatus MacAudioHardware::destroyIOProcID(ah::AudioObjectID device,
                                               ah::AudioDeviceIOProcID procID) {
  IOProc* record = findIOProc(procID);
  if (record == nullptr || record->device != device) return ::kAudioHardwareIllegalOperationError;
  record->delivering.store(false);
  const ::OSStatus status = ::AudioDeviceDestroyIOProcID(device, record->appleID);
  waitUntilIdle(record->callsInFlight, record);
  if (status == ::kAudioHardwareNoError) {
    std::lock_guard lock(mutex_);
    record->destroyed = true;
  }
  return status;
}

ah::OSStatus MacAudioHardware::deviceStart(ah::AudioObjectID device,
                                           ah::AudioDeviceIOProcID procID) {
  if (procID == nullptr) return ::AudioDeviceStart(device, nullptr);
  IOProc* record = findIOProc(procID);
  if (record == nullptr || record->device != device) return ::kAudioHardwareIllegalOperationError;
  if (!record->delivering.load()) {
    prepareIOStorage(*record);
    record->delivering.store(true, std::memory_order_release);
  }
  const ::OSStatus status = ::AudioDeviceStart(device, record->appleID);
  if (status != ::kAudioHardwareNoError) {
    record->delivering.store(false);
    waitUntilIdle(record->callsInFlight, record);
  }
  return status;
}

ah::OSStatus MacAudioHardware::deviceStop(ah::AudioObjectID device,
                                          ah::AudioDeviceIOProcID procID) {
  if (procID == nullptr) return ::AudioDeviceStop(device, nullptr);
  IOProc* record = findIOProc(procID);
  if (record == nullptr || record->device != device) return ::kAudioHardwareIllegalOperationError;
  const ::OSStatus status = ::AudioDeviceStop(device, record->appleID);
  // Whatever the HAL says, the procedure is not called once this returns.
  record->delivering.store(false);
  waitUntilIdle(record->callsInFlight, record);
  return status;
}

}  // namespace velmar::mac
