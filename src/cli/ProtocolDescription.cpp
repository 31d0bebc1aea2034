#include "cli/ProtocolDescription.h"

#include <string_view>
#include <vector>

#include "aggregate/AggregateDeviceStore.h"
#include "cli/AudioCLI.h"
#include "cli/EventCatalog.h"
#include "commands/ActionTable.h"
#include "protocol/CommandFramer.h"

namespace velmar {

using nlohmann::json;

namespace {

struct Named {
  std::string_view name;
  std::string_view description;
};

// The options of the executable; --help says the same in prose.
const std::vector<Named> kOptions = {
    {"--platform", "the machine to run on: \"coreaudio\", \"sim\" or \"pipewire\" (takes NAME)"},
    {"--check-system-audio",
     "check (and request) the system-audio permission; exit 0 if granted, 1 if not"},
    {"--describe-protocol", "print this description and exit"},
    {"--help", "print the usage text and exit"},
    {"--version", "print the version and build id and exit"},
};

const std::vector<Named> kEnvironment = {
    {"VELMAR_PLATFORM", "the machine to run on when --platform is not given"},
    {"PARENT_PID", "the host's process id, reported in the INIT message"},
    {"VELMAR_SIM_SCENARIO", "JSON file describing the simulated machine to run on"},
    {AggregateDeviceStore::kPathVariable,
     "file that remembers the aggregate devices across restarts"},
};

// Codes any action's failure can carry, and the intake's.
const std::vector<Named> kErrors = {
    {"invalid_encoding", "the command text is not UTF-8"},
    {"json_parse_error", "the command text is not a JSON object"},
    {"invalid_format", "the command text is over the size limit"},
    {"missing_parameter", "`id` or `action` missing, or a required parameter"},
    {"invalid_parameter", "a parameter has a value the action cannot take"},
    {"execution_error", "the action failed, or is not supported"},
    {"resource_not_found", "a device, tap or aggregate device the command names does not exist"},
    {"unauthorized", "reserved: no action answers with it today"},
    {"unexpected_error", "the handler failed in an unforeseen way"},
    {"system_error_<domain>_<code>", "a platform error, its domain's dots as underscores"},
};

json keyList(const std::vector<std::string_view>& keys) {
  json list = json::array();
  for (auto key : keys) list.push_back(key);
  return list;
}

json describe(const ActionParameter& parameter) {
  json out = {{"name", parameter.name},
              {"type", typeName(parameter.type)},
              {"required", parameter.required}};
  if (parameter.minimum) out["minimum"] = *parameter.minimum;
  if (parameter.maximum) out["maximum"] = *parameter.maximum;
  return out;
}

json describe(const ActionRow& row) {
  json parameters = json::array();
  for (const auto& parameter : row.parameters) parameters.push_back(describe(parameter));
  json out = {{"name", row.name},
              {"queue", queueName(row.queue)},
              {"acknowledged", row.acknowledged()},
              {"supported", row.supported()},
              {"parameters", parameters},
              {"data", keyList(row.data)},
              {"optionalData", keyList(row.optionalData)},
              {"errors", keyList(row.errors)},
              {"failsWithoutCode", row.failsWithoutCode}};
  if (!row.aliasOf.empty()) out["aliasOf"] = row.aliasOf;
  return out;
}

json namedList(const std::vector<Named>& entries) {
  json list = json::array();
  for (const auto& entry : entries) {
    list.push_back({{"name", entry.name}, {"description", entry.description}});
  }
  return list;
}

}  // namespace

json describeProtocol() {
  json actions = json::array();
  for (const ActionRow& row : ActionTable::rows()) actions.push_back(describe(row));
  json events = json::array();
  for (const EventSpec& event : EventCatalog::events()) {
    events.push_back({{"name", event.name},
                      {"keys", keyList(event.keys)},
                      {"optionalKeys", keyList(event.optionalKeys)}});
  }
  const json frames = json::array({
      {{"kind", "INIT"},
       {"open", "INIT:>"},
       {"close", "<:INIT"},
       {"keys",
        {"version", "buildID", "microphonePermission", "recordingPermission", "ready",
         "capabilities", "timestamp", "pid", "parentPid", "args"}},
       {"optionalKeys", {"resent"}}},
      {{"kind", "EVENT"},
       {"open", "EVENT:>"},
       {"close", "<:EVENT"},
       {"keys", {"event", "timestamp", "data"}},
       {"optionalKeys", json::array()}},
      {{"kind", "RESPONSE"},
       {"open", "RESPONSE:>"},
       {"close", "<:RESPONSE"},
       {"keys", {"id", "success"}},
       {"optionalKeys", {"isAcknowledgment", "data", "error", "code"}}},
  });
  return {{"service", "velmar-audio-cli"},
          {"version", AudioCLI::kVersion},
          {"commands",
           {{"keys", {"id", "action"}},
            {"separator", "\n"},
            {"maxBytes", CommandFramer::kMaxCommandBytes}}},
          {"frames", frames},
          {"actions", actions},
          {"events", events},
          {"errors", namedList(kErrors)},
          {"options", namedList(kOptions)},
          {"environment", namedList(kEnvironment)},
          {"store",
           {{"defaultPath", AggregateDeviceStore::kDefaultPath},
            {"variable", AggregateDeviceStore::kPathVariable}}}};
}

}  // namespace velmar
