#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "aggregate/AggregateDeviceInfo.h"
#include "aggregate/AggregateDeviceStore.h"
#include "audiohal/AudioDeviceCapabilities.h"
#include "audiohal/AudioDeviceCapabilityDetector.h"
#include "audiohal/AudioDeviceInfo.h"
#include "audiohal/AudioHardware.h"
#include "protocol/EventEmitter.h"

namespace velmar {

// The service's view of the machine's audio devices and of the aggregate
// devices that join the built-in microphone with process taps: two lists
// sorted by name, creation and composition of aggregate devices, their clock
// sources, the current and the protected (recording) device, and the store
// that remembers them across restarts.
//
// Thread safety: one guard, `mutex_`, covers the lists, the current and
// protected IDs and the listener state. It is never held while the HAL is
// called, a line is logged or an event is emitted: state is read into a
// snapshot under it and acted on outside. Each load builds its list
// completely before storing it, and a load that finished later than a newer
// one does not overwrite it. Command queues, the main queue (listeners) and
// the recorder call in concurrently.
class AggregateDeviceManager : public std::enable_shared_from_this<AggregateDeviceManager> {
 public:
  struct DeviceConfig {
    bool isPrivate = false;
    bool autoStart = false;
    bool autoStop = false;
  };

  // Loads the device list, the aggregate list and then the store at
  // `storePath`. Listening starts only with startListening().
  static std::shared_ptr<AggregateDeviceManager> create(
      audiohal::AudioHardware& hal,
      std::string storePath = AggregateDeviceStore::pathFromEnvironment());
  ~AggregateDeviceManager();
  AggregateDeviceManager(const AggregateDeviceManager&) = delete;
  AggregateDeviceManager& operator=(const AggregateDeviceManager&) = delete;

  // --- Store, current and protected device (AggregateDevicePersistence.cpp) ---
  void loadSavedAggregateDevices();
  void saveAggregateDevices();
  // The recording device: it stays current while it is missing from the
  // HAL's list. Not saved, no event.
  void setActiveRecordingDevice(AudioObjectID deviceID);
  void clearActiveRecordingDevice();
  bool isProtectedDevice(AudioObjectID deviceID) const;
  // Makes the device current (not checked, not saved) and announces it.
  void setCurrentDevice(AudioObjectID deviceID);
  AudioObjectID currentAggregateDeviceID() const;
  AudioObjectID protectedDeviceID() const;
  const std::string& storageFilePath() const { return store_.path(); }

  // --- Lists ---
  void loadDeviceList();
  void loadAggregateDeviceList();
  // As stored (no reload), sorted by name.
  std::vector<audiohal::AudioDeviceInfo> getAllDevices() const;
  std::vector<AggregateDeviceInfo> getAllAggregateDevices() const;
  // The first stored aggregate device in name order: the one a recording
  // runs on. nullopt when there is none.
  std::optional<AggregateDeviceInfo> firstAggregateDevice() const;
  // A fresh walk over the HAL's devices; the lists do not change.
  bool checkAggregateDevice();

  // Fresh HAL reads: whether `id` is an aggregate device, whether `uid`
  // names a device.
  bool isAggregateDevice(AudioObjectID id) const;
  bool deviceExists(const std::string& uid) const { return getDeviceIDFromUID(uid).has_value(); }

  // --- Creation and composition; false or 0 on failure, with a log line ---
  // `tapUIDs` go into the creation dictionary itself: on recent macOS a tap
  // added to an aggregate device after its creation can deliver only zeros.
  AudioObjectID createAggregateDevice(const std::vector<std::string>& tapUIDs = {});
  bool configureAggregateDevice(AudioObjectID deviceID, bool isPrivate, bool autoStart);
  bool addDeviceToAggregate(AudioObjectID aggregateID, const std::string& deviceUID);
  bool addTapToAggregate(AudioObjectID aggregateID, const std::string& tapUID);
  bool removeDeviceFromAggregate(AudioObjectID aggregateID, const std::string& deviceUID);
  bool removeTapFromAggregate(AudioObjectID aggregateID, const std::string& tapUID);
  bool destroyAggregateDevice(AudioObjectID deviceID);

  // --- Listening and events ---
  // Watches the HAL's device list and, from the first call on, the default
  // input and output devices; reactions run on the main queue.
  void startListening();
  void stopListening();
  bool isListening() const;
  void emitDeviceList();
  void emitAggregateDeviceList();

  // Composition reads of an aggregate device; failed reads give empty sets
  // and false flags.
  static std::set<std::string> getSubDeviceList(audiohal::AudioHardware& hal, AudioObjectID id);
  static std::set<std::string> getTapList(audiohal::AudioHardware& hal, AudioObjectID id);
  static DeviceConfig getDeviceConfig(audiohal::AudioHardware& hal, AudioObjectID id);

 private:
  AggregateDeviceManager(audiohal::AudioHardware& hal, std::string storePath);

  // Reactions to the HAL's notifications (main queue).
  void deviceListChanged();
  void handleDefaultDeviceChange();

  // Clock sources (AggregateDeviceClockSources.cpp).
  void validateClockSources(const std::vector<AggregateDeviceInfo>& devices);
  void selectClockSource(AudioObjectID aggregateID, const std::vector<std::string>& deviceUIDs);
  void handleDeviceSwitching(const std::set<AudioObjectID>& addedDevices,
                             const std::set<AudioObjectID>& removedDevices);
  void updateAggregateDeviceClockSources();
  void setClockSourceForAggregateDevice(AudioObjectID deviceID, const std::string& clockSourceUID);
  void startListeningForDefaultDeviceChanges();

  // Adds or removes one UID in the sub-device ('grup') or tap ('tap#') list.
  enum class ListChange { kAdd, kRemove };
  bool changeList(audiohal::AudioObjectPropertySelector selector, ListChange change,
                  AudioObjectID aggregateID, const std::string& uid);

  std::optional<AudioObjectID> getDeviceIDFromUID(const std::string& uid) const;
  std::vector<AudioObjectID> readSystemDeviceIDs() const;
  std::set<AudioObjectID> storedDeviceIDs() const;
  std::set<AudioObjectID> storedAggregateIDs() const;
  std::uint64_t takeTicket();

  // Device facts, always read through this manager's HAL.
  audiohal::AudioDeviceInfo deviceInfo(AudioObjectID id) const;
  audiohal::AudioDeviceCapabilities capabilities(AudioObjectID id) const;
  std::optional<audiohal::AudioDeviceInfo> builtInMicrophone() const;
  std::optional<audiohal::AudioDeviceInfo> activeInputDevice() const;
  std::optional<audiohal::AudioDeviceInfo> activeOutputDevice() const;
  std::optional<std::string> bestClockSource(
      const std::vector<audiohal::AudioDeviceInfo>& devices) const;
  audiohal::ClockSourceValidation validateClockSource(AudioObjectID aggregateID) const;

  EventEmitter eventEmitter_;
  audiohal::AudioHardware& hal_;
  const AggregateDeviceStore store_;
  const audiohal::AudioObjectPropertyAddress deviceListAddress_;

  mutable std::mutex mutex_;                           // guards everything below
  std::vector<audiohal::AudioDeviceInfo> devices_;     // non-aggregate, by name
  std::vector<AggregateDeviceInfo> aggregateDevices_;  // by name
  AudioObjectID currentAggregateDeviceID_ = 0;
  AudioObjectID protectedDeviceID_ = 0;
  bool isListening_ = false;
  bool defaultDeviceListenersInstalled_ = false;
  audiohal::AudioObjectPropertyListenerBlock devicePropertyListenerToken_;
  // Every load takes a ticket when it starts; a list is replaced only by a
  // load at least as new as the one that stored it last. Creations and
  // destructions take a ticket too and are replayed onto the result of any
  // load that started before them, since its HAL reads may predate them.
  struct LocalChange {
    std::uint64_t ticket = 0;
    AudioObjectID id = 0;
    std::optional<AggregateDeviceInfo> created;  // nullopt: destroyed
  };
  std::uint64_t lastTicket_ = 0;
  std::uint64_t devicesTicket_ = 0;
  std::uint64_t aggregatesTicket_ = 0;
  std::vector<LocalChange> localChanges_;

  // Serialises writes of the store, snapshot included, so the file always
  // ends up with the newest state. Taken before `mutex_`, never inside it.
  std::mutex saveMutex_;
};

}  // namespace velmar
