// The Mac backend on the machine's real HAL. Built only on macOS and run by
// the macOS workflow (label "machal"), never by the simulated suites: it
// needs a Mac with at least one input device (the workflow installs a
// virtual loopback one) and no permission a person would have to grant.
// Without the audio-capture permission every call succeeds and captured
// buffers are silent, so content is never asserted, only delivery.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "audiohal/AudioHardware.h"
#include "mac/MacBackend.h"
#include "platform/Platform.h"
#include "runtime/Uuid.h"

namespace velmar {
namespace {

namespace ah = audiohal;
using namespace std::chrono_literals;

constexpr auto kGenerous = 10s;

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout = kGenerous) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class MacHalSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override { mac::MacBackend::install(); }

  ah::AudioHardware& hal() { return platform::Platform::shared().hal(); }

  template <typename T>
  std::optional<T> read(ah::AudioObjectID object, ah::AudioObjectPropertySelector selector,
                        ah::AudioObjectPropertyScope scope = ah::kAudioObjectPropertyScopeGlobal,
                        const ah::PropertyValue& qualifier = {}) {
    T value{};
    if (hal().getProperty(object, {selector, scope, ah::kAudioObjectPropertyElementMain}, value,
                          qualifier) != ah::kAudioHardwareNoError) {
      return std::nullopt;
    }
    return value;
  }

  // A device the system object names (a default device), 0 when none.
  ah::AudioObjectID systemDevice(ah::AudioObjectPropertySelector selector) {
    return read<ah::UInt32>(ah::kAudioObjectSystemObject, selector).value_or(0);
  }

  std::vector<ah::AudioObjectID> ids(ah::AudioObjectPropertySelector selector) {
    return read<std::vector<ah::AudioObjectID>>(ah::kAudioObjectSystemObject, selector)
        .value_or(std::vector<ah::AudioObjectID>{});
  }

  // A private tap of every audio process the HAL lists now (this runner's
  // own), mixed down to stereo; its UID through `uid`.
  ah::AudioObjectID makeTap(std::string& uid) {
    ah::CATapDescription description;
    description.name = "velmar smoke tap";
    description.processes = ids(ah::kAudioHardwarePropertyProcessObjectList);
    // With no process listed, tap everything instead (exclude none).
    description.isExclusive = description.processes.empty();
    description.isPrivate = true;
    description.isMixdown = true;
    ah::AudioObjectID tap = ah::kAudioObjectUnknown;
    EXPECT_EQ(hal().createProcessTap(description, tap), ah::kAudioHardwareNoError);
    // A fresh tap may answer BadObject for a moment on some systems.
    std::optional<std::string> read;
    EXPECT_TRUE(waitFor([&] {
      read = this->read<std::string>(tap, ah::kAudioTapPropertyUID);
      return read && !read->empty();
    }));
    uid = read.value_or("");
    return tap;
  }

  ah::AudioObjectID makeAggregate(const std::string& tapUID, std::string& uid) {
    uid = "velmar-smoke-" + runtime::makeUUID();
    nlohmann::json subdevices = nlohmann::json::array();
    if (const auto input = systemDevice(ah::kAudioHardwarePropertyDefaultInputDevice)) {
      if (auto inputUID = read<std::string>(input, ah::kAudioDevicePropertyDeviceUID)) {
        subdevices.push_back({{"uid", *inputUID}});
      }
    }
    const nlohmann::json description = {{"name", "velmar smoke aggregate"},
                                        {"uid", uid},
                                        {"private", true},
                                        {"subdevices", subdevices},
                                        {"taps", {{{"uid", tapUID}}}},
                                        {"tapautostart", true}};
    ah::AudioObjectID device = ah::kAudioObjectUnknown;
    EXPECT_EQ(hal().createAggregateDevice(description, device), ah::kAudioHardwareNoError);
    return device;
  }
};

// Read only: a request could put a prompt in front of a person. The values
// go into the test report, for whoever checks what the runner grants.
TEST_F(MacHalSmokeTest, TheSystemAudioAuthorisationIsReadApartFromTheMicrophones) {
  auto& system = platform::Platform::shared().system();
  const auto systemAudio = system.systemAudioAuthorizationStatus();
  // TCC's preflight maps to authorized, denied or not determined (also when
  // it cannot be loaded), never to restricted; looked up once, asked afresh.
  EXPECT_NE(systemAudio, platform::AuthorizationStatus::kRestricted);
  EXPECT_EQ(system.systemAudioAuthorizationStatus(), systemAudio);
  RecordProperty("systemAudioAuthorization", static_cast<int>(systemAudio));
  RecordProperty("microphoneAuthorization", static_cast<int>(system.captureAuthorizationStatus()));
}

TEST_F(MacHalSmokeTest, DevicesAndProcessesAreListedWithTheirProperties) {
  const auto devices = ids(ah::kAudioHardwarePropertyDevices);
  ASSERT_FALSE(devices.empty());
  for (ah::AudioObjectID device : devices) {
    const auto uid = read<std::string>(device, ah::kAudioDevicePropertyDeviceUID);
    ASSERT_TRUE(uid) << device;
    EXPECT_FALSE(uid->empty()) << device;
    EXPECT_TRUE(read<std::string>(device, ah::kAudioDevicePropertyDeviceName)) << *uid;
    EXPECT_TRUE(read<ah::UInt32>(device, ah::kAudioDevicePropertyTransportType)) << *uid;
    EXPECT_TRUE(read<ah::Float64>(device, ah::kAudioDevicePropertyNominalSampleRate)) << *uid;
    const auto layout = read<ah::AudioBufferList>(
        device, ah::kAudioDevicePropertyStreamConfiguration, ah::kAudioObjectPropertyScopeInput);
    EXPECT_TRUE(layout) << *uid;
    // The UID leads back to the device.
    EXPECT_EQ(read<ah::UInt32>(ah::kAudioObjectSystemObject,
                               ah::kAudioHardwarePropertyTranslateUIDToDevice,
                               ah::kAudioObjectPropertyScopeGlobal, *uid),
              std::optional<ah::UInt32>(device));
  }
  EXPECT_NE(systemDevice(ah::kAudioHardwarePropertyDefaultInputDevice), 0U);
  EXPECT_NE(systemDevice(ah::kAudioHardwarePropertyDefaultOutputDevice), 0U);

  ah::UInt32 size = 0;
  ASSERT_EQ(hal().getPropertyDataSize(
                ah::kAudioObjectSystemObject,
                ah::globalAddress(ah::kAudioHardwarePropertyProcessObjectList), {}, size),
            ah::kAudioHardwareNoError);
  for (ah::AudioObjectID process : ids(ah::kAudioHardwarePropertyProcessObjectList)) {
    EXPECT_GT(read<ah::SInt32>(process, ah::kAudioProcessPropertyPID).value_or(0), 0) << process;
    EXPECT_TRUE(read<ah::UInt32>(process, ah::kAudioProcessPropertyIsRunning)) << process;
  }
}

struct Delivery {
  std::atomic<int> cycles{0};
  std::atomic<double> seconds{0};
  std::atomic<ah::UInt32> buffers{0};
  std::atomic<ah::UInt32> bytes{0};
  double rate = 48000;
};

ah::OSStatus countCycle(ah::AudioObjectID, const ah::AudioTimeStamp*, const ah::AudioBufferList* in,
                        const ah::AudioTimeStamp*, ah::AudioBufferList*, const ah::AudioTimeStamp*,
                        void* clientData) {
  auto* delivery = static_cast<Delivery*>(clientData);
  const ah::UInt32 count = in != nullptr ? in->numberBuffers() : 0;
  delivery->buffers.store(count);
  if (count > 0 && in->mBuffers[0].mNumberChannels > 0) {
    const auto& first = in->mBuffers[0];
    delivery->bytes.store(first.mDataByteSize);
    const double frames = first.mDataByteSize / (4.0 * first.mNumberChannels);
    delivery->seconds.store(delivery->seconds.load() + frames / delivery->rate);
  }
  delivery->cycles.fetch_add(1);
  return ah::kAudioHardwareNoError;
}

TEST_F(MacHalSmokeTest, ATapInAnAggregateIsReadBackDeliversBuffersForASecondAndIsDestroyed) {
  std::string tapUID;
  const ah::AudioObjectID tap = makeTap(tapUID);
  ASSERT_NE(tap, ah::kAudioObjectUnknown);
  EXPECT_FALSE(tapUID.empty());
  const auto description = read<ah::CATapDescription>(tap, ah::kAudioTapPropertyDescription);
  ASSERT_TRUE(description);
  EXPECT_TRUE(description->isPrivate);
  EXPECT_TRUE(description->isMixdown);
  auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  EXPECT_EQ(lower(description->uuid), lower(tapUID)) << "a tap's UID is its description's UUID";
  const auto format = read<ah::AudioStreamBasicDescription>(tap, ah::kAudioTapPropertyFormat);
  ASSERT_TRUE(format);
  EXPECT_GT(format->mSampleRate, 0);

  std::string uid;
  const ah::AudioObjectID device = makeAggregate(tapUID, uid);
  ASSERT_NE(device, ah::kAudioObjectUnknown);
  EXPECT_EQ(read<ah::UInt32>(device, ah::kAudioObjectPropertyClass),
            std::optional<ah::UInt32>(ah::kAudioAggregateDeviceClassID));
  const auto taps =
      read<std::vector<std::string>>(device, ah::kAudioAggregateDevicePropertyTapList);
  ASSERT_TRUE(taps);
  EXPECT_NE(std::find(taps->begin(), taps->end(), tapUID), taps->end());
  EXPECT_TRUE(
      read<std::vector<std::string>>(device, ah::kAudioAggregateDevicePropertyFullSubDeviceList));
  const auto composition =
      read<nlohmann::json>(device, ah::kAudioAggregateDevicePropertyComposition);
  ASSERT_TRUE(composition);
  ASSERT_TRUE(composition->contains("private")) << composition->dump();
  EXPECT_EQ((*composition)["private"], true) << "flags read as booleans: " << composition->dump();
  EXPECT_EQ(composition->value("uid", ""), uid);

  const auto layout = read<ah::AudioBufferList>(device, ah::kAudioDevicePropertyStreamConfiguration,
                                                ah::kAudioObjectPropertyScopeInput);
  ASSERT_TRUE(layout);
  ASSERT_GT(layout->numberBuffers(), 0U) << "the tap is an input stream of the aggregate";
  Delivery delivery;
  delivery.rate =
      read<ah::Float64>(device, ah::kAudioDevicePropertyNominalSampleRate).value_or(48000);
  ah::AudioDeviceIOProcID proc = nullptr;
  ASSERT_EQ(hal().createIOProcID(device, &countCycle, &delivery, proc), ah::kAudioHardwareNoError);
  ASSERT_EQ(hal().deviceStart(device, proc), ah::kAudioHardwareNoError);
  EXPECT_TRUE(waitFor([&] { return delivery.seconds.load() >= 1.0; }))
      << delivery.cycles.load() << " cycles, " << delivery.seconds.load() << " s";
  EXPECT_EQ(hal().deviceStop(device, proc), ah::kAudioHardwareNoError);
  const int cyclesAtStop = delivery.cycles.load();
  EXPECT_EQ(delivery.buffers.load(), layout->numberBuffers());
  EXPECT_GT(delivery.bytes.load(), 0U);
  EXPECT_EQ(hal().destroyIOProcID(device, proc), ah::kAudioHardwareNoError);
  // Stopped and destroyed: the procedure was not called after deviceStop returned.
  EXPECT_EQ(delivery.cycles.load(), cyclesAtStop);

  EXPECT_EQ(hal().destroyAggregateDevice(device), ah::kAudioHardwareNoError);
  EXPECT_EQ(hal().destroyProcessTap(tap), ah::kAudioHardwareNoError);
  // Destruction completes asynchronously.
  EXPECT_TRUE(waitFor([&] {
    const auto devices = ids(ah::kAudioHardwarePropertyDevices);
    return std::find(devices.begin(), devices.end(), device) == devices.end();
  }));
  EXPECT_TRUE(waitFor([&] { return !read<std::string>(tap, ah::kAudioTapPropertyUID); }));
}

ah::OSStatus countCall(ah::AudioObjectID, ah::UInt32, const ah::AudioObjectPropertyAddress*,
                       void* calls) {
  static_cast<std::atomic<int>*>(calls)->fetch_add(1);
  return ah::kAudioHardwareNoError;
}

TEST_F(MacHalSmokeTest, ListenersHearTheDeviceListAndTheDefaultDevices) {
  asio::io_context context;
  auto work = asio::make_work_guard(context);
  std::thread runner([&] { context.run(); });

  std::mutex mutex;
  std::set<ah::AudioObjectPropertySelector> heard;
  std::condition_variable changed;
  auto block =
      ah::makeListenerBlock([&](ah::UInt32 count, const ah::AudioObjectPropertyAddress* addresses) {
        std::lock_guard lock(mutex);
        for (ah::UInt32 i = 0; i < count; ++i) heard.insert(addresses[i].mSelector);
        changed.notify_all();
      });
  const ah::AudioObjectPropertySelector watched[] = {ah::kAudioHardwarePropertyDevices,
                                                     ah::kAudioHardwarePropertyDefaultInputDevice,
                                                     ah::kAudioHardwarePropertyDefaultOutputDevice};
  for (auto selector : watched) {
    ASSERT_EQ(
        hal().addPropertyListenerBlock(ah::kAudioObjectSystemObject, ah::globalAddress(selector),
                                       context.get_executor(), block),
        ah::kAudioHardwareNoError);
  }
  // Whether a change of `selector` came; taken, so the next call waits for another.
  auto heardOf = [&](ah::AudioObjectPropertySelector selector) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerous, [&] { return heard.erase(selector) > 0; });
  };

  // A new device changes the list.
  std::string tapUID;
  const ah::AudioObjectID tap = makeTap(tapUID);
  std::string uid;
  const ah::AudioObjectID device = makeAggregate(tapUID, uid);
  ASSERT_NE(device, ah::kAudioObjectUnknown);
  EXPECT_TRUE(heardOf(ah::kAudioHardwarePropertyDevices));

  // The default input moves to another input device and back, when there is one.
  const ah::AudioObjectID input = systemDevice(ah::kAudioHardwarePropertyDefaultInputDevice);
  ah::AudioObjectID other = 0;
  for (ah::AudioObjectID candidate : ids(ah::kAudioHardwarePropertyDevices)) {
    const auto layout = read<ah::AudioBufferList>(
        candidate, ah::kAudioDevicePropertyStreamConfiguration, ah::kAudioObjectPropertyScopeInput);
    if (input != 0 && candidate != device && candidate != input && layout &&
        layout->numberBuffers() > 0) {
      other = candidate;
      break;
    }
  }
  if (other != 0) {
    const auto address = ah::globalAddress(ah::kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_EQ(hal().setPropertyData(ah::kAudioObjectSystemObject, address, ah::UInt32{other}),
              ah::kAudioHardwareNoError);
    EXPECT_TRUE(heardOf(ah::kAudioHardwarePropertyDefaultInputDevice));
    EXPECT_EQ(hal().setPropertyData(ah::kAudioObjectSystemObject, address, ah::UInt32{input}),
              ah::kAudioHardwareNoError);
  }

  // A listener function on the aggregate's liveness hears its destruction,
  // and is not running once removed.
  std::atomic<int> liveness{0};
  const auto alive = ah::globalAddress(ah::kAudioDevicePropertyDeviceIsAlive);
  ASSERT_EQ(hal().addPropertyListener(device, alive, &countCall, &liveness),
            ah::kAudioHardwareNoError);
  EXPECT_EQ(hal().destroyAggregateDevice(device), ah::kAudioHardwareNoError);
  EXPECT_TRUE(heardOf(ah::kAudioHardwarePropertyDevices));
  EXPECT_TRUE(waitFor([&] { return liveness.load() > 0; }));
  hal().removePropertyListener(device, alive, &countCall, &liveness);
  EXPECT_EQ(hal().destroyProcessTap(tap), ah::kAudioHardwareNoError);

  for (auto selector : watched) {
    EXPECT_EQ(
        hal().removePropertyListenerBlock(ah::kAudioObjectSystemObject, ah::globalAddress(selector),
                                          context.get_executor(), block),
        ah::kAudioHardwareNoError);
  }
  work.reset();
  context.stop();
  runner.join();
}

}  // namespace
}  // namespace velmar
