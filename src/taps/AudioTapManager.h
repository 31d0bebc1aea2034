#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audiohal/AudioHardware.h"
#include "protocol/EventEmitter.h"
#include "taps/AudioTapInfo.h"
#include "taps/TapConfig.h"

namespace velmar {

class AudioProcessManager;

// The service's view of the machine's process taps: loads the HAL's tap
// list, creates, rewrites and destroys taps, re-points taps at the current
// process set, and reports changes of the HAL's list that other programs
// make.
//
// Threads: tap commands call it from the tap strand, bulk updates from the
// background pool, the listener reaction from the main queue. `mutex_`
// guards the tap list and the listener registration; it is never held
// while the HAL is called or output is written. A reload stores its result
// only if no reload that began after it has stored one already, so a slow
// reload cannot put back an older list. The listener reaction reports the
// difference to the taps the host was already told of (so a reload by a
// command at the same moment cannot swallow another program's tap), and it
// waits while one of our own creations or destructions is under way (so our
// own taps are reported as created or destroyed, never as added or removed).
//
// Each tap the service makes keeps its intent, so re-pointing it at the
// current processes keeps what it was made for: a tap over every process
// follows the process set, a tap over chosen processes (or an exclusive tap's
// exclusion list) keeps its choice less the processes that are gone. Taps
// another program made, or that were there before the service started, are
// never re-pointed.
class AudioTapManager : public std::enable_shared_from_this<AudioTapManager> {
 public:
  // Builds the manager and loads the tap list.
  static std::shared_ptr<AudioTapManager> create(audiohal::AudioHardware& hal);
  static std::shared_ptr<AudioTapManager> create();
  ~AudioTapManager();
  AudioTapManager(const AudioTapManager&) = delete;
  AudioTapManager& operator=(const AudioTapManager&) = delete;

  void loadTapList();
  std::vector<AudioTapInfo> getAllTaps() const;
  std::optional<AudioTapInfo> getTap(AudioObjectID id) const;
  std::optional<AudioTapInfo> getTapByUID(const std::string& uid) const;

  enum class TapIntent { everyProcess, chosenProcesses };

  // The new tap's ID, 0 when the HAL made none.
  AudioObjectID createTap(const TapConfig& config, TapIntent intent = TapIntent::chosenProcesses);
  // The host chose the tap's processes itself: re-pointing keeps its choice
  // from now on. Only for taps the service made.
  void keepChosenProcesses(AudioObjectID id);
  // Rewrites a tap the service made with its configuration re-pointed at
  // `current` by its intent. False, writing nothing, for any other tap.
  bool reapplyTap(AudioObjectID id, const std::set<AudioObjectID>& current);
  // False, without calling the HAL, for a tap not in the list as last loaded;
  // false, without "audioTapDestroyed", when the HAL refuses to destroy it.
  bool destroyTap(AudioObjectID id);
  // "System Audio Interceptor" over the registry's processes as they stand.
  AudioObjectID createSystemLevelTap(AudioProcessManager& audioProcessManager);
  // "Tap with all processes" over a freshly reloaded registry.
  AudioObjectID createTapWithAllProcesses(AudioProcessManager& audioProcessManager);
  // False only for a tap not in the list as last loaded, never for a HAL
  // error: the event that follows shows what the HAL holds.
  bool updateTap(AudioObjectID id, const TapConfig& config);
  // Keeps every setting of the tap but its process set, which is re-pointed
  // by the tap's intent at the freshly reloaded registry. A tap another
  // program made is left alone (and counts as done).
  bool updateTapWithCurrentProcesses(AudioObjectID tapID, AudioProcessManager& processManager);
  bool updateAllTapsWithCurrentProcesses(AudioProcessManager& processManager);

  void startListening();
  void stopListening();
  void emitTapList();
  // Reaction to the HAL's tap-list notification (main queue).
  void tapListChanged();

  // Class-level reads of one tap; failed reads give "", "0 channels at 0Hz"
  // and the configuration of a default description.
  static std::string getTapUID(AudioObjectID id, audiohal::AudioHardware& hal);
  static std::string getTapFormat(AudioObjectID id, audiohal::AudioHardware& hal);
  static TapConfig getTapConfig(AudioObjectID id, audiohal::AudioHardware& hal);
  // The format text: channels + " channels at " + whole rate + "Hz".
  static std::string formatText(const audiohal::AudioStreamBasicDescription& format);

 private:
  explicit AudioTapManager(audiohal::AudioHardware& hal);
  std::set<AudioObjectID> currentIDs() const;
  std::optional<TapIntent> intentOf(AudioObjectID id) const;
  static TapConfig repointed(TapConfig config, TapIntent intent,
                             const std::set<AudioObjectID>& current);
  // Brackets our own HAL creations and destructions of taps; the ID (0 for
  // none) is what the host now knows to exist or not.
  void beginOwnListChange();
  void endOwnListChange(AudioObjectID tapID, bool created);
  void postTapListChanged();

  EventEmitter eventEmitter_;
  audiohal::AudioHardware& hal_;

  mutable std::mutex mutex_;
  std::vector<AudioTapInfo> taps_;  // sorted by config.name
  std::uint64_t loadsStarted_ = 0;
  std::uint64_t storedLoad_ = 0;
  // The taps the host knows of: as loaded at construction, then changed by
  // our own creations and destructions and by each listener reaction.
  std::set<AudioObjectID> announced_;
  // The taps this service made, with what re-pointing keeps of them.
  std::map<AudioObjectID, TapIntent> intents_;
  int ownChangesInFlight_ = 0;
  std::uint64_t ownChangeEpoch_ = 0;  // counts beginnings and ends of our own changes
  bool reactionDeferred_ = false;     // a reaction waits for them to finish
  bool isListening_ = false;
  audiohal::AudioObjectPropertyListenerBlock propertyListenerToken_;

  const audiohal::AudioObjectPropertyAddress tapListAddress_;
};

}  // namespace velmar
