// The HAL contract, run against every backend that registers a driver.
#include "hal/HalConformance.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/Queues.h"
#include "sim/ToneAnalysis.h"
#include "support/MainLoopThread.h"
#include "support/UnitHelpers.h"
#include "support/UnitIOCapture.h"

namespace velmar::audiohal {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10s;

// Records what a listener function or block is told, and on which thread.
struct ListenerProbe {
  explicit ListenerProbe(ConformanceDriver& driver) : driver(driver) {}
  ConformanceDriver& driver;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<AudioObjectPropertySelector> selectors;
  std::vector<std::thread::id> threads;
  bool onNotificationThread = false;

  void note(UInt32 count, const AudioObjectPropertyAddress* addresses) {
    const bool notificationThread = driver.isNotificationThread();
    std::lock_guard lock(mutex);
    for (UInt32 i = 0; i < count; ++i) selectors.push_back(addresses[i].mSelector);
    threads.push_back(std::this_thread::get_id());
    onNotificationThread = notificationThread;
    arrived.notify_all();
  }
  static OSStatus listener(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress* addresses,
                           void* clientData) {
    static_cast<ListenerProbe*>(clientData)->note(count, addresses);
    return 0;
  }
  AudioObjectPropertyListenerBlock block() {
    return makeListenerBlock([this](UInt32 count, const AudioObjectPropertyAddress* addresses) {
      note(count, addresses);
    });
  }
  // The first notification's selector, 0 when none came in time.
  AudioObjectPropertySelector first() {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, kTimeout, [&] { return !selectors.empty(); });
    return selectors.empty() ? 0 : selectors[0];
  }
};

TEST_P(HalConformanceTest, BlockListenersRunOnTheirQueueAndStopAfterRemoval) {
  testing::MainLoopThread mainLoop;
  const std::thread::id mainQueue = testing::drainMainQueue();
  ASSERT_NE(mainQueue, std::thread::id());
  ListenerProbe probe(driver());
  const auto block = probe.block();
  const auto address = globalAddress(kAudioHardwarePropertyProcessObjectList);
  ASSERT_EQ(hal().addPropertyListenerBlock(kAudioObjectSystemObject, address, runtime::mainQueue(),
                                           block),
            0);

  const std::int32_t pid = driver().addProcess(true);
  const AudioObjectID process = processObjectID(pid);
  ASSERT_NE(process, 0u);
  ASSERT_EQ(probe.first(), kAudioHardwarePropertyProcessObjectList);
  {
    std::lock_guard lock(probe.mutex);
    EXPECT_EQ(probe.threads[0], mainQueue);
    EXPECT_EQ(probe.selectors,
              std::vector<AudioObjectPropertySelector>{kAudioHardwarePropertyProcessObjectList});
  }

  // A change the listener does not watch is not delivered to it.
  if (driver().supports(ConformanceDriver::Feature::kSetProcessRunning))
    driver().setProcessRunning(pid, false);
  ASSERT_EQ(hal().removePropertyListenerBlock(kAudioObjectSystemObject, address,
                                              runtime::mainQueue(), block),
            0);
  EXPECT_NE(hal().removePropertyListenerBlock(kAudioObjectSystemObject, address,
                                              runtime::mainQueue(), block),
            0);
  driver().removeProcess(pid);
  // Anything wrongly posted runs before the count.
  EXPECT_NE(testing::drainMainQueue(), std::thread::id());
  std::lock_guard lock(probe.mutex);
  EXPECT_EQ(probe.threads.size(), 1u);
  // Object IDs are never handed out twice while the HAL runs.
  const std::int32_t next = driver().addProcess(false);
  EXPECT_NE(processObjectID(next), process);
  EXPECT_NE(processObjectID(next), 0u);
}

TEST_P(HalConformanceTest, ListenerFunctionsRunOnTheNotificationThread) {
  ListenerProbe probe(driver());
  AudioObjectID headset = deviceID(driver().interfaceUID());
  const auto alive = globalAddress(kAudioDevicePropertyDeviceIsAlive);
  ASSERT_EQ(hal().addPropertyListener(headset, alive, &ListenerProbe::listener, &probe), 0);

  driver().killDevice(driver().interfaceUID());
  EXPECT_EQ(probe.first(), kAudioDevicePropertyDeviceIsAlive);
  {
    std::lock_guard lock(probe.mutex);
    EXPECT_TRUE(probe.onNotificationThread);
  }
  // It reads as dead, or it is gone altogether.
  UInt32 isAlive = 1;
  const OSStatus status = hal().getProperty(headset, alive, isAlive);
  EXPECT_TRUE(status != 0 || isAlive == 0u);
  ASSERT_EQ(hal().removePropertyListener(headset, alive, &ListenerProbe::listener, &probe), 0);
}

TEST_P(HalConformanceTest, RunningSomewhereFollowsOtherProgramsAndOurOwnIO) {
  ListenerProbe probe(driver());
  AudioObjectID microphone = deviceID(driver().microphoneUID());
  const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsRunningSomewhere,
                                           kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(hal().addPropertyListener(microphone, address, &ListenerProbe::listener, &probe), 0);
  EXPECT_EQ(readUInt32(microphone, address), 0u);
  driver().setDeviceInUseElsewhere(driver().microphoneUID(), true);
  EXPECT_EQ(readUInt32(microphone, address), 1u);
  EXPECT_EQ(probe.first(), kAudioDevicePropertyDeviceIsRunningSomewhere);
  driver().setDeviceInUseElsewhere(driver().microphoneUID(), false);

  // Capturing through an aggregate that contains the microphone uses it too.
  AudioObjectID aggregate = 0;
  ASSERT_EQ(
      hal().createAggregateDevice(
          {{"name", "A"}, {"uid", "a"}, {"subdevices", {driver().microphoneUID()}}}, aggregate),
      0);
  ASSERT_EQ(hal().deviceStart(aggregate, nullptr), 0);
  EXPECT_EQ(readUInt32(microphone, address), 1u);
  ASSERT_EQ(hal().deviceStop(aggregate, nullptr), 0);
  EXPECT_EQ(readUInt32(microphone, address), 0u);
  hal().removePropertyListener(microphone, address, &ListenerProbe::listener, &probe);
}

TEST_P(HalConformanceTest, TapsHoldTheirDescriptionAndForeignPrivateTapsAreHidden) {
  CATapDescription description;
  description.name = "Everything";
  description.processes = {processObjectID(driver().playingPID())};
  description.isMixdown = true;
  description.isMono = false;
  const bool muting = driver().supports(ConformanceDriver::Feature::kMutedTaps);
  description.muteBehavior =
      muting ? CATapMuteBehavior::kMutedWhenTapped : CATapMuteBehavior::kUnmuted;
  AudioObjectID tap = 0;
  ASSERT_EQ(hal().createProcessTap(description, tap), 0);
  EXPECT_EQ(tapList(), std::vector<AudioObjectID>{tap});

  std::string uid;
  ASSERT_EQ(hal().getProperty(tap, globalAddress(kAudioTapPropertyUID), uid), 0);
  EXPECT_EQ(uid.size(), 36u);
  AudioStreamBasicDescription format;
  ASSERT_EQ(hal().getProperty(tap, globalAddress(kAudioTapPropertyFormat), format), 0);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  EXPECT_EQ(format.mSampleRate, 48000);

  CATapDescription stored;
  ASSERT_EQ(hal().getProperty(tap, globalAddress(kAudioTapPropertyDescription), stored), 0);
  EXPECT_EQ(stored.name, "Everything");
  EXPECT_EQ(stored.muteBehavior, description.muteBehavior);
  stored.isMono = true;
  ASSERT_EQ(hal().setPropertyData(tap, globalAddress(kAudioTapPropertyDescription), stored), 0);
  ASSERT_EQ(hal().getProperty(tap, globalAddress(kAudioTapPropertyFormat), format), 0);
  EXPECT_EQ(format.mChannelsPerFrame, 1u);

  CATapDescription secret;
  secret.isPrivate = true;
  if (driver().createForeignTap(secret) != 0) {
    EXPECT_EQ(tapList().size(), 1u);
  }

  ASSERT_EQ(hal().destroyProcessTap(tap), 0);
  EXPECT_TRUE(tapList().empty());
  EXPECT_EQ(hal().destroyProcessTap(tap), kAudioHardwareBadObjectError);
}

TEST_P(HalConformanceTest, AggregateCompositionCanBeReadAndChanged) {
  CATapDescription description;
  description.isMixdown = true;
  description.isMono = true;
  description.uuid = "TAP-1";
  AudioObjectID tap = 0;
  ASSERT_EQ(hal().createProcessTap(description, tap), 0);
  const auto devices = readIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).size();
  nlohmann::json dictionary{
      {"name", "Orvina Aggregate Device 1"},   {"uid", "com.example.aggregatedevice.1"},
      {"subdevices", nlohmann::json::array()}, {"private", true},
      {"taps", nlohmann::json::array()},       {"tapautostart", false},
      {"master", driver().microphoneUID()}};
  AudioObjectID aggregate = 0;
  ASSERT_EQ(hal().createAggregateDevice(dictionary, aggregate), 0);
  EXPECT_EQ(hal().createAggregateDevice(dictionary, aggregate),
            kAudioHardwareIllegalOperationError);

  EXPECT_EQ(readUInt32(aggregate, globalAddress(kAudioObjectPropertyClass)),
            kAudioAggregateDeviceClassID);
  std::optional<std::string> main;
  hal().getProperty(aggregate, globalAddress(kAudioAggregateDevicePropertyMainSubDevice), main);
  EXPECT_EQ(main, driver().microphoneUID());
  EXPECT_TRUE(readIDs(aggregate, kAudioDevicePropertyStreams).empty());

  const auto subDevices = globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList);
  const auto taps = globalAddress(kAudioAggregateDevicePropertyTapList);
  ASSERT_EQ(hal().setPropertyData(
                aggregate, subDevices,
                std::vector<std::string>{driver().microphoneUID(), driver().interfaceUID()}),
            0);
  ASSERT_EQ(hal().setPropertyData(aggregate, taps, std::vector<std::string>{"TAP-1"}), 0);

  // Inputs: the microphone's stream, the interface's stream, then the tap.
  AudioBufferList layout;
  ASSERT_EQ(
      hal().getProperty(
          aggregate, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput, 0},
          layout),
      0);
  std::vector<UInt32> widths;
  for (const AudioBuffer& buffer : layout.mBuffers) widths.push_back(buffer.mNumberChannels);
  EXPECT_EQ(widths, (std::vector<UInt32>{1, 2, 1}));
  auto streams = readIDs(aggregate, kAudioDevicePropertyStreams);  // inputs first, then outputs
  ASSERT_GE(streams.size(), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(readUInt32(streams[i], globalAddress(kAudioStreamPropertyDirection)), 1u);

  const auto compositionAddress = globalAddress(kAudioAggregateDevicePropertyComposition);
  nlohmann::json composition;
  ASSERT_EQ(hal().getProperty(aggregate, compositionAddress, composition), 0);
  EXPECT_EQ(composition["private"], true);
  EXPECT_EQ(composition["subdevices"].size(), 2u);
  composition["tapautostart"] = true;
  ASSERT_EQ(hal().setPropertyData(aggregate, compositionAddress, composition), 0);
  hal().getProperty(aggregate, compositionAddress, composition);
  EXPECT_EQ(composition["tapautostart"], true);

  // Removing the tap removes its stream but keeps the others' IDs.
  ASSERT_EQ(hal().destroyProcessTap(tap), 0);
  auto after = readIDs(aggregate, kAudioDevicePropertyStreams);
  ASSERT_EQ(after.size(), streams.size() - 1);
  EXPECT_EQ(after[0], streams[0]);
  EXPECT_EQ(after[1], streams[1]);

  EXPECT_EQ(
      hal().setPropertyData(aggregate, globalAddress(kAudioAggregateDevicePropertyClockDevice),
                            std::string("no-such-device")),
      kAudioHardwareIllegalOperationError);
  ASSERT_EQ(hal().destroyAggregateDevice(aggregate), 0);
  EXPECT_EQ(readIDs(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).size(), devices);
  EXPECT_EQ(hal().destroyAggregateDevice(deviceID(driver().microphoneUID())),
            kAudioHardwareBadDeviceError);
}

TEST_P(HalConformanceTest, TapsThatMuteCannotBeMadeWhereTheyCannotBeHonoured) {
  if (driver().supports(ConformanceDriver::Feature::kMutedTaps))
    GTEST_SKIP() << "this backend honours muting taps";
  CATapDescription description;
  description.processes = {processObjectID(driver().playingPID())};
  description.muteBehavior = CATapMuteBehavior::kMuted;
  AudioObjectID tap = 0;
  EXPECT_NE(hal().createProcessTap(description, tap), 0);
  EXPECT_TRUE(tapList().empty());
}

TEST_P(HalConformanceTest, ARunningStateSetByHandIsShownAndNotified) {
  if (!driver().supports(ConformanceDriver::Feature::kSetProcessRunning))
    GTEST_SKIP() << "this backend's processes play or stop only on their own";
  ListenerProbe probe(driver());
  const AudioObjectID process = processObjectID(driver().silentPID());
  const auto running = globalAddress(kAudioProcessPropertyIsRunning);
  ASSERT_EQ(hal().addPropertyListener(process, running, &ListenerProbe::listener, &probe), 0);
  driver().setProcessRunning(driver().silentPID(), true);
  EXPECT_EQ(readUInt32(process, running), 1u);
  EXPECT_EQ(probe.first(), kAudioProcessPropertyIsRunning);
  hal().removePropertyListener(process, running, &ListenerProbe::listener, &probe);
}

TEST_P(HalConformanceTest, IOProceduresDeliverOneBufferPerInputStreamWithEachSourcesTone) {
  CATapDescription description;
  description.uuid = "MUSIC-TAP";
  description.isMixdown = true;
  description.isMono = true;
  description.processes = {processObjectID(driver().playingPID()),
                           processObjectID(driver().silentPID())};
  AudioObjectID tap = 0;
  ASSERT_EQ(hal().createProcessTap(description, tap), 0);
  AudioObjectID aggregate = 0;
  ASSERT_EQ(hal().createAggregateDevice({{"name", "Recorder"},
                                         {"uid", "rec"},
                                         {"subdevices", {driver().microphoneUID()}},
                                         {"taps", {"MUSIC-TAP"}}},
                                        aggregate),
            0);

  testing::IOCapture capture;
  AudioDeviceIOProcID proc = nullptr;
  ASSERT_EQ(hal().createIOProcID(aggregate, &testing::IOCapture::ioProc, &capture, proc), 0);
  ASSERT_EQ(hal().deviceStart(aggregate, proc), 0);
  EXPECT_EQ(readUInt32(aggregate, globalAddress(kAudioDevicePropertyDeviceIsRunning)), 1u);
  // A tenth of a second of audio is plenty to tell the tones apart.
  ASSERT_TRUE(capture.waitForFrames(4800));
  ASSERT_EQ(hal().deviceStop(aggregate, proc), 0);
  capture.stopped = true;
  std::unique_lock lock(capture.mutex);
  const int cyclesAtStop = capture.cycles;
  lock.unlock();
  // A late call would come within an IO period or two: watch for ten.
  std::this_thread::sleep_for(100ms);
  lock.lock();
  EXPECT_EQ(capture.cycles, cyclesAtStop);
  ASSERT_EQ(capture.channels, (std::vector<UInt32>{1, 1}));
  const std::vector<float> microphone(capture.streams[0].begin(),
                                      capture.streams[0].begin() + 4800);
  const std::vector<float> tapped(capture.streams[1].begin(), capture.streams[1].begin() + 4800);
  // The microphone hears its tone; the tap hears the playing process but not
  // the silent one, and neither hears the other.
  EXPECT_TRUE(testing::hasTone(microphone, driver().microphoneTone(), 48000));
  EXPECT_FALSE(testing::hasTone(microphone, driver().playingTone(), 48000));
  EXPECT_TRUE(testing::hasTone(tapped, driver().playingTone(), 48000));
  EXPECT_FALSE(testing::hasTone(tapped, driver().silentTone(), 48000));
  EXPECT_FALSE(testing::hasTone(tapped, driver().microphoneTone(), 48000));
  EXPECT_FALSE(capture.calledAfterStop);
  EXPECT_EQ(hal().destroyIOProcID(aggregate, proc), 0);
  // A procedure belongs to its device.
  EXPECT_NE(hal().deviceStart(deviceID(driver().microphoneUID()), proc), 0);
}
}  // namespace
}  // namespace velmar::audiohal
