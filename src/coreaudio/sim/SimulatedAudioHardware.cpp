#include "coreaudio/sim/SimulatedAudioHardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <random>

#include <asio/post.hpp>

namespace velmar::sim {

using namespace coreaudio;

namespace {

std::string generateUUID() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::uniform_int_distribution<int> digit(0, 15);
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    int value = (i == 12) ? 4 : (i == 16 ? 8 + digit(engine) % 4 : digit(engine));
    text += "0123456789ABCDEF"[value];
  }
  return text;
}

// A stable hash (FNV-1a), so derived tones do not change between builds.
std::uint32_t stableHash(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

bool matches(const AudioObjectPropertyAddress& listener,
             const AudioObjectPropertyAddress& changed) {
  bool selector = listener.mSelector == changed.mSelector ||
                  listener.mSelector == kAudioObjectPropertySelectorWildcard;
  bool scope =
      listener.mScope == changed.mScope || listener.mScope == kAudioObjectPropertyScopeWildcard;
  bool element = listener.mElement == changed.mElement ||
                 listener.mElement == kAudioObjectPropertyElementWildcard;
  return selector && scope && element;
}

// Text form of a value, used to tell whether an observed property changed.
std::string fingerprint(const PropertyValue& value) {
  struct Printer {
    std::string operator()(const std::monostate&) const { return "null"; }
    std::string operator()(UInt32 v) const { return std::to_string(v); }
    std::string operator()(SInt32 v) const { return std::to_string(v); }
    std::string operator()(Float64 v) const { return std::to_string(v); }
    std::string operator()(const std::string& v) const { return "s:" + v; }
    std::string operator()(const std::vector<AudioObjectID>& v) const {
      std::string text = "ids:";
      for (auto id : v) text += std::to_string(id) + ",";
      return text;
    }
    std::string operator()(const std::vector<std::string>& v) const {
      return nlohmann::json(v).dump();
    }
    std::string operator()(const AudioStreamBasicDescription& v) const {
      return std::to_string(v.mSampleRate) + "/" + std::to_string(v.mChannelsPerFrame);
    }
    std::string operator()(const AudioBufferList& v) const {
      std::string text = "abl:";
      for (const auto& b : v.mBuffers) text += std::to_string(b.mNumberChannels) + ",";
      return text;
    }
    std::string operator()(const std::vector<AudioValueRange>& v) const {
      std::string text = "ranges:";
      for (const auto& r : v) text += std::to_string(r.mMinimum) + "-" + std::to_string(r.mMaximum);
      return text;
    }
    std::string operator()(const nlohmann::json& v) const { return v.dump(); }
    std::string operator()(const CATapDescription& d) const {
      nlohmann::json j{{"name", d.name},
                       {"processes", d.processes},
                       {"private", d.isPrivate},
                       {"mute", static_cast<int>(d.muteBehavior)},
                       {"mixdown", d.isMixdown},
                       {"mono", d.isMono},
                       {"exclusive", d.isExclusive}};
      if (d.deviceUID) j["device"] = *d.deviceUID;
      if (d.stream) j["stream"] = *d.stream;
      return j.dump();
    }
  };
  return std::visit(Printer{}, value);
}

// "subdevices" / "taps" entries: UID strings or dictionaries with a "uid".
std::optional<std::vector<std::string>> parseUIDList(const nlohmann::json& list) {
  if (!list.is_array()) return std::nullopt;
  std::vector<std::string> uids;
  for (const auto& entry : list) {
    if (entry.is_string()) {
      uids.push_back(entry.get<std::string>());
    } else if (entry.is_object() && entry.contains("uid") && entry["uid"].is_string()) {
      uids.push_back(entry["uid"].get<std::string>());
    } else {
      return std::nullopt;
    }
  }
  return uids;
}

nlohmann::json uidDictionaries(const std::vector<std::string>& uids) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& uid : uids) list.push_back({{"uid", uid}});
  return list;
}

}  // namespace

// --- lifecycle ---

SimulatedAudioHardware::SimulatedAudioHardware()
    : notificationsWork_(asio::make_work_guard(notifications_)) {
  std::lock_guard lock(mutex_);
  notificationThread_ = std::thread([this] { notifications_.run(); });
  notificationThreadID_ = notificationThread_.get_id();
}

SimulatedAudioHardware::~SimulatedAudioHardware() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (ioThread_.joinable()) ioThread_.join();
  notificationsWork_.reset();
  notifications_.stop();
  notificationThread_.join();
}

asio::any_io_executor SimulatedAudioHardware::notificationExecutor() {
  return notifications_.get_executor();
}

bool SimulatedAudioHardware::isNotificationThread() const {
  std::lock_guard lock(mutex_);
  return std::this_thread::get_id() == notificationThreadID_;
}

// --- helpers ---

std::optional<OSStatus> SimulatedAudioHardware::injectedFailureLocked(
    HalOperation operation, AudioObjectID object, std::optional<UInt32> selector) {
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->operation != operation) continue;
    if (it->object && *it->object != object) continue;
    if (it->selector && (!selector || *it->selector != *selector)) continue;
    OSStatus status = it->status;
    if (it->times && --*it->times <= 0) failures_.erase(it);
    return status;
  }
  return std::nullopt;
}

SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceLocked(AudioObjectID id) {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

const SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceLocked(AudioObjectID id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

const SimulatedAudioHardware::Device* SimulatedAudioHardware::deviceByUIDLocked(
    const std::string& uid) const {
  for (const auto& [id, device] : devices_) {
    if (device.config.uid == uid) return &device;
  }
  return nullptr;
}

const SimulatedAudioHardware::Tap* SimulatedAudioHardware::tapByUIDLocked(
    const std::string& uid) const {
  for (const auto& [id, tap] : taps_) {
    if (tap.uid == uid) return &tap;
  }
  return nullptr;
}

bool SimulatedAudioHardware::existsLocked(AudioObjectID object) const {
  return object == kAudioObjectSystemObject || devices_.count(object) || streams_.count(object) ||
         processes_.count(object) || taps_.count(object);
}

void SimulatedAudioHardware::createDeviceStreamsLocked(Device& device) {
  for (UInt32 channels : device.config.inputStreams) {
    Stream stream{nextIDLocked(), device.id, true, channels, {}, {}};
    stream.source = {StreamSource::Kind::kDevice, device.config.uid};
    device.inputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
  for (UInt32 channels : device.config.outputStreams) {
    Stream stream{nextIDLocked(), device.id, false, channels, {}, {}};
    stream.source = {StreamSource::Kind::kDevice, device.config.uid};
    device.outputStreams.push_back(stream.id);
    streams_[stream.id] = stream;
  }
}

void SimulatedAudioHardware::removeStreamsLocked(const std::vector<AudioObjectID>& ids) {
  for (AudioObjectID id : ids) streams_.erase(id);
}

// An aggregate's inputs are each sub-device's input streams, in sub-device
// order, then one stream per tap; its outputs are the sub-devices' outputs.
// Streams keep their IDs while their source stays.
void SimulatedAudioHardware::rebuildAggregateStreamsLocked() {
  for (auto& [id, device] : devices_) {
    if (!device.aggregate) continue;
    std::map<std::string, AudioObjectID> existing;
    for (AudioObjectID streamID : device.inputStreams) existing[streams_[streamID].key] = streamID;
    for (AudioObjectID streamID : device.outputStreams) existing[streams_[streamID].key] = streamID;

    std::vector<Stream> wantedIn;
    std::vector<Stream> wantedOut;
    for (const std::string& uid : device.aggregate->subDevices) {
      const Device* sub = deviceByUIDLocked(uid);
      if (sub == nullptr || sub->aggregate) continue;
      for (size_t i = 0; i < sub->config.inputStreams.size(); ++i) {
        wantedIn.push_back({0,
                            id,
                            true,
                            sub->config.inputStreams[i],
                            {StreamSource::Kind::kDevice, uid},
                            "in:dev:" + uid + ":" + std::to_string(i)});
      }
      for (size_t i = 0; i < sub->config.outputStreams.size(); ++i) {
        wantedOut.push_back({0,
                             id,
                             false,
                             sub->config.outputStreams[i],
                             {StreamSource::Kind::kDevice, uid},
                             "out:dev:" + uid + ":" + std::to_string(i)});
      }
    }
    for (const std::string& uid : device.aggregate->taps) {
      const Tap* tap = tapByUIDLocked(uid);
      if (tap == nullptr) continue;
      wantedIn.push_back(
          {0, id, true, tapChannelsLocked(*tap), {StreamSource::Kind::kTap, uid}, "in:tap:" + uid});
    }

    auto place = [&](std::vector<Stream>& wanted, std::vector<AudioObjectID>& ids) {
      ids.clear();
      for (Stream& stream : wanted) {
        auto found = existing.find(stream.key);
        if (found != existing.end()) {
          stream.id = found->second;
          existing.erase(found);
        } else {
          stream.id = nextIDLocked();
        }
        streams_[stream.id] = stream;
        ids.push_back(stream.id);
      }
    };
    place(wantedIn, device.inputStreams);
    place(wantedOut, device.outputStreams);
    for (const auto& [key, streamID] : existing) streams_.erase(streamID);
  }
}

bool SimulatedAudioHardware::deviceRunningLocked(const Device& device) const {
  if (device.hardwareStarted) return true;
  for (const auto& [procID, proc] : ioProcs_) {
    if (proc->device == device.id && proc->started) return true;
  }
  return false;
}

bool SimulatedAudioHardware::deviceRunningSomewhereLocked(const Device& device) const {
  if (device.config.inUseElsewhere || deviceRunningLocked(device)) return true;
  for (const auto& [id, other] : devices_) {
    if (!other.aggregate || !deviceRunningLocked(other)) continue;
    const auto& subs = other.aggregate->subDevices;
    if (std::find(subs.begin(), subs.end(), device.config.uid) != subs.end()) return true;
  }
  return false;
}

Float64 SimulatedAudioHardware::toneOfDeviceLocked(const Device& device) const {
  if (device.config.toneFrequency > 0) return device.config.toneFrequency;
  return 200.0 + (stableHash(device.config.uid) % 40) * 20.0;
}

namespace {
Float64 toneOfProcess(const SimulatedProcessConfig& process) {
  if (process.toneFrequency > 0) return process.toneFrequency;
  return 250.0 + (static_cast<std::uint32_t>(process.pid) % 50) * 15.0;
}
}  // namespace

UInt32 SimulatedAudioHardware::tapChannelsLocked(const Tap& tap) const {
  if (tap.description.isMixdown) return tap.description.isMono ? 1 : 2;
  if (tap.description.deviceUID) {
    const Device* device = deviceByUIDLocked(*tap.description.deviceUID);
    if (device && !device->config.outputStreams.empty()) return device->config.outputStreams[0];
  }
  return 2;
}

std::vector<SimulatedAudioHardware::Tone> SimulatedAudioHardware::streamTonesLocked(
    const Stream& stream) const {
  std::vector<Tone> tones;
  if (!stream.isInput) return tones;
  if (stream.source.kind == StreamSource::Kind::kDevice) {
    const Device* device = deviceByUIDLocked(stream.source.uid);
    if (device && device->config.alive)
      tones.push_back({toneOfDeviceLocked(*device), kToneAmplitude});
    return tones;
  }
  const Tap* tap = tapByUIDLocked(stream.source.uid);
  if (tap == nullptr) return tones;
  const auto& listed = tap->description.processes;
  for (AudioObjectID processID : processOrder_) {
    const Process& process = processes_.at(processID);
    bool inList = std::find(listed.begin(), listed.end(), processID) != listed.end();
    bool captured = tap->description.isExclusive ? !inList : inList;
    if (captured && process.config.running) {
      tones.push_back({toneOfProcess(process.config), kToneAmplitude});
    }
  }
  return tones;
}

AudioStreamBasicDescription SimulatedAudioHardware::streamFormatLocked(const Stream& stream) const {
  const Device* owner = deviceLocked(stream.owner);
  Float64 rate = owner ? owner->config.nominalSampleRate : 48000;
  return makeFloatFormat(rate, stream.channels);
}

// --- property reads ---

OSStatus SimulatedAudioHardware::readLocked(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            const PropertyValue& qualifier,
                                            PropertyValue& out) const {
  const UInt32 selector = address.mSelector;
  if (object == kAudioObjectSystemObject) {
    switch (selector) {
      case kAudioObjectPropertyClass:
        out = kAudioSystemObjectClassID;
        return kAudioHardwareNoError;
      case kAudioHardwarePropertyDevices:
        out = deviceOrder_;
        return kAudioHardwareNoError;
      case kAudioHardwarePropertyDefaultInputDevice:
        out = defaultInput_;
        return kAudioHardwareNoError;
      case kAudioHardwarePropertyDefaultOutputDevice:
        out = defaultOutput_;
        return kAudioHardwareNoError;
      case kAudioHardwarePropertyTranslateUIDToDevice: {
        const auto* uid = std::get_if<std::string>(&qualifier);
        if (uid == nullptr) return kAudioHardwareIllegalOperationError;
        const Device* device = deviceByUIDLocked(*uid);
        out = device ? device->id : kAudioObjectUnknown;
        return kAudioHardwareNoError;
      }
      case kAudioHardwarePropertyProcessObjectList:
        out = processOrder_;
        return kAudioHardwareNoError;
      case kAudioHardwarePropertyTapList: {
        std::vector<AudioObjectID> visible;
        for (AudioObjectID id : tapOrder_) {
          const Tap& tap = taps_.at(id);
          if (!(tap.foreign && tap.description.isPrivate)) visible.push_back(id);
        }
        out = visible;
        return kAudioHardwareNoError;
      }
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  if (const Device* device = deviceLocked(object)) {
    const auto& config = device->config;
    switch (selector) {
      case kAudioObjectPropertyClass:
        out = device->aggregate ? kAudioAggregateDeviceClassID : kAudioDeviceClassID;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyDeviceUID:
        out = config.uid;
        return kAudioHardwareNoError;
      case kAudioObjectPropertyName:
      case kAudioDevicePropertyDeviceName:
        out = config.name;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyTransportType:
        out = device->aggregate ? kAudioDeviceTransportTypeAggregate : config.transport;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyAvailableNominalSampleRates:
        out = config.sampleRateRanges;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyNominalSampleRate:
        out = config.nominalSampleRate;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyClockSource:
        if (device->aggregate || config.clockSource == ClockSourceProperty::kAbsent) break;
        out = fourCharCode("intl");
        return kAudioHardwareNoError;
      case kAudioDevicePropertyStreamConfiguration: {
        AudioBufferList layout;
        const auto& ids = address.mScope == kAudioObjectPropertyScopeOutput ? device->outputStreams
                                                                            : device->inputStreams;
        if (address.mScope != kAudioObjectPropertyScopeInput &&
            address.mScope != kAudioObjectPropertyScopeOutput) {
          return kAudioHardwareUnknownPropertyError;
        }
        for (AudioObjectID id : ids)
          layout.mBuffers.push_back({streams_.at(id).channels, 0, nullptr});
        out = layout;
        return kAudioHardwareNoError;
      }
      case kAudioDevicePropertyDeviceIsRunningSomewhere:
        out = UInt32{deviceRunningSomewhereLocked(*device) ? 1u : 0u};
        return kAudioHardwareNoError;
      case kAudioDevicePropertyStreams: {
        std::vector<AudioObjectID> ids;
        if (address.mScope != kAudioObjectPropertyScopeOutput) {
          ids.insert(ids.end(), device->inputStreams.begin(), device->inputStreams.end());
        }
        if (address.mScope != kAudioObjectPropertyScopeInput) {
          ids.insert(ids.end(), device->outputStreams.begin(), device->outputStreams.end());
        }
        out = ids;
        return kAudioHardwareNoError;
      }
      case kAudioDevicePropertyDeviceIsRunning:
        out = UInt32{deviceRunningLocked(*device) ? 1u : 0u};
        return kAudioHardwareNoError;
      case kAudioDevicePropertyDeviceIsAlive:
        out = UInt32{config.alive ? 1u : 0u};
        return kAudioHardwareNoError;
      default:
        break;
    }
    if (!device->aggregate) return kAudioHardwareUnknownPropertyError;
    const Aggregate& aggregate = *device->aggregate;
    switch (selector) {
      case kAudioAggregateDevicePropertyClockDevice:
        if (aggregate.clockDevice) {
          out = *aggregate.clockDevice;
        } else {
          out = std::monostate{};
        }
        return kAudioHardwareNoError;
      case kAudioAggregateDevicePropertyMainSubDevice:
        if (aggregate.mainSubDevice.empty()) {
          out = std::monostate{};
        } else {
          out = aggregate.mainSubDevice;
        }
        return kAudioHardwareNoError;
      case kAudioAggregateDevicePropertyComposition: {
        nlohmann::json composition{{"name", config.name},
                                   {"uid", config.uid},
                                   {"subdevices", uidDictionaries(aggregate.subDevices)},
                                   {"private", aggregate.isPrivate},
                                   {"taps", uidDictionaries(aggregate.taps)},
                                   {"tapautostart", aggregate.tapAutoStart},
                                   {"master", aggregate.mainSubDevice}};
        if (aggregate.clockDevice) composition["clock"] = *aggregate.clockDevice;
        out = composition;
        return kAudioHardwareNoError;
      }
      case kAudioAggregateDevicePropertyFullSubDeviceList:
        out = aggregate.subDevices;
        return kAudioHardwareNoError;
      case kAudioAggregateDevicePropertyTapList:
        out = aggregate.taps;
        return kAudioHardwareNoError;
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  if (auto it = streams_.find(object); it != streams_.end()) {
    switch (selector) {
      case kAudioObjectPropertyClass:
        out = kAudioStreamClassID;
        return kAudioHardwareNoError;
      case kAudioStreamPropertyVirtualFormat:
        out = streamFormatLocked(it->second);
        return kAudioHardwareNoError;
      case kAudioStreamPropertyDirection:
        out = UInt32{it->second.isInput ? 1u : 0u};
        return kAudioHardwareNoError;
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  if (auto it = processes_.find(object); it != processes_.end()) {
    const auto& config = it->second.config;
    switch (selector) {
      case kAudioObjectPropertyClass:
        out = kAudioProcessClassID;
        return kAudioHardwareNoError;
      case kAudioProcessPropertyPID:
        out = SInt32{config.pid};
        return kAudioHardwareNoError;
      case kAudioProcessPropertyBundleID:
        out = config.bundleID;
        return kAudioHardwareNoError;
      case kAudioProcessPropertyIsRunning:
        out = UInt32{config.running ? 1u : 0u};
        return kAudioHardwareNoError;
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  if (auto it = taps_.find(object); it != taps_.end()) {
    const Tap& tap = it->second;
    switch (selector) {
      case kAudioObjectPropertyClass:
        out = kAudioTapClassID;
        return kAudioHardwareNoError;
      case kAudioObjectPropertyName:
        out = tap.description.name;
        return kAudioHardwareNoError;
      case kAudioTapPropertyUID:
        out = tap.uid;
        return kAudioHardwareNoError;
      case kAudioTapPropertyFormat:
        out = makeFloatFormat(48000, tapChannelsLocked(tap));
        return kAudioHardwareNoError;
      case kAudioTapPropertyDescription:
        out = tap.description;
        return kAudioHardwareNoError;
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }
  return kAudioHardwareBadObjectError;
}

bool SimulatedAudioHardware::settableLocked(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address) const {
  const UInt32 selector = address.mSelector;
  if (object == kAudioObjectSystemObject) {
    return selector == kAudioHardwarePropertyDefaultInputDevice ||
           selector == kAudioHardwarePropertyDefaultOutputDevice;
  }
  if (const Device* device = deviceLocked(object)) {
    if (selector == kAudioDevicePropertyNominalSampleRate) return true;
    if (selector == kAudioDevicePropertyClockSource) {
      return !device->aggregate && device->config.clockSource == ClockSourceProperty::kSettable;
    }
    if (device->aggregate) {
      return selector == kAudioAggregateDevicePropertyClockDevice ||
             selector == kAudioAggregateDevicePropertyMainSubDevice ||
             selector == kAudioAggregateDevicePropertyComposition ||
             selector == kAudioAggregateDevicePropertyFullSubDeviceList ||
             selector == kAudioAggregateDevicePropertyTapList;
    }
    return false;
  }
  if (taps_.count(object)) return selector == kAudioTapPropertyDescription;
  return false;
}

// --- property writes ---

OSStatus SimulatedAudioHardware::writeLocked(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             const PropertyValue& data) {
  PropertyValue current;
  OSStatus status = readLocked(object, address, std::string(), current);
  if (status != kAudioHardwareNoError) return status;
  if (!settableLocked(object, address)) return kAudioHardwareUnsupportedOperationError;
  const UInt32 selector = address.mSelector;

  if (object == kAudioObjectSystemObject) {
    const auto* id = std::get_if<UInt32>(&data);
    if (id == nullptr) return kAudioHardwareBadPropertySizeError;
    const Device* device = deviceLocked(*id);
    if (device == nullptr) return kAudioHardwareBadDeviceError;
    (selector == kAudioHardwarePropertyDefaultInputDevice ? defaultInput_ : defaultOutput_) = *id;
    return kAudioHardwareNoError;
  }

  if (auto it = taps_.find(object); it != taps_.end()) {
    const auto* description = std::get_if<CATapDescription>(&data);
    if (description == nullptr) return kAudioHardwareBadPropertySizeError;
    it->second.description = *description;
    it->second.description.uuid = it->second.uid;
    return kAudioHardwareNoError;
  }

  Device& device = *deviceLocked(object);
  if (selector == kAudioDevicePropertyNominalSampleRate) {
    const auto* rate = std::get_if<Float64>(&data);
    if (rate == nullptr) return kAudioHardwareBadPropertySizeError;
    bool supported = false;
    for (const auto& range : device.config.sampleRateRanges) {
      supported |= range.mMinimum <= *rate && *rate <= range.mMaximum;
    }
    if (!supported) return kAudioHardwareIllegalOperationError;
    device.config.nominalSampleRate = *rate;
    return kAudioHardwareNoError;
  }
  if (selector == kAudioDevicePropertyClockSource) {
    return std::holds_alternative<UInt32>(data) ? kAudioHardwareNoError
                                                : kAudioHardwareBadPropertySizeError;
  }

  Aggregate& aggregate = *device.aggregate;
  switch (selector) {
    case kAudioAggregateDevicePropertyClockDevice: {
      const auto* uid = std::get_if<std::string>(&data);
      if (uid == nullptr) return kAudioHardwareBadPropertySizeError;
      // Only a live device (or nothing) can clock an aggregate.
      if (!uid->empty() && deviceByUIDLocked(*uid) == nullptr) {
        return kAudioHardwareIllegalOperationError;
      }
      aggregate.clockDevice = *uid;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyMainSubDevice: {
      const auto* uid = std::get_if<std::string>(&data);
      if (uid == nullptr) return kAudioHardwareBadPropertySizeError;
      aggregate.mainSubDevice = *uid;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyFullSubDeviceList:
    case kAudioAggregateDevicePropertyTapList: {
      const auto* uids = std::get_if<std::vector<std::string>>(&data);
      if (uids == nullptr) return kAudioHardwareBadPropertySizeError;
      (selector == kAudioAggregateDevicePropertyTapList ? aggregate.taps : aggregate.subDevices) =
          *uids;
      return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyComposition: {
      const auto* composition = std::get_if<nlohmann::json>(&data);
      if (composition == nullptr || !composition->is_object()) {
        return kAudioHardwareBadPropertySizeError;
      }
      Aggregate updated = aggregate;
      std::string name = device.config.name;
      try {
        if (composition->contains("name")) name = composition->at("name").get<std::string>();
        if (composition->contains("private"))
          updated.isPrivate = composition->at("private").get<bool>();
        if (composition->contains("tapautostart")) {
          updated.tapAutoStart = composition->at("tapautostart").get<bool>();
        }
        if (composition->contains("master")) {
          updated.mainSubDevice = composition->at("master").get<std::string>();
        }
        if (composition->contains("clock")) {
          updated.clockDevice = composition->at("clock").get<std::string>();
        }
      } catch (const nlohmann::json::exception&) {
        return kAudioHardwareIllegalOperationError;
      }
      if (composition->contains("subdevices")) {
        auto uids = parseUIDList(composition->at("subdevices"));
        if (!uids) return kAudioHardwareIllegalOperationError;
        updated.subDevices = *uids;
      }
      if (composition->contains("taps")) {
        auto uids = parseUIDList(composition->at("taps"));
        if (!uids) return kAudioHardwareIllegalOperationError;
        updated.taps = *uids;
      }
      aggregate = updated;
      device.config.name = name;
      return kAudioHardwareNoError;
    }
    default:
      return kAudioHardwareUnsupportedOperationError;
  }
}

// --- change delivery ---

SimulatedAudioHardware::Observed SimulatedAudioHardware::observeLocked() const {
  Observed observed;
  auto observe = [&](AudioObjectID object, UInt32 selector) {
    PropertyValue value;
    AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
    if (selector == kAudioDevicePropertyDeviceIsRunningSomewhere) {
      address.mScope = kAudioObjectPropertyScopeInput;
    }
    if (readLocked(object, address, {}, value) == kAudioHardwareNoError) {
      observed[{object, selector}] = fingerprint(value);
    }
  };
  for (UInt32 selector : {kAudioHardwarePropertyDevices, kAudioHardwarePropertyProcessObjectList,
                          kAudioHardwarePropertyTapList, kAudioHardwarePropertyDefaultInputDevice,
                          kAudioHardwarePropertyDefaultOutputDevice}) {
    observe(kAudioObjectSystemObject, selector);
  }
  for (const auto& [id, device] : devices_) {
    for (UInt32 selector :
         {kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyDeviceIsRunning,
          kAudioDevicePropertyDeviceIsRunningSomewhere, kAudioDevicePropertyStreams,
          kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyName}) {
      observe(id, selector);
    }
    if (device.aggregate) {
      for (UInt32 selector :
           {kAudioAggregateDevicePropertyFullSubDeviceList, kAudioAggregateDevicePropertyTapList,
            kAudioAggregateDevicePropertyComposition, kAudioAggregateDevicePropertyClockDevice,
            kAudioAggregateDevicePropertyMainSubDevice}) {
        observe(id, selector);
      }
    }
  }
  for (const auto& [id, process] : processes_) observe(id, kAudioProcessPropertyIsRunning);
  for (const auto& [id, tap] : taps_) {
    observe(id, kAudioTapPropertyDescription);
    observe(id, kAudioTapPropertyFormat);
  }
  return observed;
}

void SimulatedAudioHardware::deliver(std::unique_lock<std::mutex>& lock, const Observed& before) {
  Observed after = observeLocked();
  std::map<AudioObjectID, std::vector<AudioObjectPropertyAddress>> changes;
  auto note = [&](const std::pair<AudioObjectID, UInt32>& key) {
    auto& addresses = changes[key.first];
    addresses.push_back({key.second, kAudioObjectPropertyScopeGlobal, 0});
    if (key.second == kAudioDevicePropertyDeviceIsRunningSomewhere) {
      addresses.push_back({key.second, kAudioObjectPropertyScopeInput, 0});
    }
  };
  for (const auto& [key, value] : after) {
    auto it = before.find(key);
    if (it == before.end() || it->second != value) note(key);
  }
  // Properties of objects that went away changed too (a removed device is no
  // longer alive, for instance).
  for (const auto& [key, value] : before) {
    if (!after.count(key)) note(key);
  }

  struct PendingBlock {
    asio::any_io_executor queue;
    AudioObjectPropertyListenerBlock block;
    std::vector<AudioObjectPropertyAddress> addresses;
  };
  struct PendingProc {
    std::shared_ptr<ProcListener> listener;
    std::vector<AudioObjectPropertyAddress> addresses;
  };
  std::vector<PendingBlock> blocks;
  std::vector<PendingProc> procs;
  for (const auto& [object, addresses] : changes) {
    for (const auto& listener : blockListeners_) {
      if (listener.object != object) continue;
      std::vector<AudioObjectPropertyAddress> hits;
      for (const auto& address : addresses) {
        if (matches(listener.address, address)) hits.push_back(address);
      }
      if (!hits.empty()) blocks.push_back({listener.queue, listener.block, std::move(hits)});
    }
    for (const auto& listener : procListeners_) {
      if (listener->object != object) continue;
      std::vector<AudioObjectPropertyAddress> hits;
      for (const auto& address : addresses) {
        if (matches(listener->address, address)) hits.push_back(address);
      }
      if (!hits.empty()) procs.push_back({listener, std::move(hits)});
    }
  }
  lock.unlock();
  changed_.notify_all();

  for (auto& pending : blocks) {
    auto queue = pending.queue ? pending.queue : notificationExecutor();
    asio::post(queue, [block = std::move(pending.block), addresses = std::move(pending.addresses)] {
      (*block)(static_cast<UInt32>(addresses.size()), addresses.data());
    });
  }
  for (auto& pending : procs) {
    asio::post(notifications_, [this, listener = std::move(pending.listener),
                                addresses = std::move(pending.addresses)] {
      {
        std::lock_guard guard(mutex_);
        auto& all = procListeners_;
        if (std::find(all.begin(), all.end(), listener) == all.end()) return;
        ++procDeliveries_;
      }
      listener->proc(listener->object, static_cast<UInt32>(addresses.size()), addresses.data(),
                     listener->clientData);
      {
        std::lock_guard guard(mutex_);
        --procDeliveries_;
      }
      changed_.notify_all();
    });
  }
}

template <typename Change>
auto SimulatedAudioHardware::mutate(Change&& change) {
  std::unique_lock lock(mutex_);
  Observed before = observeLocked();
  auto result = change();
  rebuildAggregateStreamsLocked();
  deliver(lock, before);
  return result;
}

void SimulatedAudioHardware::waitForDispatchLocked(std::unique_lock<std::mutex>& lock) {
  if (std::this_thread::get_id() == ioThreadID_) return;
  changed_.wait(lock, [this] { return !ioDispatching_; });
}

// --- HAL operations ---

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     const PropertyValue& qualifier,
                                                     UInt32& outDataSize) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kGetPropertyDataSize, object, address.mSelector)) {
    return *failure;
  }
  PropertyValue value;
  OSStatus status = readLocked(object, address, qualifier, value);
  if (status == kAudioHardwareNoError) outDataSize = propertyDataSize(value);
  return status;
}

OSStatus SimulatedAudioHardware::getPropertyData(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 const PropertyValue& qualifier, UInt32& ioDataSize,
                                                 PropertyValue& outData) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kGetPropertyData, object, address.mSelector)) {
    return *failure;
  }
  PropertyValue value;
  OSStatus status = readLocked(object, address, qualifier, value);
  if (status != kAudioHardwareNoError) return status;
  // Lists are cut to the caller's room; anything else must fit whole.
  if (auto* ids = std::get_if<std::vector<AudioObjectID>>(&value)) {
    if (ids->size() > ioDataSize / 4) ids->resize(ioDataSize / 4);
  } else if (auto* ranges = std::get_if<std::vector<AudioValueRange>>(&value)) {
    if (ranges->size() > ioDataSize / 16) ranges->resize(ioDataSize / 16);
  } else if (propertyDataSize(value) > ioDataSize) {
    return kAudioHardwareBadPropertySizeError;
  }
  ioDataSize = propertyDataSize(value);
  outData = std::move(value);
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::setPropertyData(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 const PropertyValue& data) {
  {
    std::lock_guard lock(mutex_);
    if (auto failure =
            injectedFailureLocked(HalOperation::kSetPropertyData, object, address.mSelector)) {
      return *failure;
    }
  }
  return mutate([&] { return writeLocked(object, address, data); });
}

bool SimulatedAudioHardware::hasProperty(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(mutex_);
  if (injectedFailureLocked(HalOperation::kHasProperty, object, address.mSelector)) return false;
  PropertyValue value;
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyTranslateUIDToDevice) {
    return true;
  }
  AudioObjectPropertyAddress probe = address;
  if (probe.mSelector == kAudioDevicePropertyStreamConfiguration &&
      probe.mScope == kAudioObjectPropertyScopeGlobal) {
    probe.mScope = kAudioObjectPropertyScopeInput;
  }
  return readLocked(object, probe, {}, value) == kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::isPropertySettable(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    bool& outIsSettable) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kIsPropertySettable, object, address.mSelector)) {
    return *failure;
  }
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  PropertyValue value;
  AudioObjectPropertyAddress probe = address;
  if (probe.mSelector == kAudioDevicePropertyStreamConfiguration) {
    probe.mScope = kAudioObjectPropertyScopeInput;
  }
  OSStatus status = readLocked(object, probe, std::string(), value);
  if (status != kAudioHardwareNoError) return status;
  outIsSettable = settableLocked(object, address);
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address,
                                                          asio::any_io_executor queue,
                                                          AudioObjectPropertyListenerBlock block) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kAddPropertyListener, object, address.mSelector)) {
    return *failure;
  }
  if (!block) return kAudioHardwareIllegalOperationError;
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  blockListeners_.push_back({object, address, std::move(queue), std::move(block)});
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address, asio::any_io_executor queue,
    AudioObjectPropertyListenerBlock block) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kRemovePropertyListener, object, address.mSelector)) {
    return *failure;
  }
  auto it = std::find_if(blockListeners_.begin(), blockListeners_.end(), [&](const auto& l) {
    return l.object == object && l.address == address && l.queue == queue && l.block == block;
  });
  if (it == blockListeners_.end()) return kAudioHardwareIllegalOperationError;
  blockListeners_.erase(it);
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::addPropertyListener(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     AudioObjectPropertyListenerProc listener,
                                                     void* clientData) {
  std::lock_guard lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kAddPropertyListener, object, address.mSelector)) {
    return *failure;
  }
  if (listener == nullptr) return kAudioHardwareIllegalOperationError;
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  procListeners_.push_back(
      std::make_shared<ProcListener>(ProcListener{object, address, listener, clientData}));
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::removePropertyListener(AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address,
                                                        AudioObjectPropertyListenerProc listener,
                                                        void* clientData) {
  std::unique_lock lock(mutex_);
  if (auto failure =
          injectedFailureLocked(HalOperation::kRemovePropertyListener, object, address.mSelector)) {
    return *failure;
  }
  auto it = std::find_if(procListeners_.begin(), procListeners_.end(), [&](const auto& l) {
    return l->object == object && l->address == address && l->proc == listener &&
           l->clientData == clientData;
  });
  if (it == procListeners_.end()) return kAudioHardwareIllegalOperationError;
  procListeners_.erase(it);
  if (std::this_thread::get_id() != notificationThreadID_) {
    changed_.wait(lock, [this] { return procDeliveries_ == 0; });
  }
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::createProcessTap(const CATapDescription& description,
                                                  AudioObjectID& outTapID) {
  {
    std::lock_guard lock(mutex_);
    if (auto failure = injectedFailureLocked(HalOperation::kCreateProcessTap, 0, std::nullopt)) {
      return *failure;
    }
  }
  return mutate([&]() -> OSStatus {
    Tap tap;
    tap.id = nextIDLocked();
    tap.description = description;
    tap.uid = description.uuid.empty() ? generateUUID() : description.uuid;
    if (tapByUIDLocked(tap.uid) != nullptr) return kAudioHardwareIllegalOperationError;
    tap.description.uuid = tap.uid;
    taps_[tap.id] = tap;
    tapOrder_.push_back(tap.id);
    outTapID = tap.id;
    return kAudioHardwareNoError;
  });
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID tapID) {
  {
    std::lock_guard lock(mutex_);
    if (auto failure =
            injectedFailureLocked(HalOperation::kDestroyProcessTap, tapID, std::nullopt)) {
      return *failure;
    }
  }
  return mutate([&]() -> OSStatus {
    if (!taps_.erase(tapID)) return kAudioHardwareBadObjectError;
    tapOrder_.erase(std::remove(tapOrder_.begin(), tapOrder_.end(), tapID), tapOrder_.end());
    return kAudioHardwareNoError;
  });
}

OSStatus SimulatedAudioHardware::createAggregateDevice(const nlohmann::json& description,
                                                       AudioObjectID& outDeviceID) {
  {
    std::lock_guard lock(mutex_);
    if (auto failure =
            injectedFailureLocked(HalOperation::kCreateAggregateDevice, 0, std::nullopt)) {
      return *failure;
    }
  }
  if (!description.is_object()) return kAudioHardwareIllegalOperationError;
  Aggregate aggregate;
  SimulatedDeviceConfig config;
  try {
    config.uid = description.at("uid").get<std::string>();
    config.name = description.value("name", std::string());
    aggregate.isPrivate = description.value("private", false);
    aggregate.tapAutoStart = description.value("tapautostart", false);
    aggregate.mainSubDevice = description.value("master", std::string());
    if (description.contains("clock"))
      aggregate.clockDevice = description.at("clock").get<std::string>();
  } catch (const nlohmann::json::exception&) {
    return kAudioHardwareIllegalOperationError;
  }
  if (config.uid.empty()) return kAudioHardwareIllegalOperationError;
  for (const char* key : {"subdevices", "taps"}) {
    if (!description.contains(key)) continue;
    auto uids = parseUIDList(description.at(key));
    if (!uids) return kAudioHardwareIllegalOperationError;
    (std::string(key) == "taps" ? aggregate.taps : aggregate.subDevices) = *uids;
  }
  config.transport = kAudioDeviceTransportTypeAggregate;
  config.clockSource = ClockSourceProperty::kAbsent;
  return mutate([&]() -> OSStatus {
    if (deviceByUIDLocked(config.uid) != nullptr) return kAudioHardwareIllegalOperationError;
    Device device;
    device.id = nextIDLocked();
    device.config = config;
    device.aggregate = aggregate;
    devices_[device.id] = device;
    deviceOrder_.push_back(device.id);
    outDeviceID = device.id;
    return kAudioHardwareNoError;
  });
}

void SimulatedAudioHardware::removeIOProcsOfDeviceLocked(AudioObjectID device) {
  for (auto it = ioProcs_.begin(); it != ioProcs_.end();) {
    it = it->second->device == device ? ioProcs_.erase(it) : std::next(it);
  }
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
  {
    std::lock_guard lock(mutex_);
    if (auto failure =
            injectedFailureLocked(HalOperation::kDestroyAggregateDevice, deviceID, std::nullopt)) {
      return *failure;
    }
  }
  OSStatus status = mutate([&]() -> OSStatus {
    Device* device = deviceLocked(deviceID);
    if (device == nullptr || !device->aggregate) return kAudioHardwareBadDeviceError;
    removeStreamsLocked(device->inputStreams);
    removeStreamsLocked(device->outputStreams);
    removeIOProcsOfDeviceLocked(deviceID);
    devices_.erase(deviceID);
    deviceOrder_.erase(std::remove(deviceOrder_.begin(), deviceOrder_.end(), deviceID),
                       deviceOrder_.end());
    return kAudioHardwareNoError;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return status;
}

OSStatus SimulatedAudioHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                                void* clientData, AudioDeviceIOProcID& outProcID) {
  std::lock_guard lock(mutex_);
  if (auto failure = injectedFailureLocked(HalOperation::kCreateIOProcID, device, std::nullopt)) {
    return *failure;
  }
  if (deviceLocked(device) == nullptr) return kAudioHardwareBadDeviceError;
  if (proc == nullptr) return kAudioHardwareIllegalOperationError;
  auto record = std::make_unique<IOProc>(IOProc{device, proc, clientData, false});
  // The record's address is the handle; it stays unique while registered.
  auto id = reinterpret_cast<AudioDeviceIOProcID>(record.get());
  ioProcs_[id] = std::move(record);
  outProcID = id;
  return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
    if (auto failure =
            injectedFailureLocked(HalOperation::kDestroyIOProcID, device, std::nullopt)) {
      return *failure;
    }
    auto it = ioProcs_.find(procID);
    if (it == ioProcs_.end() || it->second->device != device) {
      return kAudioHardwareIllegalOperationError;
    }
    ioProcs_.erase(it);
    return kAudioHardwareNoError;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return status;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  return mutate([&]() -> OSStatus {
    if (auto failure = injectedFailureLocked(HalOperation::kDeviceStart, device, std::nullopt)) {
      return *failure;
    }
    Device* target = deviceLocked(device);
    if (target == nullptr) return kAudioHardwareBadDeviceError;
    if (!target->config.alive) return kAudioHardwareNotRunningError;
    if (procID == nullptr) {
      target->hardwareStarted = true;
    } else {
      // A procedure belongs to the device it was created on.
      auto it = ioProcs_.find(procID);
      if (it == ioProcs_.end() || it->second->device != device) {
        return kAudioHardwareIllegalOperationError;
      }
      it->second->started = true;
    }
    ensureIOThreadLocked();
    return kAudioHardwareNoError;
  });
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  OSStatus status = mutate([&]() -> OSStatus {
    if (auto failure = injectedFailureLocked(HalOperation::kDeviceStop, device, std::nullopt)) {
      return *failure;
    }
    Device* target = deviceLocked(device);
    if (target == nullptr) return kAudioHardwareBadDeviceError;
    if (procID == nullptr) {
      target->hardwareStarted = false;
      return kAudioHardwareNoError;
    }
    auto it = ioProcs_.find(procID);
    if (it == ioProcs_.end() || it->second->device != device) {
      return kAudioHardwareIllegalOperationError;
    }
    it->second->started = false;
    return kAudioHardwareNoError;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return status;
}

// --- IO thread ---

// Every source is a sine at its own frequency whose phase follows the
// device's sample time; sources add up and the sum is clipped to full scale.
// All channels of a frame carry the same sample.
void SimulatedAudioHardware::synthesize(const std::vector<Tone>& tones, Float64 rate,
                                        Float64 sampleTime, UInt32 frames, UInt32 channels,
                                        float* out) {
  for (UInt32 frame = 0; frame < frames; ++frame) {
    double value = 0;
    for (const Tone& tone : tones) {
      value += tone.amplitude *
               std::sin(2 * std::numbers::pi * tone.frequency * (sampleTime + frame) / rate);
    }
    float sample = static_cast<float>(std::clamp(value, -1.0, 1.0));
    for (UInt32 c = 0; c < channels; ++c) out[frame * channels + c] = sample;
  }
}

void SimulatedAudioHardware::ensureIOThreadLocked() {
  if (ioThread_.joinable()) return;
  ioThread_ = std::thread([this] { ioThreadMain(); });
  ioThreadID_ = ioThread_.get_id();
}

void SimulatedAudioHardware::ioThreadMain() {
  using Clock = std::chrono::steady_clock;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kIOCycleSeconds));
  struct StreamCycle {
    UInt32 channels;
    std::vector<Tone> tones;
  };
  struct Cycle {
    AudioObjectID device;
    Float64 rate;
    UInt32 frames;
    AudioTimeStamp time;
    std::vector<StreamCycle> streams;
    std::vector<std::pair<AudioDeviceIOProc, void*>> procs;
  };
  std::vector<std::vector<float>> samples;  // reused between cycles

  std::unique_lock lock(mutex_);
  auto anyRunning = [this] {
    for (const auto& [id, device] : devices_) {
      if (deviceRunningLocked(device)) return true;
    }
    return false;
  };
  auto next = Clock::now();
  while (!stopping_) {
    if (!anyRunning()) {
      changed_.wait(lock, [&] { return stopping_ || anyRunning(); });
      next = Clock::now();
      continue;
    }
    next += period;
    changed_.wait_until(lock, next, [this] { return stopping_; });
    if (stopping_) break;
    // After a stall, deliver at the normal pace again instead of catching up.
    if (Clock::now() - next > 10 * period) next = Clock::now();

    std::vector<Cycle> cycles;
    for (AudioObjectID id : deviceOrder_) {
      Device& device = devices_.at(id);
      if (!deviceRunningLocked(device)) continue;
      Cycle cycle;
      cycle.device = id;
      cycle.rate = device.config.nominalSampleRate;
      cycle.frames = static_cast<UInt32>(std::lround(cycle.rate * kIOCycleSeconds));
      cycle.time.mSampleTime = device.sampleTime;
      cycle.time.mHostTime = static_cast<UInt64>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count());
      device.sampleTime += cycle.frames;
      for (AudioObjectID streamID : device.inputStreams) {
        const Stream& stream = streams_.at(streamID);
        cycle.streams.push_back({stream.channels, streamTonesLocked(stream)});
      }
      for (const auto& [procID, proc] : ioProcs_) {
        if (proc->device == id && proc->started)
          cycle.procs.emplace_back(proc->proc, proc->clientData);
      }
      if (!cycle.procs.empty()) cycles.push_back(std::move(cycle));
    }
    if (cycles.empty()) continue;
    ioDispatching_ = true;
    lock.unlock();

    for (const Cycle& cycle : cycles) {
      samples.resize(cycle.streams.size());
      AudioBufferList input;
      for (size_t s = 0; s < cycle.streams.size(); ++s) {
        const StreamCycle& stream = cycle.streams[s];
        auto& buffer = samples[s];
        buffer.resize(static_cast<size_t>(cycle.frames) * stream.channels);
        synthesize(stream.tones, cycle.rate, cycle.time.mSampleTime, cycle.frames, stream.channels,
                   buffer.data());
        input.mBuffers.push_back(
            {stream.channels, static_cast<UInt32>(buffer.size() * sizeof(float)), buffer.data()});
      }
      AudioBufferList output;
      for (const auto& [proc, clientData] : cycle.procs) {
        proc(cycle.device, &cycle.time, &input, &cycle.time, &output, &cycle.time, clientData);
      }
    }

    lock.lock();
    ioDispatching_ = false;
    changed_.notify_all();
  }
}

// --- control API ---

AudioObjectID SimulatedAudioHardware::addDevice(const SimulatedDeviceConfig& config) {
  return mutate([&]() -> AudioObjectID {
    if (config.uid.empty() || deviceByUIDLocked(config.uid) != nullptr) return 0;
    Device device;
    device.id = nextIDLocked();
    device.config = config;
    createDeviceStreamsLocked(device);
    AudioObjectID id = device.id;
    devices_[id] = std::move(device);
    deviceOrder_.push_back(id);
    return id;
  });
}

bool SimulatedAudioHardware::removeDevice(const std::string& uid) {
  bool removed = mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    AudioObjectID id = device->id;
    removeStreamsLocked(device->inputStreams);
    removeStreamsLocked(device->outputStreams);
    removeIOProcsOfDeviceLocked(id);
    devices_.erase(id);
    deviceOrder_.erase(std::remove(deviceOrder_.begin(), deviceOrder_.end(), id),
                       deviceOrder_.end());
    if (defaultInput_ == id) defaultInput_ = 0;
    if (defaultOutput_ == id) defaultOutput_ = 0;
    return true;
  });
  std::unique_lock lock(mutex_);
  waitForDispatchLocked(lock);
  return removed;
}

bool SimulatedAudioHardware::killDevice(const std::string& uid) {
  return mutate([&] {
    Device* device = const_cast<Device*>(deviceByUIDLocked(uid));
    if (device == nullptr) return false;
    device->config.alive = false;
    device->hardwareStarted = false;
    for (auto& [procID, proc] : ioProcs_) {
      if (proc->device == device->id) proc->started = false;
    }
    return true;
  });
}

bool SimulatedAudioHardware::setDeviceInUseElsewhere(const std::string& uid, bool inUse) {
  return mutate([&] {
    Device* device = const_cast<Device*>(deviceByUIDLocked(uid));
    if (device == nullptr) return false;
    device->config.inUseElsewhere = inUse;
    return true;
  });
}

bool SimulatedAudioHardware::setDefaultInputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultInput_ = device->id;
    return true;
  });
}

bool SimulatedAudioHardware::setDefaultOutputDevice(const std::string& uid) {
  return mutate([&] {
    const Device* device = deviceByUIDLocked(uid);
    if (device == nullptr) return false;
    defaultOutput_ = device->id;
    return true;
  });
}

AudioObjectID SimulatedAudioHardware::addProcess(const SimulatedProcessConfig& config) {
  return mutate([&]() -> AudioObjectID {
    for (const auto& [id, process] : processes_) {
      if (process.config.pid == config.pid) return 0;
    }
    Process process{nextIDLocked(), config};
    processes_[process.id] = process;
    processOrder_.push_back(process.id);
    return process.id;
  });
}

bool SimulatedAudioHardware::removeProcess(std::int32_t pid) {
  return mutate([&] {
    for (auto it = processes_.begin(); it != processes_.end(); ++it) {
      if (it->second.config.pid != pid) continue;
      AudioObjectID id = it->first;
      processes_.erase(it);
      processOrder_.erase(std::remove(processOrder_.begin(), processOrder_.end(), id),
                          processOrder_.end());
      return true;
    }
    return false;
  });
}

bool SimulatedAudioHardware::setProcessRunning(std::int32_t pid, bool running) {
  return mutate([&] {
    for (auto& [id, process] : processes_) {
      if (process.config.pid != pid) continue;
      process.config.running = running;
      return true;
    }
    return false;
  });
}

AudioObjectID SimulatedAudioHardware::createForeignTap(const CATapDescription& description) {
  return mutate([&]() -> AudioObjectID {
    Tap tap;
    tap.id = nextIDLocked();
    tap.uid = description.uuid.empty() ? generateUUID() : description.uuid;
    if (tapByUIDLocked(tap.uid) != nullptr) return 0;
    tap.description = description;
    tap.description.uuid = tap.uid;
    tap.foreign = true;
    taps_[tap.id] = tap;
    tapOrder_.push_back(tap.id);
    return tap.id;
  });
}

void SimulatedAudioHardware::injectFailure(const FailureRule& rule) {
  std::lock_guard lock(mutex_);
  failures_.push_back(rule);
}

void SimulatedAudioHardware::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

AudioObjectID SimulatedAudioHardware::deviceID(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  return device ? device->id : kAudioObjectUnknown;
}

AudioObjectID SimulatedAudioHardware::processObjectID(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return id;
  }
  return kAudioObjectUnknown;
}

std::optional<SimulatedProcessConfig> SimulatedAudioHardware::processWithPID(
    std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return process.config;
  }
  return std::nullopt;
}

std::vector<SimulatedProcessConfig> SimulatedAudioHardware::processes() const {
  std::lock_guard lock(mutex_);
  std::vector<SimulatedProcessConfig> result;
  for (AudioObjectID id : processOrder_) result.push_back(processes_.at(id).config);
  return result;
}

Float64 SimulatedAudioHardware::deviceToneFrequency(const std::string& uid) const {
  std::lock_guard lock(mutex_);
  const Device* device = deviceByUIDLocked(uid);
  return device ? toneOfDeviceLocked(*device) : 0;
}

Float64 SimulatedAudioHardware::processToneFrequency(std::int32_t pid) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, process] : processes_) {
    if (process.config.pid == pid) return toneOfProcess(process.config);
  }
  return 0;
}

Float64 SimulatedAudioHardware::deviceSampleRate(AudioObjectID device) const {
  std::lock_guard lock(mutex_);
  const Device* found = deviceLocked(device);
  return found ? found->config.nominalSampleRate : 0;
}

OSStatus SimulatedAudioHardware::renderDeviceInput(AudioObjectID device, Float64 sampleTime,
                                                   UInt32 frames, UInt32 channels,
                                                   float* out) const {
  std::vector<Tone> tones;
  Float64 rate = 0;
  {
    std::lock_guard lock(mutex_);
    const Device* found = deviceLocked(device);
    if (found == nullptr) return kAudioHardwareBadDeviceError;
    if (found->inputStreams.empty()) return kAudioHardwareIllegalOperationError;
    tones = streamTonesLocked(streams_.at(found->inputStreams.front()));
    rate = found->config.nominalSampleRate;
  }
  synthesize(tones, rate, sampleTime, frames, channels, out);
  return kAudioHardwareNoError;
}

}  // namespace velmar::sim
