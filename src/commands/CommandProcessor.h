#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "aggregate/AggregateDeviceManager.h"
#include "commands/ActionTable.h"
#include "commands/CommandDispatcher.h"
#include "commands/CommandTimestampLog.h"
#include "microphone/MicrophoneDetector.h"
#include "permissions/PermissionsManager.h"
#include "protocol/EventEmitter.h"
#include "recording/RecorderManager.h"
#include "runtime/InFlightLimit.h"
#include "runtime/Queues.h"
#include "taps/AudioProcessChanges.h"
#include "taps/AudioProcessManager.h"
#include "taps/AudioTapManager.h"
#include "taps/TapAggregateTarget.h"
#include "taps/TapUpdateQueue.h"

namespace velmar {

class CommandError;

// The hub between the host and the managers: validates each command text
// (intake), routes it to the queue its row of the action table names (by the
// name rules for an action without a row), and runs it there through that
// row (dispatch). Handlers live in the handler files of this folder, one file
// per family of commands; the recording ones are the recorder manager's.
class CommandProcessor : public std::enable_shared_from_this<CommandProcessor>,
                         public AudioProcessMonitorDelegate {
 public:
  // The name rules never give `recording`: only a row of the table does.
  using Category = ActionQueue;

  // Builds the processor and starts its background work (listeners,
  // monitoring, initial events), which needs a shared owner to exist.
  static std::shared_ptr<CommandProcessor> create();

  CommandProcessor(const CommandProcessor&) = delete;
  CommandProcessor& operator=(const CommandProcessor&) = delete;

  // Commands read and not yet answered, at most: past it receiveCommand()
  // waits, so the reader stops reading and the host is held up by its own
  // pipe instead of the service queueing without bound.
  static constexpr std::size_t kMaxCommandsInFlight = 1024;

  // Hands one command text from the reader to intake, off the caller's
  // thread. Texts are taken in the order received. Waits while
  // kMaxCommandsInFlight commands are in flight.
  void receiveCommand(std::string text);
  // The same for a command text the reader could not take whole (over the
  // size limit): `head` is its beginning, used to find the id.
  void receiveOversizedCommand(std::string head, std::size_t limit);
  // Intake of one command text; never fails to its caller. Any thread. The
  // slot, when given, is held until the command has been answered.
  void processCommand(std::string_view text, runtime::InFlightLimit::Slot slot = {});
  // Answers a command text the reader could not take whole.
  void rejectOversizedCommand(std::string_view head, std::size_t limit);

  // For a handler that answers later (from a completion): the slot of the
  // command it is running, to keep in that completion so the command counts
  // as in flight until then. Empty outside dispatch.
  static runtime::InFlightLimit::Slot currentCommandSlot();
  std::size_t commandsInFlight() const { return inFlight_.inFlight(); }

  static std::optional<std::string> extractIDFromCommand(std::string_view text);
  // The queue by the name rules alone.
  static Category categoryFor(std::string_view action);

  // Dispatch; runs on the caller's queue and completes synchronously.
  void executeCommand(const std::string& id, const std::string& action,
                      const nlohmann::json& parameters);

  void emitInitialEvents();

  // The process monitor's report (main thread).
  void processMonitorDidDetectChanges(const AudioProcessChanges& changes) override;
  // The registry's list change (main thread): taps follow at once.
  void processListDidChange(const std::vector<AudioObjectID>& added,
                            const std::vector<AudioObjectID>& removed) override;

  AudioProcessManager& audioProcessManager() { return *audioProcessManager_; }
  AudioTapManager& audioTapManager() { return *audioTapManager_; }

  // Where the all-process tap goes once made (the aggregate devices). Set it
  // before commands arrive; without one no aggregate device is joined.
  void setTapAggregateTarget(std::shared_ptr<TapAggregateTarget> target);

  const std::shared_ptr<AggregateDeviceManager>& aggregateDeviceManager() const {
    return aggregateDeviceManager_;
  }

  // Where the command of `action` runs: its row's queue, else the queue of
  // the name rules.
  static Category queueOf(std::string_view action);

 private:
  // Binds the handlers below by name.
  friend class ActionTable;

  CommandProcessor();
  void start();

  void reject(const std::string& commandID, const CommandError& error);
  void checkForRaceCondition(const std::string& action, const std::string& id,
                             CommandTimestampLog::TimePoint receipt);
  runtime::SerialQueue* queueFor(Category category);

  void setupProcessMonitoring();

  // Health commands (HealthCommands.cpp).
  void handlePing(const std::string& id, const nlohmann::json& parameters);
  void handleSelfTest(const std::string& id, const nlohmann::json& parameters);
  bool checkTapPermissions();
  bool checkCoreAudioAccess();
  bool checkProcessIteration();
  bool checkAvailableDiskSpace();
  bool checkAvailableMemory();

  // Process commands (ProcessCommands.cpp).
  void handleListAudioProcesses(const std::string& id, const nlohmann::json& parameters);
  void handleGetRunningAudioProcesses(const std::string& id, const nlohmann::json& parameters);
  void handleFindAudioProcessesByName(const std::string& id, const nlohmann::json& parameters);
  void handleEnableProcessMonitoring(const std::string& id, const nlohmann::json& parameters);
  void handleDisableProcessMonitoring(const std::string& id, const nlohmann::json& parameters);
  void handleGetProcessMonitoringStatus(const std::string& id, const nlohmann::json& parameters);
  void handleSetMonitoringInterval(const std::string& id, const nlohmann::json& parameters);

  // Tap commands (TapCommands.cpp).
  void handleListAudioTaps(const std::string& id, const nlohmann::json& parameters);
  void handleCreateAudioTap(const std::string& id, const nlohmann::json& parameters);
  void handleCreateAudioTapWithAllProcesses(const std::string& id,
                                            const nlohmann::json& parameters);
  void handleCreateSystemLevelTap(const std::string& id, const nlohmann::json& parameters);
  void handleDestroyAudioTap(const std::string& id, const nlohmann::json& parameters);
  void handleUpdateAudioTap(const std::string& id, const nlohmann::json& parameters);
  void handleEnableTapAutoUpdate(const std::string& id, const nlohmann::json& parameters);
  void handleDisableTapAutoUpdate(const std::string& id, const nlohmann::json& parameters);
  void handleForceUpdateTaps(const std::string& id, const nlohmann::json& parameters);
  void handleCleanupAllTaps(const std::string& id, const nlohmann::json& parameters);
  bool cleanupExistingTaps();
  void createFreshTap(const std::string& id);
  void addTapToFirstAggregateDevice(const AudioTapInfo& tap);
  void autoUpdateTaps();
  std::shared_ptr<TapUpdateQueue> makeTapUpdateQueue();

  // Microphone command (MicrophoneCommands.cpp).
  void handleGetMicrophoneStatus(const std::string& id, const nlohmann::json& parameters);

  // Permission commands (PermissionCommands.cpp).
  void handleRequestMicrophonePermission(const std::string& id, const nlohmann::json& parameters);
  void handleCheckMicrophonePermission(const std::string& id, const nlohmann::json& parameters);
  void handleRequestSystemAudioAccess(const std::string& id, const nlohmann::json& parameters);
  void handleCheckSystemAudioPermission(const std::string& id, const nlohmann::json& parameters);
  void handleGetPermissionStatus(const std::string& id, const nlohmann::json& parameters);

  // Device and aggregate commands (DeviceCommands.cpp).
  void handleGetAudioDevices(const std::string& id, const nlohmann::json& parameters);
  void handleCheckAggregateDevice(const std::string& id, const nlohmann::json& parameters);
  void handleGetAggregateDevices(const std::string& id, const nlohmann::json& parameters);
  void handleCreateAggregateDevice(const std::string& id, const nlohmann::json& parameters);
  void handleConfigureAggregateDevice(const std::string& id, const nlohmann::json& parameters);
  void handleAddDeviceToAggregate(const std::string& id, const nlohmann::json& parameters);
  void handleAddTapToAggregate(const std::string& id, const nlohmann::json& parameters);
  void handleRemoveDeviceFromAggregate(const std::string& id, const nlohmann::json& parameters);
  void handleRemoveTapFromAggregate(const std::string& id, const nlohmann::json& parameters);
  void handleDestroyAggregateDevice(const std::string& id, const nlohmann::json& parameters);
  void handleDeviceSwitch(const std::string& id, const nlohmann::json& parameters);
  void handleGetDeviceCapabilities(const std::string& id, const nlohmann::json& parameters);
  void handleGetOptimalAudioConfig(const std::string& id, const nlohmann::json& parameters);
  // Fails with resourceNotFound when `uid` names no device (no tap) that
  // could join or leave the aggregate device `aggregateID`.
  void requireCompositionMember(AudioObjectID aggregateID, const std::string& uid, bool isTap,
                                bool removing);
  // The first aggregate device's capabilities; answers the failure itself.
  std::optional<audiohal::AudioDeviceCapabilities> firstAggregateCapabilities(
      const std::string& id);

  EventEmitter eventEmitter_;
  CommandDispatcher dispatcher_{eventEmitter_};
  MicrophoneDetector microphoneDetector_;
  std::shared_ptr<AudioProcessManager> audioProcessManager_ = AudioProcessManager::create();
  std::shared_ptr<AudioTapManager> audioTapManager_ = AudioTapManager::create();
  std::shared_ptr<TapAggregateTarget> tapAggregateTarget_;
  // Forced and automatic tap updates, one run at a time; made in start().
  std::shared_ptr<TapUpdateQueue> tapUpdates_;
  std::shared_ptr<AggregateDeviceManager> aggregateDeviceManager_;
  std::shared_ptr<RecorderManager> recorderManager_;
  PermissionsManager permissionsManager_;

  runtime::SerialQueue processCommandQueue_ = runtime::makeSerialQueue();
  runtime::SerialQueue tapCommandQueue_ = runtime::makeSerialQueue();
  runtime::SerialQueue deviceCommandQueue_ = runtime::makeSerialQueue();
  runtime::SerialQueue micCommandQueue_ = runtime::makeSerialQueue();
  // Intake is serial so commands of one category keep the host's order.
  runtime::SerialQueue intakeQueue_ = runtime::makeSerialQueue();
  // Commands read and not yet answered; after a burst is answered the heap's
  // free pages go back to the system.
  runtime::InFlightLimit inFlight_{kMaxCommandsInFlight, &afterBurst};
  static void afterBurst(std::size_t peak);

  // The process monitor's switch and interval belong to the registry.
  std::atomic<bool> autoUpdateTapsEnabled_{true};

  // Touched only on commandTimestampsQueue_.
  CommandTimestampLog commandTimestamps_;
  runtime::SerialQueue commandTimestampsQueue_ = runtime::makeSerialQueue();
};

}  // namespace velmar
