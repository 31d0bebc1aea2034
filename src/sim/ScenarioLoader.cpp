#include "sim/ScenarioLoader.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim/ScenarioError.h"
#include "sim/SimulatedSystemServices.h"

namespace velmar::sim {

using audiohal::CATapDescription;
using audiohal::CATapMuteBehavior;
using audiohal::UInt32;
using nlohmann::json;

namespace {

// Walks the document, keeping the JSON path of the value at hand so that
// every complaint says where it is.
class Reader {
 public:
  Reader(const json& value, std::string path, const std::string& source)
      : value_(value), path_(std::move(path)), source_(source) {}

  [[noreturn]] void fail(const std::string& problem) const {
    throw ScenarioError("Invalid scenario file " + source_ + ": at " +
                        (path_.empty() ? std::string("/") : path_) + ": " + problem);
  }

  const json& value() const { return value_; }

  Reader at(const std::string& key) const {
    if (!value_.contains(key)) fail("missing required key \"" + key + "\"");
    return Reader(value_.at(key), path_ + "/" + key, source_);
  }
  bool has(const std::string& key) const { return value_.contains(key); }
  Reader at(size_t index) const {
    return Reader(value_.at(index), path_ + "/" + std::to_string(index), source_);
  }

  void expectObject(std::initializer_list<const char*> allowed) const {
    if (!value_.is_object()) fail("expected an object");
    std::set<std::string> keys(allowed.begin(), allowed.end());
    for (const auto& [key, unused] : value_.items()) {
      if (!keys.count(key)) fail("unknown key \"" + key + "\"");
    }
  }
  size_t arraySize() const {
    if (!value_.is_array()) fail("expected an array");
    return value_.size();
  }
  std::string string() const {
    if (!value_.is_string()) fail("expected a string");
    return value_.get<std::string>();
  }
  bool boolean() const {
    if (!value_.is_boolean()) fail("expected true or false");
    return value_.get<bool>();
  }
  double number() const {
    if (!value_.is_number()) fail("expected a number");
    return value_.get<double>();
  }
  double positiveNumber() const {
    double n = number();
    if (n <= 0) fail("expected a number above 0");
    return n;
  }
  std::int32_t pid() const {
    if (!value_.is_number_integer() || value_.get<std::int64_t>() <= 0 ||
        value_.get<std::int64_t>() > INT32_MAX) {
      fail("expected a positive integer process ID");
    }
    return value_.get<std::int32_t>();
  }
  UInt32 channels() const {
    // Signed or unsigned: documents built in code hold signed integers.
    if (!value_.is_number_integer() || value_.get<std::int64_t>() <= 0 ||
        value_.get<std::int64_t>() > 64) {
      fail("expected a channel count from 1 to 64");
    }
    return value_.get<UInt32>();
  }

 private:
  const json& value_;
  std::string path_;
  const std::string& source_;
};

UInt32 transportCode(const Reader& reader) {
  if (reader.value().is_number_unsigned()) return reader.value().get<UInt32>();
  auto code = audiohal::fourCharCodeFromString(reader.string());
  if (!code) reader.fail("a transport is four characters such as \"usb \" or a number");
  return *code;
}

std::vector<UInt32> channelList(const Reader& reader) {
  std::vector<UInt32> channels;
  for (size_t i = 0; i < reader.arraySize(); ++i) channels.push_back(reader.at(i).channels());
  return channels;
}

SimulatedDeviceConfig parseDevice(const Reader& reader) {
  reader.expectObject({"uid", "name", "transport", "inputChannels", "outputChannels", "sampleRates",
                       "nominalSampleRate", "clockSource", "tone", "amplitude", "waveform", "alive",
                       "inUse"});
  SimulatedDeviceConfig device;
  device.uid = reader.at("uid").string();
  if (device.uid.empty()) reader.at("uid").fail("a device UID cannot be empty");
  device.name = reader.at("name").string();
  if (reader.has("transport")) device.transport = transportCode(reader.at("transport"));
  if (reader.has("inputChannels")) device.inputStreams = channelList(reader.at("inputChannels"));
  if (reader.has("outputChannels")) {
    device.outputStreams = channelList(reader.at("outputChannels"));
  }
  if (reader.has("sampleRates")) {
    Reader rates = reader.at("sampleRates");
    device.sampleRateRanges.clear();
    for (size_t i = 0; i < rates.arraySize(); ++i) {
      Reader entry = rates.at(i);
      if (entry.value().is_array()) {
        if (entry.arraySize() != 2) entry.fail("a rate range is [minimum, maximum]");
        double low = entry.at(0).positiveNumber();
        double high = entry.at(1).positiveNumber();
        if (low > high) entry.fail("the minimum of a rate range is above its maximum");
        device.sampleRateRanges.push_back({low, high});
      } else {
        double rate = entry.positiveNumber();
        device.sampleRateRanges.push_back({rate, rate});
      }
    }
    if (device.sampleRateRanges.empty()) rates.fail("a device needs at least one sample rate");
  }
  device.nominalSampleRate = device.sampleRateRanges.back().mMaximum;
  if (supportsRate(device.sampleRateRanges, 48000)) device.nominalSampleRate = 48000;
  if (reader.has("nominalSampleRate")) {
    Reader nominal = reader.at("nominalSampleRate");
    device.nominalSampleRate = nominal.positiveNumber();
    if (!supportsRate(device.sampleRateRanges, device.nominalSampleRate)) {
      nominal.fail("the nominal rate is not among the device's sample rates");
    }
  }
  if (reader.has("clockSource")) {
    Reader clock = reader.at("clockSource");
    std::string kind = clock.string();
    if (kind == "settable") {
      device.clockSource = ClockSourceProperty::kSettable;
    } else if (kind == "readOnly") {
      device.clockSource = ClockSourceProperty::kReadOnly;
    } else if (kind == "none") {
      device.clockSource = ClockSourceProperty::kAbsent;
    } else {
      clock.fail("expected \"settable\", \"readOnly\" or \"none\"");
    }
  }
  if (reader.has("tone")) device.toneFrequency = reader.at("tone").positiveNumber();
  if (reader.has("amplitude")) {
    // 0: a muted input, running and delivering digital silence.
    const double amplitude = reader.at("amplitude").number();
    if (amplitude < 0) reader.at("amplitude").fail("expected a number of 0 or more");
    device.toneAmplitude = static_cast<float>(amplitude);
  }
  if (reader.has("waveform")) {
    Reader waveform = reader.at("waveform");
    const std::string text = waveform.string();
    if (text == "sine") {
      device.waveform = Waveform::kSine;
    } else if (text == "square") {
      device.waveform = Waveform::kSquare;
    } else {
      waveform.fail("expected \"sine\" or \"square\"");
    }
  }
  if (reader.has("alive")) device.alive = reader.at("alive").boolean();
  if (reader.has("inUse")) device.inUseElsewhere = reader.at("inUse").boolean();
  return device;
}

std::vector<std::string> uidList(const Reader& reader) {
  std::vector<std::string> uids;
  for (size_t i = 0; i < reader.arraySize(); ++i) uids.push_back(reader.at(i).string());
  return uids;
}

SimulatedAggregateConfig parseAggregate(const Reader& reader) {
  reader.expectObject({"uid", "name", "subdevices", "taps", "private", "master", "clock"});
  SimulatedAggregateConfig aggregate;
  aggregate.uid = reader.at("uid").string();
  if (aggregate.uid.empty()) reader.at("uid").fail("a device UID cannot be empty");
  aggregate.name = reader.at("name").string();
  if (reader.has("subdevices")) aggregate.subDevices = uidList(reader.at("subdevices"));
  if (reader.has("taps")) aggregate.taps = uidList(reader.at("taps"));
  if (reader.has("private")) aggregate.isPrivate = reader.at("private").boolean();
  if (reader.has("master")) aggregate.mainSubDevice = reader.at("master").string();
  // Any text: a clock may name a device that is gone.
  if (reader.has("clock")) aggregate.clockDevice = reader.at("clock").string();
  return aggregate;
}

SimulatedProcessConfig parseProcess(const Reader& reader) {
  reader.expectObject(
      {"pid", "name", "command", "bundleID", "running", "tone", "amplitude", "outputDevice"});
  SimulatedProcessConfig process;
  process.pid = reader.at("pid").pid();
  // A null name is a process the workspace does not list.
  if (!reader.at("name").value().is_null()) process.name = reader.at("name").string();
  if (reader.has("command")) process.commandName = reader.at("command").string();
  if (reader.has("bundleID")) process.bundleID = reader.at("bundleID").string();
  if (reader.has("running")) process.running = reader.at("running").boolean();
  if (reader.has("tone")) process.toneFrequency = reader.at("tone").positiveNumber();
  if (reader.has("amplitude")) {
    const double amplitude = reader.at("amplitude").number();
    if (amplitude < 0) reader.at("amplitude").fail("expected a number of 0 or more");
    process.amplitude = static_cast<float>(amplitude);
  }
  if (reader.has("outputDevice")) process.outputDeviceUID = reader.at("outputDevice").string();
  return process;
}

FailureRule parseFailure(const Reader& reader) {
  reader.expectObject({"operation", "selector", "status", "times"});
  static const std::map<std::string, HalOperation> kOperations = {
      {"getPropertyDataSize", HalOperation::kGetPropertyDataSize},
      {"getPropertyData", HalOperation::kGetPropertyData},
      {"setPropertyData", HalOperation::kSetPropertyData},
      {"hasProperty", HalOperation::kHasProperty},
      {"isPropertySettable", HalOperation::kIsPropertySettable},
      {"addPropertyListener", HalOperation::kAddPropertyListener},
      {"removePropertyListener", HalOperation::kRemovePropertyListener},
      {"createProcessTap", HalOperation::kCreateProcessTap},
      {"destroyProcessTap", HalOperation::kDestroyProcessTap},
      {"createAggregateDevice", HalOperation::kCreateAggregateDevice},
      {"destroyAggregateDevice", HalOperation::kDestroyAggregateDevice},
      {"createIOProcID", HalOperation::kCreateIOProcID},
      {"destroyIOProcID", HalOperation::kDestroyIOProcID},
      {"deviceStart", HalOperation::kDeviceStart},
      {"deviceStop", HalOperation::kDeviceStop},
  };
  FailureRule rule;
  const Reader operation = reader.at("operation");
  auto found = kOperations.find(operation.string());
  if (found == kOperations.end()) {
    operation.fail("unknown HAL operation \"" + operation.string() + "\"");
  }
  rule.operation = found->second;
  if (reader.has("selector")) {
    const Reader selector = reader.at("selector");
    auto code = audiohal::fourCharCodeFromString(selector.string());
    if (!code) selector.fail("a selector is four characters such as \"tdsc\"");
    rule.selector = *code;
  }
  if (reader.has("status")) {
    // A number (0 is "no error", which makes a creation hand out nothing)
    // or a four-character code such as "nope".
    const Reader status = reader.at("status");
    const json& value = status.value();
    if (value.is_number_integer() && value.get<std::int64_t>() >= INT32_MIN &&
        value.get<std::int64_t>() <= INT32_MAX) {
      rule.status = value.get<OSStatus>();
    } else if (value.is_string() && audiohal::fourCharCodeFromString(value.get<std::string>())) {
      rule.status =
          static_cast<OSStatus>(*audiohal::fourCharCodeFromString(value.get<std::string>()));
    } else {
      status.fail("expected a 32-bit status number or four characters such as \"nope\"");
    }
  }
  if (reader.has("times")) {
    const Reader times = reader.at("times");
    if (!times.value().is_number_integer() || times.value().get<std::int64_t>() <= 0 ||
        times.value().get<std::int64_t>() > INT32_MAX) {
      times.fail("expected a positive number of calls");
    }
    rule.times = times.value().get<int>();
  }
  return rule;
}

AuthorizationStatus parseAuthorization(const Reader& reader) {
  const std::string text = reader.string();
  if (text == "notDetermined") return AuthorizationStatus::kNotDetermined;
  if (text == "restricted") return AuthorizationStatus::kRestricted;
  if (text == "denied") return AuthorizationStatus::kDenied;
  if (text == "authorized") return AuthorizationStatus::kAuthorized;
  reader.fail("expected \"notDetermined\", \"restricted\", \"denied\" or \"authorized\"");
}

// {"answer": "granted" | "denied" | "never", "after": seconds}
AuthorizationRequestAnswer parseRequestAnswer(const Reader& reader) {
  using Kind = AuthorizationRequestAnswer::Kind;
  AuthorizationRequestAnswer answer;
  const Reader kind = reader.at("answer");
  const std::string text = kind.string();
  if (text == "granted") {
    answer.kind = Kind::kGrant;
  } else if (text == "denied") {
    answer.kind = Kind::kDeny;
  } else if (text == "never") {
    answer.kind = Kind::kNever;
  } else {
    kind.fail("expected \"granted\", \"denied\" or \"never\"");
  }
  if (reader.has("after")) {
    answer.delaySeconds = reader.at("after").number();
    if (answer.delaySeconds < 0) reader.at("after").fail("a delay cannot be negative");
  }
  return answer;
}

ScenarioEvent parseEvent(const Reader& reader) {
  if (!reader.value().is_object()) reader.fail("expected an object");
  ScenarioEvent event;
  event.at = reader.at("at").number();
  if (event.at < 0) reader.at("at").fail("an event time cannot be negative");
  const Reader kind = reader.at("event");
  const std::string name = kind.string();
  event.description = name;

  if (name == "addProcess") {
    reader.expectObject({"at", "event", "process"});
    auto process = parseProcess(reader.at("process"));
    event.description += " pid " + std::to_string(process.pid);
    event.apply = [process](auto& hal, auto&) { hal.addProcess(process); };
  } else if (name == "removeProcess" || name == "startAudio" || name == "stopAudio") {
    reader.expectObject({"at", "event", "pid"});
    std::int32_t pid = reader.at("pid").pid();
    event.description += " pid " + std::to_string(pid);
    if (name == "removeProcess") {
      event.apply = [pid](auto& hal, auto&) { hal.removeProcess(pid); };
    } else {
      bool running = name == "startAudio";
      event.apply = [pid, running](auto& hal, auto&) { hal.setProcessRunning(pid, running); };
    }
  } else if (name == "addDevice") {
    reader.expectObject({"at", "event", "device"});
    auto device = parseDevice(reader.at("device"));
    event.description += " " + device.uid;
    event.apply = [device](auto& hal, auto&) { hal.addDevice(device); };
  } else if (name == "removeDevice" || name == "killDevice" || name == "setDefaultInput" ||
             name == "setDefaultOutput") {
    reader.expectObject({"at", "event", "uid"});
    std::string uid = reader.at("uid").string();
    event.description += " " + uid;
    if (name == "removeDevice") {
      event.apply = [uid](auto& hal, auto&) { hal.removeDevice(uid); };
    } else if (name == "killDevice") {
      event.apply = [uid](auto& hal, auto&) { hal.killDevice(uid); };
    } else if (name == "setDefaultInput") {
      event.apply = [uid](auto& hal, auto&) { hal.setDefaultInputDevice(uid); };
    } else {
      event.apply = [uid](auto& hal, auto&) { hal.setDefaultOutputDevice(uid); };
    }
  } else if (name == "addAggregateDevice") {
    reader.expectObject({"at", "event", "device"});
    auto aggregate = parseAggregate(reader.at("device"));
    event.description += " " + aggregate.uid;
    event.apply = [aggregate](auto& hal, auto&) { hal.addAggregateDevice(aggregate); };
  } else if (name == "failClockWrites") {
    reader.expectObject({"at", "event", "uid", "times"});
    std::optional<std::string> uid;
    if (reader.has("uid")) uid = reader.at("uid").string();
    std::optional<int> times;
    if (reader.has("times")) {
      Reader count = reader.at("times");
      if (!count.value().is_number_integer() || count.value().get<std::int64_t>() < 1 ||
          count.value().get<std::int64_t>() > 1000000) {
        count.fail("expected a count from 1 to 1000000");
      }
      times = count.value().get<int>();
    }
    event.description += " " + uid.value_or("(every aggregate device)");
    // The UID is looked up when the event happens: the device may come later.
    event.apply = [uid, times](auto& hal, auto&) {
      std::optional<AudioObjectID> object;
      if (uid) object = hal.deviceID(*uid);
      if (object && *object == 0) return;
      hal.injectFailure(FailureRule::when(
          HalOperation::kSetPropertyData, audiohal::kAudioAggregateDevicePropertyClockDevice,
          object, audiohal::kAudioHardwareIllegalOperationError, times));
    };
  } else if (name == "microphoneInUse") {
    reader.expectObject({"at", "event", "uid", "inUse"});
    std::string uid = reader.at("uid").string();
    bool inUse = reader.at("inUse").boolean();
    event.description += " " + uid + (inUse ? " on" : " off");
    event.apply = [uid, inUse](auto& hal, auto&) { hal.setDeviceInUseElsewhere(uid, inUse); };
  } else if (name == "createTap") {
    reader.expectObject(
        {"at", "event", "name", "uid", "pids", "private", "exclusive", "mute", "mixdown"});
    CATapDescription tap;
    tap.name = reader.has("name") ? reader.at("name").string() : std::string("Tap");
    if (reader.has("uid")) tap.uuid = reader.at("uid").string();
    std::vector<std::int32_t> pids;
    if (reader.has("pids")) {
      Reader list = reader.at("pids");
      for (size_t i = 0; i < list.arraySize(); ++i) pids.push_back(list.at(i).pid());
    }
    if (reader.has("private")) tap.isPrivate = reader.at("private").boolean();
    if (reader.has("exclusive")) tap.isExclusive = reader.at("exclusive").boolean();
    if (reader.has("mute")) {
      Reader mute = reader.at("mute");
      std::string text = mute.string();
      if (text == "unmuted") {
        tap.muteBehavior = CATapMuteBehavior::kUnmuted;
      } else if (text == "muted") {
        tap.muteBehavior = CATapMuteBehavior::kMuted;
      } else if (text == "mutedWhenTapped") {
        tap.muteBehavior = CATapMuteBehavior::kMutedWhenTapped;
      } else {
        mute.fail("expected \"unmuted\", \"muted\" or \"mutedWhenTapped\"");
      }
    }
    if (reader.has("mixdown")) {
      Reader mixdown = reader.at("mixdown");
      std::string text = mixdown.string();
      if (text == "mono" || text == "stereo") {
        tap.isMixdown = true;
        tap.isMono = text == "mono";
      } else if (text != "deviceFormat") {
        mixdown.fail("expected \"mono\", \"stereo\" or \"deviceFormat\"");
      }
    }
    event.description += " \"" + tap.name + "\"";
    // PIDs become process objects when the event happens, not before.
    event.apply = [tap, pids](auto& hal, auto&) {
      CATapDescription description = tap;
      for (std::int32_t pid : pids) {
        if (auto id = hal.processObjectID(pid)) description.processes.push_back(id);
      }
      hal.createForeignTap(description);
    };
  } else if (name == "destroyTap") {
    reader.expectObject({"at", "event", "uid"});
    std::string uid = reader.at("uid").string();
    event.description += " " + uid;
    event.apply = [uid](auto& hal, auto&) { hal.destroyTapByUID(uid); };
  } else if (name == "setAuthorization") {
    reader.expectObject({"at", "event", "status"});
    AuthorizationStatus status = parseAuthorization(reader.at("status"));
    event.description += " " + reader.at("status").string();
    event.apply = [status](auto&, auto& system) { system.setAuthorizationStatus(status); };
  } else if (name == "setSystemAudioAuthorization") {
    reader.expectObject({"at", "event", "status"});
    AuthorizationStatus status = parseAuthorization(reader.at("status"));
    event.description += " " + reader.at("status").string();
    event.apply = [status](auto&, auto& system) {
      system.setSystemAudioAuthorizationStatus(status);
    };
  } else if (name == "setAuthorizationRequest") {
    reader.expectObject({"at", "event", "answer", "after"});
    AuthorizationRequestAnswer answer = parseRequestAnswer(reader);
    event.description += " " + reader.at("answer").string();
    event.apply = [answer](auto&, auto& system) { system.setRequestAnswer(answer); };
  } else {
    kind.fail("unknown event \"" + name +
              "\" (expected addProcess, removeProcess, startAudio, stopAudio, addDevice, "
              "removeDevice, killDevice, setDefaultInput, setDefaultOutput, microphoneInUse, "
              "createTap, destroyTap, addAggregateDevice, failClockWrites, setAuthorization, "
              "setSystemAudioAuthorization or setAuthorizationRequest)");
  }
  return event;
}

}  // namespace

MachineScenario ScenarioLoader::loadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    throw ScenarioError("Cannot read scenario file " + path + ": the file cannot be opened");
  std::stringstream content;
  content << file.rdbuf();
  const std::string text = content.str();
  json document;
  try {
    document = json::parse(text);
  } catch (const json::parse_error& error) {
    // Turn the byte offset into a line and column.
    size_t offset = std::min(error.byte > 0 ? error.byte - 1 : 0, text.size());
    size_t line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n');
    size_t lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    size_t column = lineStart == std::string::npos ? offset + 1 : offset - lineStart;
    std::string problem = error.what();
    if (auto pos = problem.find("syntax error"); pos != std::string::npos) {
      problem = problem.substr(pos);
    }
    throw ScenarioError("Invalid scenario file " + path + ": line " + std::to_string(line) +
                        ", column " + std::to_string(column) + ": " + problem);
  }
  return fromJson(document, path);
}

MachineScenario ScenarioLoader::fromJson(const json& document, const std::string& source) {
  Reader root(document, "", source);
  root.expectObject({"base", "devices", "aggregateDevices", "processes", "defaultInput",
                     "defaultOutput", "authorization", "systemAudioAuthorization",
                     "authorizationRequestGrants", "authorizationRequest", "applicationLookupDelay",
                     "timeline", "failures"});
  MachineScenario machine;
  if (root.has("base")) {
    Reader base = root.at("base");
    if (base.string() != "default") base.fail("the only base is \"default\"");
    machine = MachineScenario::defaultMachine();
  }
  machine.source = source;

  std::set<std::string> uids;
  for (const auto& device : machine.devices) uids.insert(device.uid);
  if (root.has("devices")) {
    Reader devices = root.at("devices");
    for (size_t i = 0; i < devices.arraySize(); ++i) {
      auto device = parseDevice(devices.at(i));
      if (!uids.insert(device.uid).second) {
        devices.at(i).at("uid").fail("duplicate device UID \"" + device.uid + "\"");
      }
      machine.devices.push_back(device);
    }
  }
  if (root.has("aggregateDevices")) {
    Reader aggregates = root.at("aggregateDevices");
    std::set<std::string> aggregateUIDs;
    for (size_t i = 0; i < aggregates.arraySize(); ++i) {
      Reader entry = aggregates.at(i);
      auto aggregate = parseAggregate(entry);
      if (uids.count(aggregate.uid) || !aggregateUIDs.insert(aggregate.uid).second) {
        entry.at("uid").fail("duplicate device UID \"" + aggregate.uid + "\"");
      }
      // Sub-devices and the main device are plain devices of the machine.
      for (size_t s = 0; s < aggregate.subDevices.size(); ++s) {
        if (!uids.count(aggregate.subDevices[s])) {
          entry.at("subdevices")
              .at(s)
              .fail("no device has the UID \"" + aggregate.subDevices[s] + "\"");
        }
      }
      if (!aggregate.mainSubDevice.empty() && !uids.count(aggregate.mainSubDevice)) {
        entry.at("master").fail("no device has the UID \"" + aggregate.mainSubDevice + "\"");
      }
      machine.aggregateDevices.push_back(aggregate);
    }
  }
  std::set<std::int32_t> pids;
  for (const auto& process : machine.processes) pids.insert(process.pid);
  if (root.has("processes")) {
    Reader processes = root.at("processes");
    for (size_t i = 0; i < processes.arraySize(); ++i) {
      auto process = parseProcess(processes.at(i));
      if (!pids.insert(process.pid).second) {
        processes.at(i).at("pid").fail("duplicate process ID " + std::to_string(process.pid));
      }
      machine.processes.push_back(process);
    }
  }
  for (const char* key : {"defaultInput", "defaultOutput"}) {
    if (!root.has(key)) continue;
    Reader reader = root.at(key);
    std::string uid = reader.string();
    if (!uids.count(uid)) reader.fail("no device has the UID \"" + uid + "\"");
    (std::string(key) == "defaultInput" ? machine.defaultInputUID : machine.defaultOutputUID) = uid;
  }
  if (root.has("authorization"))
    machine.authorization = parseAuthorization(root.at("authorization"));
  if (root.has("systemAudioAuthorization")) {
    machine.systemAudioAuthorization = parseAuthorization(root.at("systemAudioAuthorization"));
  }
  if (root.has("authorizationRequestGrants") && root.has("authorizationRequest")) {
    root.at("authorizationRequestGrants")
        .fail("give either \"authorizationRequestGrants\" or \"authorizationRequest\"");
  }
  if (root.has("authorizationRequestGrants")) {
    machine.authorizationRequest.kind = root.at("authorizationRequestGrants").boolean()
                                            ? AuthorizationRequestAnswer::Kind::kGrant
                                            : AuthorizationRequestAnswer::Kind::kDeny;
  }
  if (root.has("authorizationRequest")) {
    Reader request = root.at("authorizationRequest");
    request.expectObject({"answer", "after"});
    machine.authorizationRequest = parseRequestAnswer(request);
  }
  if (root.has("applicationLookupDelay")) {
    Reader delay = root.at("applicationLookupDelay");
    machine.applicationLookupDelay = delay.number();
    if (machine.applicationLookupDelay < 0) delay.fail("expected a number of seconds, 0 or more");
  }
  if (root.has("timeline")) {
    Reader timeline = root.at("timeline");
    for (size_t i = 0; i < timeline.arraySize(); ++i) {
      machine.timeline.push_back(parseEvent(timeline.at(i)));
    }
    std::stable_sort(machine.timeline.begin(), machine.timeline.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at < b.at; });
  }
  if (root.has("failures")) {
    Reader failures = root.at("failures");
    for (size_t i = 0; i < failures.arraySize(); ++i) {
      machine.failures.push_back(parseFailure(failures.at(i)));
    }
  }
  return machine;
}

}  // namespace velmar::sim
