#include "hal/ModelAudioHardware.h"

#include <algorithm>
#include <map>

#include <asio/post.hpp>

namespace velmar::hal {

using audiohal::AudioBufferList;
using audiohal::AudioObjectID;
using audiohal::AudioObjectPropertyAddress;
using audiohal::AudioObjectPropertyListenerBlock;
using audiohal::AudioObjectPropertyListenerProc;
using audiohal::AudioStreamBasicDescription;
using audiohal::AudioValueRange;
using audiohal::CATapDescription;
using audiohal::Float64;
using audiohal::kAudioAggregateDevicePropertyClockDevice;
using audiohal::kAudioAggregateDevicePropertyComposition;
using audiohal::kAudioAggregateDevicePropertyFullSubDeviceList;
using audiohal::kAudioAggregateDevicePropertyMainSubDevice;
using audiohal::kAudioAggregateDevicePropertyTapList;
using audiohal::kAudioDevicePropertyDeviceIsAlive;
using audiohal::kAudioDevicePropertyDeviceIsRunning;
using audiohal::kAudioDevicePropertyDeviceIsRunningSomewhere;
using audiohal::kAudioDevicePropertyNominalSampleRate;
using audiohal::kAudioDevicePropertyStreams;
using audiohal::kAudioHardwareBadObjectError;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareNoError;
using audiohal::kAudioHardwarePropertyDefaultInputDevice;
using audiohal::kAudioHardwarePropertyDefaultOutputDevice;
using audiohal::kAudioHardwarePropertyDevices;
using audiohal::kAudioHardwarePropertyProcessObjectList;
using audiohal::kAudioHardwarePropertyTapList;
using audiohal::kAudioObjectPropertyElementWildcard;
using audiohal::kAudioObjectPropertyName;
using audiohal::kAudioObjectPropertyScopeGlobal;
using audiohal::kAudioObjectPropertyScopeInput;
using audiohal::kAudioObjectPropertyScopeWildcard;
using audiohal::kAudioObjectPropertySelectorWildcard;
using audiohal::kAudioObjectSystemObject;
using audiohal::kAudioProcessPropertyBundleID;
using audiohal::kAudioProcessPropertyIsRunning;
using audiohal::kAudioTapPropertyDescription;
using audiohal::kAudioTapPropertyFormat;
using audiohal::OSStatus;
using audiohal::PropertyValue;
using audiohal::SInt32;
using audiohal::UInt32;

namespace {

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

}  // namespace

asio::any_io_executor ModelAudioHardware::notificationExecutor() {
  return notifications_.get_executor();
}

bool ModelAudioHardware::isNotificationThread() const {
  std::lock_guard lock(mutex_);
  return std::this_thread::get_id() == notificationThreadID_;
}

// --- change delivery ---

ModelAudioHardware::Observed ModelAudioHardware::observeLocked() const {
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
  for (const auto& [id, process] : processes_) {
    observe(id, kAudioProcessPropertyIsRunning);
    observe(id, kAudioProcessPropertyBundleID);
  }
  for (const auto& [id, tap] : taps_) {
    observe(id, kAudioTapPropertyDescription);
    observe(id, kAudioTapPropertyFormat);
  }
  return observed;
}

void ModelAudioHardware::deliver(std::unique_lock<std::mutex>& lock, const Observed& before) {
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

OSStatus ModelAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address,
                                                      asio::any_io_executor queue,
                                                      AudioObjectPropertyListenerBlock block) {
  std::lock_guard lock(mutex_);
  if (!block) return kAudioHardwareIllegalOperationError;
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  blockListeners_.push_back({object, address, std::move(queue), std::move(block)});
  return kAudioHardwareNoError;
}

OSStatus ModelAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         asio::any_io_executor queue,
                                                         AudioObjectPropertyListenerBlock block) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(blockListeners_.begin(), blockListeners_.end(), [&](const auto& l) {
    return l.object == object && l.address == address && l.queue == queue && l.block == block;
  });
  if (it == blockListeners_.end()) return kAudioHardwareIllegalOperationError;
  blockListeners_.erase(it);
  return kAudioHardwareNoError;
}

OSStatus ModelAudioHardware::addPropertyListener(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 AudioObjectPropertyListenerProc listener,
                                                 void* clientData) {
  std::lock_guard lock(mutex_);
  if (listener == nullptr) return kAudioHardwareIllegalOperationError;
  if (!existsLocked(object)) return kAudioHardwareBadObjectError;
  procListeners_.push_back(
      std::make_shared<ProcListener>(ProcListener{object, address, listener, clientData}));
  return kAudioHardwareNoError;
}

OSStatus ModelAudioHardware::removePropertyListener(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    AudioObjectPropertyListenerProc listener,
                                                    void* clientData) {
  std::unique_lock lock(mutex_);
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

}  // namespace velmar::hal
