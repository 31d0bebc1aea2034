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

#include "coreaudio/AudioHardware.h"
#include "mac/MacBackend.h"
#include "platform/Platform.h"
#include "runtime/Uuid.h"

namespace velmar {
namespace {

namespace ca = coreaudio;
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

  ca::AudioHardware& hal() { return platform::Platform::shared().hal(); }

  template <typename T>
  std::optional<T> read(ca::AudioObjectID object, ca::AudioObjectPropertySelector selector,
                        ca::AudioObjectPropertyScope scope = ca::kAudioObjectPropertyScopeGlobal,
                        const ca::PropertyValue& qualifier = {}) {
    T value{};
    if (hal().getProperty(object, {selector, scope, ca::kAudioObjectPropertyElementMain}, value,
                          qualifier) != ca::kAudioHardwareNoError) {
      return std::nullopt;
    }
    return value;
  }

  std::vector<ca::AudioObjectID> ids(ca::AudioObjectPropertySelector selector) {
    return read<std::vector<ca::AudioObjectID>>(ca::kAudioObjectSystemObject, selector)
        .value_or(std::vector<ca::AudioObjectID>{});
  }

  // A private tap of every audio process the HAL lists now (this runner's
  // own), mixed down to stereo; its UID through `uid`.
  ca::AudioObjectID makeTap(std::string& uid) {
    ca::CATapDescription description;
    description.name = "velmar smoke tap";
    description.processes = ids(ca::kAudioHardwarePropertyProcessObjectList);
    // With no process listed, tap everything instead (exclude none).
    description.isExclusive = description.processes.empty();
    description.isPrivate = true;
    description.isMixdown = true;
    ca::AudioObjectID tap = ca::kAudioObjectUnknown;
    EXPECT_EQ(hal().createProcessTap(description, tap), ca::kAudioHardwareNoError);
    // A fresh tap may answer BadObject for a moment on some systems.
    std::optional<std::string> read;
    EXPECT_TRUE(waitFor([&] {
      read = this->read<std::string>(tap, ca::kAudioTapPropertyUID);
      return read && !read->empty();
    }));
    uid = read.value_or("");
    return tap;
  }

  ca::AudioObjectID makeAggregate(const std::string& tapUID, std::string& uid) {
    uid = "velmar-smoke-" + runtime::makeUUID();
    const auto input = read<ca::UInt32>(ca::kAudioObjectSystemObject,
                                        ca::kAudioHardwarePropertyDefaultInputDevice);
    nlohmann::json subdevices = nlohmann::json::array();
    if (input && *input != 0) {
      if (auto inputUID = read<std::string>(*input, ca::kAudioDevicePropertyDeviceUID)) {
        subdevices.push_back({{"uid", *inputUID}});
      }
    }
    const nlohmann::json description = {{"name", "velmar smoke aggregate"},
                                        {"uid", uid},
                                        {"private", true},
                                        {"subdevices", subdevices},
                                        {"taps", {{{"uid", tapUID}}}},
                                        {"tapautostart", true}};
    ca::AudioObjectID device = ca::kAudioObjectUnknown;
    EXPECT_EQ(hal().createAggregateDevice(description, device), ca::kAudioHardwareNoError);
    return device;
  }
};

TEST_F(MacHalSmokeTest, DevicesAndProcessesAreListedWithTheirProperties) {
  const auto devices = ids(ca::kAudioHardwarePropertyDevices);
  ASSERT_FALSE(devices.empty());
  for (ca::AudioObjectID device : devices) {
    const auto uid = read<std::string>(device, ca::kAudioDevicePropertyDeviceUID);
    ASSERT_TRUE(uid) << device;
    EXPECT_FALSE(uid->empty()) << device;
    EXPECT_TRUE(read<std::string>(device, ca::kAudioDevicePropertyDeviceName)) << *uid;
    EXPECT_TRUE(read<ca::UInt32>(device, ca::kAudioDevicePropertyTransportType)) << *uid;
    EXPECT_TRUE(read<ca::Float64>(device, ca::kAudioDevicePropertyNominalSampleRate)) << *uid;
    const auto layout = read<ca::AudioBufferList>(
        device, ca::kAudioDevicePropertyStreamConfiguration, ca::kAudioObjectPropertyScopeInput);
    EXPECT_TRUE(layout) << *uid;
    // The UID leads back to the device.
    EXPECT_EQ(read<ca::UInt32>(ca::kAudioObjectSystemObject,
                               ca::kAudioHardwarePropertyTranslateUIDToDevice,
                               ca::kAudioObjectPropertyScopeGlobal, *uid),
              std::optional<ca::UInt32>(device));
  }
  EXPECT_NE(
      read<ca::UInt32>(ca::kAudioObjectSystemObject, ca::kAudioHardwarePropertyDefaultInputDevice)
          .value_or(0),
      0U);
  EXPECT_NE(
      read<ca::UInt32>(ca::kAudioObjectSystemObject, ca::kAudioHardwarePropertyDefaultOutputDevice)
          .value_or(0),
      0U);

  ca::UInt32 size = 0;
  ASSERT_EQ(hal().getPropertyDataSize(
                ca::kAudioObjectSystemObject,
                ca::globalAddress(ca::kAudioHardwarePropertyProcessObjectList), {}, size),
            ca::kAudioHardwareNoError);
  for (ca::AudioObjectID process : ids(ca::kAudioHardwarePropertyProcessObjectList)) {
    EXPECT_GT(read<ca::SInt32>(process, ca::kAudioProcessPropertyPID).value_or(0), 0) << process;
    EXPECT_TRUE(read<ca::UInt32>(process, ca::kAudioProcessPropertyIsRunning)) << process;
  }
}

TEST_F(MacHalSmokeTest, ATapOverTheRunnersProcessesIsCreatedDescribedAndDestroyed) {
  std::string uid;
  const ca::AudioObjectID tap = makeTap(uid);
  ASSERT_NE(tap, ca::kAudioObjectUnknown);
  EXPECT_FALSE(uid.empty());
  const auto description = read<ca::CATapDescription>(tap, ca::kAudioTapPropertyDescription);
  ASSERT_TRUE(description);
  EXPECT_TRUE(description->isPrivate);
  EXPECT_TRUE(description->isMixdown);
  auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  EXPECT_EQ(lower(description->uuid), lower(uid)) << "a tap's UID is its description's UUID";
  const auto format = read<ca::AudioStreamBasicDescription>(tap, ca::kAudioTapPropertyFormat);
  ASSERT_TRUE(format);
  EXPECT_GT(format->mSampleRate, 0);
  EXPECT_EQ(hal().destroyProcessTap(tap), ca::kAudioHardwareNoError);
  EXPECT_TRUE(waitFor([&] { return !read<std::string>(tap, ca::kAudioTapPropertyUID); }));
}

TEST_F(MacHalSmokeTest, AnAggregateWithTheTapIsCreatedReadBackAndDestroyed) {
  std::string tapUID;
  const ca::AudioObjectID tap = makeTap(tapUID);
  ASSERT_NE(tap, ca::kAudioObjectUnknown);
  std::string uid;
  const ca::AudioObjectID device = makeAggregate(tapUID, uid);
  ASSERT_NE(device, ca::kAudioObjectUnknown);

  EXPECT_EQ(read<ca::UInt32>(device, ca::kAudioObjectPropertyClass),
            std::optional<ca::UInt32>(ca::kAudioAggregateDeviceClassID));
  const auto taps =
      read<std::vector<std::string>>(device, ca::kAudioAggregateDevicePropertyTapList);
  ASSERT_TRUE(taps);
  EXPECT_NE(std::find(taps->begin(), taps->end(), tapUID), taps->end());
  const auto subdevices =
      read<std::vector<std::string>>(device, ca::kAudioAggregateDevicePropertyFullSubDeviceList);
  EXPECT_TRUE(subdevices);
  const auto composition =
      read<nlohmann::json>(device, ca::kAudioAggregateDevicePropertyComposition);
  ASSERT_TRUE(composition);
  ASSERT_TRUE(composition->contains("private")) << composition->dump();
  EXPECT_EQ((*composition)["private"], true) << "flags read as booleans: " << composition->dump();
  EXPECT_EQ(composition->value("uid", ""), uid);

  EXPECT_EQ(hal().destroyAggregateDevice(device), ca::kAudioHardwareNoError);
  EXPECT_EQ(hal().destroyProcessTap(tap), ca::kAudioHardwareNoError);
  // Destruction completes asynchronously.
  EXPECT_TRUE(waitFor([&] {
    const auto devices = ids(ca::kAudioHardwarePropertyDevices);
    return std::find(devices.begin(), devices.end(), device) == devices.end();
  }));
}

struct Delivery {
  std::atomic<int> cycles{0};
  std::atomic<double> seconds{0};
  std::atomic<ca::UInt32> buffers{0};
  std::atomic<ca::UInt32> bytes{0};
  double rate = 48000;
};

ca::OSStatus countCycle(ca::AudioObjectID, const ca::AudioTimeStamp*, const ca::AudioBufferList* in,
                        const ca::AudioTimeStamp*, ca::AudioBufferList*, const ca::AudioTimeStamp*,
                        void* clientData) {
  auto* delivery = static_cast<Delivery*>(clientData);
  const ca::UInt32 count = in != nullptr ? in->numberBuffers() : 0;
  delivery->buffers.store(count);
  if (count > 0 && in->mBuffers[0].mNumberChannels > 0) {
    const auto& first = in->mBuffers[0];
    delivery->bytes.store(first.mDataByteSize);
    const double frames = first.mDataByteSize / (4.0 * first.mNumberChannels);
    delivery->seconds.store(delivery->seconds.load() + frames / delivery->rate);
  }
  delivery->cycles.fetch_add(1);
  return ca::kAudioHardwareNoError;
}

TEST_F(MacHalSmokeTest, AnIOProcedureOnTheAggregateDeliversBuffersForASecond) {
  std::string tapUID;
  const ca::AudioObjectID tap = makeTap(tapUID);
  ASSERT_NE(tap, ca::kAudioObjectUnknown);
  std::string uid;
  const ca::AudioObjectID device = makeAggregate(tapUID, uid);
  ASSERT_NE(device, ca::kAudioObjectUnknown);
  const auto layout = read<ca::AudioBufferList>(device, ca::kAudioDevicePropertyStreamConfiguration,
                                                ca::kAudioObjectPropertyScopeInput);
  ASSERT_TRUE(layout);
  ASSERT_GT(layout->numberBuffers(), 0U) << "the tap is an input stream of the aggregate";

  Delivery delivery;
  delivery.rate =
      read<ca::Float64>(device, ca::kAudioDevicePropertyNominalSampleRate).value_or(48000);
  ca::AudioDeviceIOProcID proc = nullptr;
  ASSERT_EQ(hal().createIOProcID(device, &countCycle, &delivery, proc), ca::kAudioHardwareNoError);
  ASSERT_EQ(hal().deviceStart(device, proc), ca::kAudioHardwareNoError);
  EXPECT_TRUE(waitFor([&] { return delivery.seconds.load() >= 1.0; }))
      << delivery.cycles.load() << " cycles, " << delivery.seconds.load() << " s";
  EXPECT_EQ(hal().deviceStop(device, proc), ca::kAudioHardwareNoError);
  const int cyclesAtStop = delivery.cycles.load();
  EXPECT_EQ(delivery.buffers.load(), layout->numberBuffers());
  EXPECT_GT(delivery.bytes.load(), 0U);
  EXPECT_EQ(hal().destroyIOProcID(device, proc), ca::kAudioHardwareNoError);
  // Stopped and destroyed: the procedure was not called after deviceStop returned.
  EXPECT_EQ(delivery.cycles.load(), cyclesAtStop);

  EXPECT_EQ(hal().destroyAggregateDevice(device), ca::kAudioHardwareNoError);
  EXPECT_EQ(hal().destroyProcessTap(tap), ca::kAudioHardwareNoError);
}

struct LivenessCalls {
  std::atomic<int> calls{0};
};

ca::OSStatus countLiveness(ca::AudioObjectID, ca::UInt32, const ca::AudioObjectPropertyAddress*,
                           void* clientData) {
  static_cast<LivenessCalls*>(clientData)->calls.fetch_add(1);
  return ca::kAudioHardwareNoError;
}

TEST_F(MacHalSmokeTest, ListenersHearTheDeviceListAndTheDefaultDevices) {
  asio::io_context context;
  auto work = asio::make_work_guard(context);
  std::thread runner([&] { context.run(); });

  std::mutex mutex;
  std::set<ca::AudioObjectPropertySelector> heard;
  std::condition_variable changed;
  auto block =
      ca::makeListenerBlock([&](ca::UInt32 count, const ca::AudioObjectPropertyAddress* addresses) {
        std::lock_guard lock(mutex);
        for (ca::UInt32 i = 0; i < count; ++i) heard.insert(addresses[i].mSelector);
        changed.notify_all();
      });
  const ca::AudioObjectPropertySelector watched[] = {ca::kAudioHardwarePropertyDevices,
                                                     ca::kAudioHardwarePropertyDefaultInputDevice,
                                                     ca::kAudioHardwarePropertyDefaultOutputDevice};
  for (auto selector : watched) {
    ASSERT_EQ(
        hal().addPropertyListenerBlock(ca::kAudioObjectSystemObject, ca::globalAddress(selector),
                                       context.get_executor(), block),
        ca::kAudioHardwareNoError);
  }
  auto heardOf = [&](ca::AudioObjectPropertySelector selector) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerous, [&] { return heard.count(selector) > 0; });
  };

  // A new device changes the list.
  std::string tapUID;
  const ca::AudioObjectID tap = makeTap(tapUID);
  std::string uid;
  const ca::AudioObjectID device = makeAggregate(tapUID, uid);
  ASSERT_NE(device, ca::kAudioObjectUnknown);
  EXPECT_TRUE(heardOf(ca::kAudioHardwarePropertyDevices));

  // The default input moves to another input device and back, when there is one.
  const auto input =
      read<ca::UInt32>(ca::kAudioObjectSystemObject, ca::kAudioHardwarePropertyDefaultInputDevice);
  std::optional<ca::AudioObjectID> other;
  for (ca::AudioObjectID candidate : ids(ca::kAudioHardwarePropertyDevices)) {
    const auto layout = read<ca::AudioBufferList>(
        candidate, ca::kAudioDevicePropertyStreamConfiguration, ca::kAudioObjectPropertyScopeInput);
    if (candidate != device && input && candidate != *input && layout &&
        layout->numberBuffers() > 0) {
      other = candidate;
      break;
    }
  }
  if (input && other) {
    const auto address = ca::globalAddress(ca::kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_EQ(hal().setPropertyData(ca::kAudioObjectSystemObject, address, ca::UInt32{*other}),
              ca::kAudioHardwareNoError);
    EXPECT_TRUE(heardOf(ca::kAudioHardwarePropertyDefaultInputDevice));
    EXPECT_EQ(hal().setPropertyData(ca::kAudioObjectSystemObject, address, ca::UInt32{*input}),
              ca::kAudioHardwareNoError);
  }

  // A listener function on the aggregate's liveness hears its destruction,
  // and is not running once removed.
  LivenessCalls liveness;
  const auto alive = ca::globalAddress(ca::kAudioDevicePropertyDeviceIsAlive);
  ASSERT_EQ(hal().addPropertyListener(device, alive, &countLiveness, &liveness),
            ca::kAudioHardwareNoError);
  EXPECT_EQ(hal().destroyAggregateDevice(device), ca::kAudioHardwareNoError);
  EXPECT_TRUE(heardOf(ca::kAudioHardwarePropertyDevices));
  EXPECT_TRUE(waitFor([&] { return liveness.calls.load() > 0; }));
  hal().removePropertyListener(device, alive, &countLiveness, &liveness);
  EXPECT_EQ(hal().destroyProcessTap(tap), ca::kAudioHardwareNoError);

  for (auto selector : watched) {
    EXPECT_EQ(
        hal().removePropertyListenerBlock(ca::kAudioObjectSystemObject, ca::globalAddress(selector),
                                          context.get_executor(), block),
        ca::kAudioHardwareNoError);
  }
  work.reset();
  context.stop();
  runner.join();
}

}  // namespace
}  // namespace velmar
