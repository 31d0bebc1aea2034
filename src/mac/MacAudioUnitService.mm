#include "mac/MacAudioUnitService.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

#include "mac/MacPropertyValues.h"

namespace velmar::mac {

namespace pf = platform;

namespace {

// Buffers one render() can pass: one per channel of a non-interleaved unit
// of a large interface.
constexpr std::size_t kMaxBuffers = 64;

thread_local const void* tCurrentUnit = nullptr;

class CallInFlight {
 public:
  CallInFlight(std::atomic<int>& counter, const void* unit)
      : counter_(counter), previous_(tCurrentUnit) {
    counter_.fetch_add(1);
    tCurrentUnit = unit;
  }
  ~CallInFlight() {
    tCurrentUnit = previous_;
    counter_.fetch_sub(1);
  }
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;

 private:
  std::atomic<int>& counter_;
  const void* previous_;
};

void waitUntilIdle(const std::atomic<int>& counter, const void* unit) {
  if (tCurrentUnit == unit) return;
  while (counter.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

MacAudioUnitService::Unit* unitOf(pf::AudioUnit unit) {
  return reinterpret_cast<MacAudioUnitService::Unit*>(unit);
}

::AudioBufferList* appleList(MacAudioUnitService::Unit& unit) {
  return reinterpret_cast<::AudioBufferList*>(unit.renderList.data());
}

::OSStatus callbackTrampoline(void* refCon, ::AudioUnitRenderActionFlags* ioActionFlags,
                              const ::AudioTimeStamp* inTimeStamp, ::UInt32 inBusNumber,
                              ::UInt32 inNumberFrames, ::AudioBufferList* ioData) {
  auto* unit = static_cast<MacAudioUnitService::Unit*>(refCon);
  CallInFlight call(unit->callsInFlight, unit);
  if (!unit->delivering.load(std::memory_order_acquire) || unit->callback == nullptr) {
    return ::kAudioHardwareNoError;
  }
  pf::AudioTimeStamp time;
  if (inTimeStamp != nullptr) {
    time.mSampleTime = inTimeStamp->mSampleTime;
    time.mHostTime =
        static_cast<audiohal::UInt64>(static_cast<unsigned __int128>(inTimeStamp->mHostTime) *
                                      unit->timebaseNumerator / unit->timebaseDenominator);
    if ((inTimeStamp->mFlags & ::kAudioTimeStampRateScalarValid) != 0) {
      time.mRateScalar = inTimeStamp->mRateScalar;
    }
  }
  unit->currentTime = inTimeStamp;
  unit->currentProjectTime = &time;
  // The input callback's buffer list is null (the callback renders into
  // its own); the metering unit never produces output.
  (void)ioData;
  const ::OSStatus status = unit->callback(unit->callbackRefCon, ioActionFlags, &time, inBusNumber,
                                           inNumberFrames, nullptr);
  unit->currentTime = nullptr;
  unit->currentProjectTime = nullptr;
  return status;
}

}  // namespace

MacAudioUnitService::Unit* MacAudioUnitService::find(pf::AudioUnit unit) {
  std::lock_guard lock(mutex_);
  for (auto& candidate : units_) {
    if (candidate.get() == unitOf(unit) && !candidate->disposed) return candidate.get();
  }
  return nullptr;
}

pf::AudioComponent MacAudioUnitService::findNextComponent(
    pf::AudioComponent after, const pf::AudioComponentDescription& description) {
  ::AudioComponentDescription apple{};
  apple.componentType = description.componentType;
  apple.componentSubType = description.componentSubType;
  apple.componentManufacturer = description.componentManufacturer;
  apple.componentFlags = description.componentFlags;
  apple.componentFlagsMask = description.componentFlagsMask;
  ::AudioComponent found =
      ::AudioComponentFindNext(reinterpret_cast<::AudioComponent>(after), &apple);
  return reinterpret_cast<pf::AudioComponent>(found);
}

pf::OSStatus MacAudioUnitService::instanceNew(pf::AudioComponent component,
                                              pf::AudioUnit& outUnit) {
  ::AudioComponentInstance instance = nullptr;
  const ::OSStatus status =
      ::AudioComponentInstanceNew(reinterpret_cast<::AudioComponent>(component), &instance);
  if (status != ::kAudioHardwareNoError) return status;
  auto unit = std::make_unique<Unit>();
  unit->unit = instance;
  mach_timebase_info_data_t timebase{};
  if (mach_timebase_info(&timebase) == 0 && timebase.denom != 0) {
    unit->timebaseNumerator = timebase.numer;
    unit->timebaseDenominator = timebase.denom;
  }
  const std::size_t bytes =
      offsetof(::AudioBufferList, mBuffers) + kMaxBuffers * sizeof(::AudioBuffer);
  unit->renderList.assign((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  outUnit = reinterpret_cast<pf::AudioUnit>(unit.get());
  std::lock_guard lock(mutex_);
  units_.push_back(std::move(unit));
  return status;
}

pf::OSStatus MacAudioUnitService::instanceDispose(pf::AudioUnit unit) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  outputUnitStop(unit);
  const ::OSStatus status = ::AudioComponentInstanceDispose(found->unit);
  std::lock_guard lock(mutex_);
  found->disposed = true;
  return status;
}

pf::OSStatus MacAudioUnitService::setProperty(pf::AudioUnit unit, pf::AudioUnitPropertyID property,
                                              pf::AudioUnitScope scope,
                                              pf::AudioUnitElement element,
                                              const pf::AudioUnitPropertyValue& value) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  if (const auto* number = std::get_if<pf::UInt32>(&value)) {
    const ::UInt32 apple = *number;
    return ::AudioUnitSetProperty(found->unit, property, scope, element, &apple, sizeof(apple));
  }
  if (const auto* format = std::get_if<pf::AudioStreamBasicDescription>(&value)) {
    const ::AudioStreamBasicDescription apple = toApple(*format);
    return ::AudioUnitSetProperty(found->unit, property, scope, element, &apple, sizeof(apple));
  }
  // A callback: only while the unit does not deliver (the meter sets it
  // before starting), so the trampoline never sees it change.
  const auto& callback = std::get<pf::AURenderCallbackStruct>(value);
  if (found->delivering.load()) return pf::kAudioUnitErr_InvalidPropertyValue;
  found->callback = callback.inputProc;
  found->callbackRefCon = callback.inputProcRefCon;
  const ::AURenderCallbackStruct apple{
      callback.inputProc != nullptr ? &callbackTrampoline : nullptr, found};
  return ::AudioUnitSetProperty(found->unit, property, scope, element, &apple, sizeof(apple));
}

pf::OSStatus MacAudioUnitService::getProperty(pf::AudioUnit unit, pf::AudioUnitPropertyID property,
                                              pf::AudioUnitScope scope,
                                              pf::AudioUnitElement element,
                                              pf::AudioUnitPropertyValue& outValue) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  // The caller's preset says which type it expects.
  if (std::holds_alternative<pf::UInt32>(outValue)) {
    ::UInt32 apple = 0;
    ::UInt32 size = sizeof(apple);
    const ::OSStatus status =
        ::AudioUnitGetProperty(found->unit, property, scope, element, &apple, &size);
    if (status == ::kAudioHardwareNoError) outValue = static_cast<pf::UInt32>(apple);
    return status;
  }
  if (std::holds_alternative<pf::AudioStreamBasicDescription>(outValue)) {
    ::AudioStreamBasicDescription apple{};
    ::UInt32 size = sizeof(apple);
    const ::OSStatus status =
        ::AudioUnitGetProperty(found->unit, property, scope, element, &apple, &size);
    if (status == ::kAudioHardwareNoError) outValue = fromApple(apple);
    return status;
  }
  outValue = pf::AURenderCallbackStruct{found->callback, found->callbackRefCon};
  return ::kAudioHardwareNoError;
}

pf::OSStatus MacAudioUnitService::initialize(pf::AudioUnit unit) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  return ::AudioUnitInitialize(found->unit);
}

pf::OSStatus MacAudioUnitService::uninitialize(pf::AudioUnit unit) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  return ::AudioUnitUninitialize(found->unit);
}

pf::OSStatus MacAudioUnitService::outputUnitStart(pf::AudioUnit unit) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  found->delivering.store(true, std::memory_order_release);
  const ::OSStatus status = ::AudioOutputUnitStart(found->unit);
  if (status != ::kAudioHardwareNoError) {
    found->delivering.store(false);
    waitUntilIdle(found->callsInFlight, found);
  }
  return status;
}

pf::OSStatus MacAudioUnitService::outputUnitStop(pf::AudioUnit unit) {
  Unit* found = find(unit);
  if (found == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  const ::OSStatus status = ::AudioOutputUnitStop(found->unit);
  // Whatever the unit says, the callback is not called once this returns.
  found->delivering.store(false);
  waitUntilIdle(found->callsInFlight, found);
  return status;
}

pf::OSStatus MacAudioUnitService::render(pf::AudioUnit unit,
                                         pf::AudioUnitRenderActionFlags* ioActionFlags,
                                         const pf::AudioTimeStamp* timeStamp, pf::UInt32 busNumber,
                                         pf::UInt32 frames, pf::AudioBufferList* ioData) {
  // On the unit's IO thread: no lock, no allocation. The handle is one this
  // service gave out, and units are never freed.
  Unit* found = unitOf(unit);
  if (found == nullptr || ioData == nullptr) return pf::kAudioUnitErr_InvalidPropertyValue;
  ::AudioBufferList* list = appleList(*found);
  const std::size_t count = std::min(ioData->mBuffers.size(), kMaxBuffers);
  list->mNumberBuffers = static_cast<::UInt32>(count);
  for (std::size_t i = 0; i < count; ++i) {
    const audiohal::AudioBuffer& from = ioData->mBuffers[i];
    list->mBuffers[i] = {from.mNumberChannels, from.mDataByteSize, from.mData};
  }
  // The cycle's own time stamp when rendering from its callback; otherwise
  // the caller's, converted back to host ticks.
  ::AudioTimeStamp fallback{};
  const ::AudioTimeStamp* time = found->currentTime;
  if (time == nullptr || timeStamp != found->currentProjectTime) {
    if (timeStamp != nullptr) {
      fallback.mSampleTime = timeStamp->mSampleTime;
      fallback.mHostTime =
          static_cast<::UInt64>(static_cast<unsigned __int128>(timeStamp->mHostTime) *
                                found->timebaseDenominator / found->timebaseNumerator);
      fallback.mRateScalar = timeStamp->mRateScalar;
      fallback.mFlags = ::kAudioTimeStampSampleTimeValid | ::kAudioTimeStampHostTimeValid |
                        ::kAudioTimeStampRateScalarValid;
    }
    time = &fallback;
  }
  const ::OSStatus status =
      ::AudioUnitRender(found->unit, ioActionFlags, time, busNumber, frames, list);
  for (std::size_t i = 0; i < count; ++i) {
    audiohal::AudioBuffer& to = ioData->mBuffers[i];
    to.mNumberChannels = list->mBuffers[i].mNumberChannels;
    to.mDataByteSize = list->mBuffers[i].mDataByteSize;
    to.mData = list->mBuffers[i].mData;
  }
  return status;
}

}  // namespace velmar::mac
