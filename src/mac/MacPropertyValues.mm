#include "mac/MacPropertyValues.h"

#include <algorithm>
#include <cstdint>

namespace velmar::mac {

namespace {

constexpr ::UInt32 kReferenceSize = 8;

}  // namespace

ValueKind valueKindOf(::AudioObjectPropertySelector selector) {
  namespace ah = audiohal;
  switch (selector) {
    case ah::kAudioHardwarePropertyDevices:
    case ah::kAudioHardwarePropertyProcessObjectList:
    case ah::kAudioHardwarePropertyTapList:
    case ah::kAudioDevicePropertyStreams:
      return ValueKind::kObjectIDList;
    case ah::kAudioHardwarePropertyDefaultInputDevice:
    case ah::kAudioHardwarePropertyDefaultOutputDevice:
    case ah::kAudioHardwarePropertyTranslateUIDToDevice:
    case ah::fourCharCode("id2p"):  // PID to process object
    case ah::kAudioProcessPropertyIsRunning:
    case ah::fourCharCode("piri"):  // process runs input
    case ah::fourCharCode("piro"):  // process runs output
    case ah::kAudioDevicePropertyDeviceIsRunningSomewhere:
    case ah::kAudioDevicePropertyDeviceIsRunning:
    case ah::kAudioDevicePropertyDeviceIsAlive:
    case ah::kAudioStreamPropertyDirection:
    case ah::kAudioDevicePropertyTransportType:
    case ah::kAudioObjectPropertyClass:
    case ah::kAudioDevicePropertyClockSource:  // the current source's item ID
    case ah::kAudioDevicePropertyBufferFrameSize:
      return ValueKind::kUInt32;
    case ah::kAudioProcessPropertyPID:
      return ValueKind::kSInt32;
    case ah::kAudioDevicePropertyNominalSampleRate:
      return ValueKind::kFloat64;
    case ah::kAudioProcessPropertyBundleID:
    case ah::kAudioTapPropertyUID:
    case ah::kAudioDevicePropertyDeviceUID:
    case ah::kAudioObjectPropertyName:
    case ah::kAudioAggregateDevicePropertyMainSubDevice:
    case ah::kAudioAggregateDevicePropertyClockDevice:
      return ValueKind::kString;
    case ah::kAudioDevicePropertyDeviceName:
      return ValueKind::kCString;
    case ah::kAudioAggregateDevicePropertyFullSubDeviceList:
    case ah::kAudioAggregateDevicePropertyTapList:
      return ValueKind::kStringArray;
    case ah::kAudioAggregateDevicePropertyComposition:
      return ValueKind::kDictionary;
    case ah::kAudioTapPropertyFormat:
    case ah::kAudioStreamPropertyVirtualFormat:
      return ValueKind::kStreamFormat;
    case ah::kAudioDevicePropertyAvailableNominalSampleRates:
      return ValueKind::kValueRanges;
    case ah::kAudioDevicePropertyStreamConfiguration:
      return ValueKind::kBufferList;
    case ah::kAudioTapPropertyDescription:
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

::AudioStreamBasicDescription toApple(const audiohal::AudioStreamBasicDescription& format) {
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

audiohal::AudioStreamBasicDescription fromApple(const ::AudioStreamBasicDescription& format) {
  audiohal::AudioStreamBasicDescription result;
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

::CATapDescription* toApple(const audiohal::CATapDescription& description) {
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

audiohal::CATapDescription fromApple(::CATapDescription* tap) {
  audiohal::CATapDescription result;
  if (tap == nil) return result;
  result.name = fromNSString(tap.name);
  result.uuid = tap.UUID != nil ? fromNSString(tap.UUID.UUIDString) : std::string();
  NSArray<NSNumber*>* processes = tap.processes;
  for (NSUInteger i = 0; i < processes.count; ++i) {
    result.processes.push_back([processes objectAtIndex:i].unsignedIntValue);
  }
  result.isPrivate = tap.isPrivate;
  result.muteBehavior = static_cast<audiohal::CATapMuteBehavior>(tap.muteBehavior);
  result.isMixdown = tap.isMixdown;
  result.isMono = tap.isMono;
  result.isExclusive = tap.isExclusive;
  if (tap.deviceUID != nil) result.deviceUID = fromNSString(tap.deviceUID);
  if (tap.stream != nil) result.stream = tap.stream.unsignedLongLongValue;
  return result;
}

audiohal::AudioObjectPropertyAddress fromApple(const ::AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

::AudioObjectPropertyAddress toApple(const audiohal::AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

}  // namespace velmar::mac
