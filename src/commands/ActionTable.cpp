// Every action of the service, one row each.
#include "commands/ActionTable.h"

#include <unordered_map>

#include "commands/CommandProcessor.h"
#include "recording/RecorderManager.h"

namespace velmar {

std::string_view queueName(ActionQueue queue) {
  switch (queue) {
    case ActionQueue::process:
      return "process";
    case ActionQueue::tap:
      return "tap";
    case ActionQueue::device:
      return "device";
    case ActionQueue::microphone:
      return "microphone";
    case ActionQueue::background:
      return "background";
    case ActionQueue::recording:
      return "recording";
  }
  return "background";
}

std::string_view typeName(ActionParameter::Type type) {
  switch (type) {
    case ActionParameter::Type::string:
      return "string";
    case ActionParameter::Type::integer:
      return "integer";
    case ActionParameter::Type::number:
      return "number";
    case ActionParameter::Type::boolean:
      return "boolean";
    case ActionParameter::Type::object:
      return "object";
    case ActionParameter::Type::array:
      return "array";
  }
  return "string";
}

namespace {

ActionParameter required(std::string_view name, ActionParameter::Type type) {
  return {name, type, true, std::nullopt, std::nullopt};
}

ActionParameter optional(std::string_view name, ActionParameter::Type type,
                         std::optional<std::int64_t> minimum = std::nullopt,
                         std::optional<std::int64_t> maximum = std::nullopt) {
  return {name, type, false, minimum, maximum};
}

}  // namespace

const std::vector<ActionRow>& ActionTable::rows() {
  // Never destroyed: dispatch may still run while the process exits.
  static const auto& table = *[] {
    using P = CommandProcessor;
    using R = RecorderManager;
    using Q = ActionQueue;
    using T = ActionParameter::Type;
    using Ack = ActionRow::Acknowledgment;
    using Keys = std::vector<std::string_view>;

    const Keys tap = {"id",   "uid",      "format",  "name",        "processes", "isPrivate",
                      "mute", "muteName", "mixdown", "mixdownName", "exclusive"};
    const Keys tapSometimes = {"device", "streamIndex"};
    const Keys recordingDevice = {"deviceId", "deviceName", "deviceInfo"};
    const Keys streaming = {"format", "sampleRate", "channels"};
    const Keys streamingSometimes = {"timeline", "convert", "chunkMs"};
    const Keys member = {"aggregateID", "message"};
    const Keys systemAudio = {"granted", "permission", "instructions"};
    const auto aggregateID = required("aggregateID", T::integer);
    const auto deviceUID = required("deviceUID", T::string);
    const auto tapUID = required("tapUID", T::string);
    const auto deviceID = required("deviceID", T::integer);
    const auto plus = [](Keys keys, std::initializer_list<std::string_view> more) {
      keys.insert(keys.end(), more);
      return keys;
    };

    return new std::vector<ActionRow>{
        ActionRow("getMicrophoneStatus", Q::microphone)
            .handledBy(&P::handleGetMicrophoneStatus)
            .acknowledgedBy(Ack::byDispatch)
            .answers({"isActive", "deviceName", "deviceID", "level", "peak"}),
        ActionRow("listAudioProcesses", Q::process)
            .handledBy(&P::handleListAudioProcesses)
            .checkedForRaces()
            .acknowledgedBy(Ack::byDispatch)
            .answers({"processes", "count", "runningCount"}),
        ActionRow("getRunningAudioProcesses", Q::process)
            .handledBy(&P::handleGetRunningAudioProcesses)
            .checkedForRaces()
            .acknowledgedBy(Ack::byDispatch)
            .answers({"processes", "count"}),
        ActionRow("findAudioProcessesByName", Q::process)
            .handledBy(&P::handleFindAudioProcessesByName)
            .takes({required("name", T::string)})
            .answers({"processes", "count", "searchTerm"})
            .failsWith({"missing_parameter"}),
        ActionRow("listAudioTaps", Q::tap)
            .handledBy(&P::handleListAudioTaps)
            .acknowledgedBy(Ack::byDispatch)
            .answers({"taps", "count"}),
        ActionRow("createAudioTap", Q::tap)
            .handledBy(&P::handleCreateAudioTap)
            .takes({required("config", T::object)})
            .answers(tap, tapSometimes)
            .failsWith({"missing_parameter", "execution_error"}),
        ActionRow("createAudioTapWithAllProcesses", Q::tap)
            .handledBy(&P::handleCreateAudioTapWithAllProcesses)
            .answers(tap, tapSometimes)
            .failsWith({"execution_error"}),
        ActionRow("createSystemLevelTap", Q::tap)
            .handledBy(&P::handleCreateSystemLevelTap)
            .answers(tap, tapSometimes)
            .failsWith({"execution_error"}),
        ActionRow("destroyAudioTap", Q::tap)
            .handledBy(&P::handleDestroyAudioTap)
            .takes({required("tapID", T::integer)})
            .answers({"tapID"})
            .failsWith({"missing_parameter", "execution_error"}),
        ActionRow("updateAudioTap", Q::tap)
            .handledBy(&P::handleUpdateAudioTap)
            .takes({required("tapID", T::integer), required("config", T::object)})
            .answers(tap, tapSometimes)
            .failsWith({"missing_parameter", "resource_not_found", "execution_error"}),
        ActionRow("getAudioDevices", Q::device)
            .handledBy(&P::handleGetAudioDevices)
            .acknowledgedBy(Ack::byDispatch)
            .answers({"devices", "count"}),
        ActionRow("checkAggregateDevice", Q::device)
            .handledBy(&P::handleCheckAggregateDevice)
            .answers({"hasAggregateDevices"}, {"count", "deviceIDs"}),
        ActionRow("getAggregateDevices", Q::device)
            .handledBy(&P::handleGetAggregateDevices)
            .answers({"devices", "count"}),
        ActionRow("createAggregateDevice", Q::device)
            .handledBy(&P::handleCreateAggregateDevice)
            .takes({optional("tapUIDs", T::array)})
            .answers({"deviceID", "message"})
            .failsWith({"invalid_parameter", "resource_not_found", "execution_error"}),
        ActionRow("configureAggregateDevice", Q::device)
            .handledBy(&P::handleConfigureAggregateDevice)
            .takes({deviceID, optional("isPrivate", T::boolean), optional("autoStart", T::boolean)})
            .answers({"deviceID", "message"})
            .failsWith({"missing_parameter", "execution_error"}),
        ActionRow("addDeviceToAggregate", Q::device)
            .handledBy(&P::handleAddDeviceToAggregate)
            .takes({aggregateID, deviceUID})
            .answers(plus(member, {"deviceUID"}))
            .failsWith({"missing_parameter", "resource_not_found", "execution_error"}),
        ActionRow("addTapToAggregate", Q::tap)
            .handledBy(&P::handleAddTapToAggregate)
            .takes({aggregateID, tapUID})
            .answers(plus(member, {"tapUID"}))
            .failsWith({"missing_parameter", "resource_not_found", "execution_error"}),
        ActionRow("removeDeviceFromAggregate", Q::device)
            .handledBy(&P::handleRemoveDeviceFromAggregate)
            .takes({aggregateID, deviceUID})
            .answers(plus(member, {"deviceUID"}))
            .failsWith({"missing_parameter", "resource_not_found", "execution_error"}),
        ActionRow("removeTapFromAggregate", Q::tap)
            .handledBy(&P::handleRemoveTapFromAggregate)
            .takes({aggregateID, tapUID})
            .answers(plus(member, {"tapUID"}))
            .failsWith({"missing_parameter", "execution_error"}),
        ActionRow("destroyAggregateDevice", Q::device)
            .handledBy(&P::handleDestroyAggregateDevice)
            .takes({deviceID})
            .answers({"deviceID", "message"})
            .failsWith({"missing_parameter", "execution_error"}),
        ActionRow("startRecording", Q::recording)
            .handledBy(&R::startRecording)
            .takes({optional("deviceID", T::integer)})
            .answers({"streamingMode", "deviceId"})
            .failsWith({"resource_not_found"})
            .failsWithoutCodeToo(),
        ActionRow("stopRecording", Q::recording)
            .handledBy(&R::stopRecording)
            .answers({"streamingMode", "duration"})
            .failsWithoutCodeToo(),
        ActionRow("pauseRecording", Q::recording)
            .handledBy(&R::pauseRecording)
            .answers({"isPaused", "isRecording"})
            .failsWithoutCodeToo(),
        ActionRow("resumeRecording", Q::recording)
            .handledBy(&R::resumeRecording)
            .answers({"isPaused", "isRecording"})
            .failsWithoutCodeToo(),
        ActionRow("enableAudioStreaming", Q::recording)
            .handledBy(&R::enableAudioStreaming)
            .takes({required("format", T::string), required("sampleRate", T::integer),
                    optional("channels", T::integer), optional("timeline", T::boolean),
                    optional("convert", T::boolean), optional("chunkMs", T::integer, 10, 5000)})
            .answers(streaming, streamingSometimes)
            .failsWithoutCodeToo(),
        ActionRow("disableAudioStreaming", Q::recording).handledBy(&R::disableAudioStreaming),
        ActionRow("getAudioStreamingStatus", Q::recording)
            .handledBy(&R::getAudioStreamingStatus)
            .answers(plus(streaming, {"enabled", "droppedBuffers"}), streamingSometimes),
        ActionRow("getRecordingStatus", Q::recording)
            .handledBy(&R::getRecordingStatus)
            .answers(plus(recordingDevice, {"isRecording", "isPaused", "duration", "filePath"})),
        ActionRow("handleDeviceSwitch", Q::device)
            .handledBy(&P::handleDeviceSwitch)
            .answers({"message"}),
        ActionRow("enableProcessMonitoring", Q::background)
            .handledBy(&P::handleEnableProcessMonitoring)
            .takes({optional("interval", T::number)})
            .answers({"enabled", "interval", "message"}),
        ActionRow("disableProcessMonitoring", Q::background)
            .handledBy(&P::handleDisableProcessMonitoring)
            .answers({"enabled", "message"}),
        ActionRow("getProcessMonitoringStatus", Q::background)
            .handledBy(&P::handleGetProcessMonitoringStatus)
            .answers({"enabled", "autoUpdateTaps", "interval"}),
        ActionRow("setMonitoringInterval", Q::background)
            .handledBy(&P::handleSetMonitoringInterval)
            .takes({required("interval", T::number)})
            .answers({"interval", "message"})
            .failsWith({"missing_parameter"}),
        ActionRow("enableTapAutoUpdate", Q::tap)
            .handledBy(&P::handleEnableTapAutoUpdate)
            .answers({"enabled", "message"}),
        ActionRow("disableTapAutoUpdate", Q::tap)
            .handledBy(&P::handleDisableTapAutoUpdate)
            .answers({"enabled", "message"}),
        // A partial failure answers `success` false with the same data.
        ActionRow("forceUpdateTaps", Q::tap)
            .handledBy(&P::handleForceUpdateTaps)
            .answers({"success", "message"})
            .failsWithoutCodeToo(),
        ActionRow("cleanupAllTaps", Q::tap)
            .handledBy(&P::handleCleanupAllTaps)
            .answers({"success", "message"})
            .failsWithoutCodeToo(),
        ActionRow("ping", Q::background).handledBy(&P::handlePing).answers({"status", "timestamp"}),
        ActionRow("selfTest", Q::background)
            .handledBy(&P::handleSelfTest)
            .answers({"tapPermission", "coreAudioReady", "processIterationOK", "diskSpaceOK",
                      "memoryOK", "allTestsPassed", "timestamp"}),
        // The permission requests acknowledge themselves and answer when the
        // platform does.
        ActionRow("requestMicrophonePermission", Q::microphone)
            .handledBy(&P::handleRequestMicrophonePermission)
            .acknowledgedBy(Ack::byHandler)
            .answers({"granted", "permission"}),
        ActionRow("checkMicrophonePermission", Q::microphone)
            .handledBy(&P::handleCheckMicrophonePermission)
            .answers({"granted", "permission"}),
        ActionRow("requestScreenCaptureAccess", Q::background)
            .handledBy(&P::handleRequestSystemAudioAccess)
            .acknowledgedBy(Ack::byHandler)
            .aliasing("requestSystemAudioAccess")
            .answers(systemAudio),
        ActionRow("requestSystemAudioAccess", Q::background)
            .handledBy(&P::handleRequestSystemAudioAccess)
            .acknowledgedBy(Ack::byHandler)
            .answers(systemAudio),
        ActionRow("checkScreenCapturePermission", Q::background)
            .handledBy(&P::handleCheckSystemAudioPermission)
            .aliasing("checkSystemAudioPermission")
            .answers(systemAudio),
        ActionRow("checkSystemAudioPermission", Q::background)
            .handledBy(&P::handleCheckSystemAudioPermission)
            .answers(systemAudio),
        ActionRow("getPermissionStatus", Q::background)
            .handledBy(&P::handleGetPermissionStatus)
            .answers({"microphone", "systemAudio", "allGranted"}),
        // Both answer without a code when there is no aggregate device.
        ActionRow("getDeviceCapabilities", Q::device)
            .handledBy(&P::handleGetDeviceCapabilities)
            .answers({"deviceID", "name", "uid", "supportedSampleRates", "transportType",
                      "isBluetooth", "isBuiltIn", "canBeClockSource"})
            .failsWithoutCodeToo(),
        ActionRow("getOptimalAudioConfig", Q::background)
            .handledBy(&P::handleGetOptimalAudioConfig)
            .answers({"sampleRate", "channels", "format", "deviceName", "isBluetooth",
                      "supportedSampleRates", "reasoning"})
            .failsWithoutCodeToo(),
        // Acknowledged, then answered as unsupported: it has no handler by
        // design.
        ActionRow("getRecordings", Q::background)
            .acknowledgedBy(Ack::byDispatch)
            .failsWith({"execution_error"}),
    };
  }();
  return table;
}

const ActionRow* ActionTable::find(std::string_view name) {
  // Never destroyed, as the table it points into.
  static const auto& index = *[] {
    auto* byName = new std::unordered_map<std::string_view, const ActionRow*>();
    for (const ActionRow& row : rows()) byName->emplace(row.name, &row);
    return byName;
  }();
  auto entry = index.find(name);
  return entry == index.end() ? nullptr : entry->second;
}

}  // namespace velmar
