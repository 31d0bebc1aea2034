#include "mac/MacPropertyValues.h"

#include <algorithm>
#include <cstdint>

namespace velmar::mac {

namespace {

constexpr ::UInt32 kReferenceSize = 8;

}  // namespace

ValueKind valueKindOf(::AudioObjectPropertySelector selector) {
  namespace ca = coreaudio;
  switch (selector) {
    case ca::kAudioHardwarePropertyDevices:
    case ca::kAudioHardwarePropertyProcessObjectList:
    case ca::kAudioHardwarePropertyTapList:
    case ca::kAudioDevicePropertyStreams:
      return ValueKind::kObjectIDList;
    case ca::kAudioHardwarePropertyDefaultInputDevice:
    case ca::kAudioHardwarePropertyDefaultOutputDevice:
    case ca::kAudioHardwarePropertyTranslateUIDToDevice:
    case ca::fourCharCode("id2p"):  // PID to process object
    case ca::kAudioProcessPropertyIsRunning:
    case ca::fourCharCode("piri"):  // process runs input
    case ca::fourCharCode("piro"):  // process runs output
    case ca::kAudioDevicePropertyDeviceIsRunningSomewhere:
    case ca::kAudioDevicePropertyDeviceIsRunning:
    case ca::kAudioDevicePropertyDeviceIsAlive:
    case ca::kAudioStreamPropertyDirection:
    case ca::kAudioDevicePropertyTransportType:
    case ca::kAudioObjectPropertyClass:
    case ca::kAudioDevicePropertyClockSource:  // the current source's item ID
    case ca::kAudioDevicePropertyBufferFrameSize:
      return ValueKind::kUInt32;
    case ca::kAudioProcessPropertyPID:
      return ValueKind::kSInt32;
    case ca::kAudioDevicePropertyNominalSampleRate:
      return ValueKind::kFloat64;
    case ca::kAudioProcessPropertyBundleID:
    case ca::kAudioTapPropertyUID:
    case ca::kAudioDevicePropertyDeviceUID:
    case ca::kAudioObjectPropertyName:
    case ca::kAudioAggregateDevicePropertyMainSubDevice:
    case ca::kAudioAggregateDevicePropertyClockDevice:
      return ValueKind::kString;
    case ca::kAudioDevicePropertyDeviceName:
      return ValueKind::kCString;
    case ca::kAudioAggregateDevicePropertyFullSubDeviceList:
    case ca::kAudioAggregateDevicePropertyTapList:
      return ValueKind::kStringArray;
    case ca::kAudioAggregateDevicePropertyComposition:
      return ValueKind::kDictionary;
    case ca::kAudioTapPropertyFormat:
    case ca::kAudioStreamPropertyVirtualFormat:
      return ValueKind::kStreamFormat;
    case ca::kAudioDevicePropertyAvailableNominalSampleRates:
      return ValueKind::kValueRanges;
    case ca::kAudioDevicePropertyStreamConfiguration:
      return ValueKind::kBufferList;
    case ca::kAudioTapPropertyDescription:
      return ValueKind::kTapDescription;
    default:
      return ValueKind::kUnknown;
  }
}

::UInt32 projectDataSize(ValueKind kind, ::UInt32 appleSize) {
  switch (kind) {
    case ValueKind::kString:
    case ValueKind::kCString:
    case ValueKind::kStringArray:
    case ValueKind::kDictionary:
    case ValueKind::kTapDescription:
      return kReferenceSize;
    default:
      return appleSize;
  }
}

NSString* toNSString(const std::string& text) {
  NSString* converted = [NSString stringWithUTF8String:text.c_str()];
  // Not UTF-8: the HAL gets an empty string rather than a null reference.
  return converted != nil ? converted : [NSString stringWithUTF8String:""];
}

std::string fromNSString(NSString* text) {
  if (text == nil) return {};
  const char* utf8 = text.UTF8String;
  return utf8 != nullptr ? std::string(utf8) : std::string();
}

id toFoundation(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:value.size()];
      for (const auto& [key, member] : value.items()) {
        [dictionary setObject:toFoundation(member) forKey:toNSString(key)];
      }
      return dictionary;
    }
    case nlohmann::json::value_t::array: {
      NSMutableArray* array = [NSMutableArray arrayWithCapacity:value.size()];
      for (const auto& element : value) [array addObject:toFoundation(element)];
      return array;
    }
    case nlohmann::json::value_t::string:
      return toNSString(value.get<std::string>());
    case nlohmann::json::value_t::boolean:
      return [NSNumber numberWithBool:value.get<bool>()];
    case nlohmann::json::value_t::number_unsigned:
      return [NSNumber numberWithUnsignedLongLong:value.get<std::uint64_t>()];
    case nlohmann::json::value_t::number_integer:
      return [NSNumber numberWithLongLong:value.get<std::int64_t>()];
    case nlohmann::json::value_t::number_float:
      return [NSNumber numberWithDouble:value.get<double>()];
    default:
      return [NSNull null];
  }
}

nlohmann::json fromFoundation(id object) {
  if (object == nil) return nullptr;
  if ([object isKindOfClass:[NSDictionary class]]) {
    NSDictionary* dictionary = object;
    nlohmann::json result = nlohmann::json::object();
    NSArray* keys = dictionary.allKeys;
    for (NSUInteger i = 0; i < keys.count; ++i) {
      id key = [keys objectAtIndex:i];
      if (![key isKindOfClass:[NSString class]]) continue;
      result[fromNSString(key)] = fromFoundation([dictionary objectForKey:key]);
    }
    return result;
  }
  if ([object isKindOfClass:[NSArray class]]) {
    NSArray* array = object;
    nlohmann::json result = nlohmann::json::array();
    for (NSUInteger i = 0; i < array.count; ++i) {
      result.push_back(fromFoundation([array objectAtIndex:i]));
    }
    return result;
  }
  if ([object isKindOfClass:[NSString class]]) return fromNSString(object);
  if ([object isKindOfClass:[NSNumber class]]) {
    NSNumber* number = object;
    if (::CFGetTypeID((__bridge ::CFTypeRef)number) == ::CFBooleanGetTypeID()) {
      return static_cast<bool>(number.boolValue);
    }
    if (::CFNumberIsFloatType((__bridge ::CFNumberRef)number)) return number.doubleValue;
    return number.longLongValue;
  }
  return nullptr;
}

void normaliseCompositionFlags(nlohmann::json& composition) {
  if (!composition.is_object()) return;
  for (const char* key : {kAudioAggregateDeviceIsPrivateKey, kAudioAggregateDeviceIsStackedKey,
                          kAudioAggregateDeviceTapAutoStartKey}) {
    auto entry = composition.find(key);
    if (entry != composition.end() && entry->is_number()) *entry = entry->get<double>() != 0;
  }
}

nlohmann::json normaliseAggregateDescription(const nlohmann::json& description) {
  nlohmann::json result = description;
  if (!result.is_object()) return result;
  for (const char* listKey :
       {kAudioAggregateDeviceSubDeviceListKey, kAudioAggregateDeviceTapListKey}) {
    auto list = result.find(listKey);
    if (list == result.end() || !list->is_array()) continue;
    for (auto& entry : *list) {
      if (entry.is_string()) entry = nlohmann::json{{kAudioSubDeviceUIDKey, entry}};
    }
  }
  return result;
}

::AudioStreamBasicDescription toApple(const coreaudio::AudioStreamBasicDescription& format) {
  ::AudioStreamBasicDescription result{};
  result.mSampleRate = format.mSampleRate;
  result.mFormatID = format.mFormatID;
  result.mFormatFlags = format.mFormatFlags;
  result.mBytesPerPacket = format.mBytesPerPacket;
  result.mFramesPerPacket = format.mFramesPerPacket;
  result.mBytesPerFrame = format.mBytesPerFrame;
  result.mChannelsPerFrame = format.mChannelsPerFrame;
  result.mBitsPerChannel = format.mBitsPerChannel;
  result.mReserved = format.mReserved;
  return result;
}

coreaudio::AudioStreamBasicDescription fromApple(const ::AudioStreamBasicDescription& format) {
  coreaudio::AudioStreamBasicDescription result;
  result.mSampleRate = format.mSampleRate;
  result.mFormatID = format.mFormatID;
  result.mFormatFlags = format.mFormatFlags;
  result.mBytesPerPacket = format.mBytesPerPacket;
  result.mFramesPerPacket = format.mFramesPerPacket;
  result.mBytesPerFrame = format.mBytesPerFrame;
  result.mChannelsPerFrame = format.mChannelsPerFrame;
  result.mBitsPerChannel = format.mBitsPerChannel;
  result.mReserved = format.mReserved;
  return result;
}

::CATapDescription* toApple(const coreaudio::CATapDescription& description) {
  // init gives a fresh UUID, which is what an empty "uuid" asks for.
  ::CATapDescription* tap = [[::CATapDescription alloc] init];
  tap.name = toNSString(description.name);
  if (!description.uuid.empty()) {
    NSUUID* uuid = [[NSUUID alloc] initWithUUIDString:toNSString(description.uuid)];
    if (uuid == nil) return nil;
    tap.UUID = uuid;
  }
  NSMutableArray<NSNumber*>* processes =
      [NSMutableArray arrayWithCapacity:description.processes.size()];
  for (std::uint32_t process : description.processes) {
    [processes addObject:[NSNumber numberWithUnsignedInt:process]];
  }
  tap.processes = processes;
  tap.privateTap = description.isPrivate;
  tap.muteBehavior = static_cast<::CATapMuteBehavior>(description.muteBehavior);
  tap.mixdown = description.isMixdown;
  tap.mono = description.isMono;
  tap.exclusive = description.isExclusive;
  tap.deviceUID = description.deviceUID ? toNSString(*description.deviceUID) : nil;
  tap.stream = description.stream ? [NSNumber numberWithUnsignedLongLong:*description.stream] : nil;
  return tap;
}

coreaudio::CATapDescription fromApple(::CATapDescription* tap) {
  coreaudio::CATapDescription result;
  if (tap == nil) return result;
  result.name = fromNSString(tap.name);
  result.uuid = tap.UUID != nil ? fromNSString(tap.UUID.UUIDString) : std::string();
  NSArray<NSNumber*>* processes = tap.processes;
  for (NSUInteger i = 0; i < processes.count; ++i) {
    result.processes.push_back([processes objectAtIndex:i].unsignedIntValue);
  }
  result.isPrivate = tap.isPrivate;
  result.muteBehavior = static_cast<coreaudio::CATapMuteBehavior>(tap.muteBehavior);
  result.isMixdown = tap.isMixdown;
  result.isMono = tap.isMono;
  result.isExclusive = tap.isExclusive;
  if (tap.deviceUID != nil) result.deviceUID = fromNSString(tap.deviceUID);
  if (tap.stream != nil) result.stream = tap.stream.unsignedLongLongValue;
  return result;
}

coreaudio::AudioObjectPropertyAddress fromApple(const ::AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

::AudioObjectPropertyAddress toApple(const coreaudio::AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

}  // namespace velmar::mac
