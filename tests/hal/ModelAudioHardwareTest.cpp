// What the shared model offers a source beyond the HAL: IO cycles it drives
// itself, format and identity updates, IDs that are never reused.
#include "hal/ModelAudioHardware.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace velmar::hal {
namespace {

using audiohal::AudioBuffer;
using audiohal::AudioBufferList;
using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::Float64;
using audiohal::globalAddress;
using audiohal::kAudioDevicePropertyStreams;
using audiohal::kAudioObjectUnknown;
using audiohal::OSStatus;
using audiohal::UInt32;
using namespace std::chrono_literals;

// Every stream's samples are its index plus one, so a shifted buffer shows.
struct IndexFiller : StreamFiller {
  void fill(const StreamRoute& route, Float64, Float64, UInt32 frames, UInt32 channels,
            float* out) override {
    const float value = route.source == StreamRoute::Source::kTap ? -1.0f : 1.0f;
    for (UInt32 i = 0; i < frames * channels; ++i) out[i] = value * channels;
  }
};

struct Calls {
  std::vector<UInt32> frames;
  std::vector<Float64> sampleTimes;
  std::vector<std::vector<float>> firstSamples;
  static OSStatus ioProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* input,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                         void* clientData) {
    auto* calls = static_cast<Calls*>(clientData);
    const AudioBuffer& first = input->mBuffers[0];
    calls->frames.push_back(first.mDataByteSize / (4 * first.mNumberChannels));
    calls->sampleTimes.push_back(now->mSampleTime);
    std::vector<float> firsts;
    for (const AudioBuffer& buffer : input->mBuffers)
      firsts.push_back(static_cast<const float*>(buffer.mData)[0]);
    calls->firstSamples.push_back(firsts);
    return 0;
  }
};

DeviceConfig input(std::string uid, std::vector<UInt32> streams) {
  DeviceConfig config;
  config.uid = uid;
  config.name = uid;
  config.inputStreams = std::move(streams);
  return config;
}

TEST(ModelAudioHardwareTest, LongCyclesArriveInPreparedChunksWithEveryStreamInItsPlace) {
  ModelAudioHardware model;
  model.prepareIO(256, 2);
  model.addDevice(input("mic", {1}));
  model.addDevice(input("interface", {2}));
  audiohal::CATapDescription tap;
  tap.uuid = "TAP";
  tap.isMixdown = true;
  AudioObjectID tapID = 0;
  ASSERT_EQ(model.createProcessTap(tap, tapID), 0);
  AudioObjectID aggregate = 0;
  ASSERT_EQ(
      model.createAggregateDevice(
          {{"uid", "agg"}, {"subdevices", {"mic", "interface"}}, {"taps", {"TAP"}}}, aggregate),
      0);
  Calls calls;
  audiohal::AudioDeviceIOProcID proc = nullptr;
  ASSERT_EQ(model.createIOProcID(aggregate, &Calls::ioProc, &calls, proc), 0);
  IndexFiller filler;
  AudioTimeStamp time;
  time.mSampleTime = 1000;
  EXPECT_EQ(model.runIOCycle(kAudioObjectUnknown, 600, time, filler), 0u);  // not started
  ASSERT_EQ(model.deviceStart(aggregate, proc), 0);
  EXPECT_TRUE(model.hasStartedIO());
  EXPECT_EQ(model.runIOCycle(aggregate, 600, time, filler), 1u);
  EXPECT_EQ(calls.frames, (std::vector<UInt32>{256, 256, 88}));
  EXPECT_EQ(calls.sampleTimes, (std::vector<Float64>{1000, 1256, 1512}));
  EXPECT_EQ(calls.firstSamples[0], (std::vector<float>{1, 2, -2}));

  ASSERT_EQ(model.deviceStop(aggregate, proc), 0);
  EXPECT_FALSE(model.hasStartedIO());
  EXPECT_EQ(model.runIOCycle(kAudioObjectUnknown, 600, time, filler), 0u);
  EXPECT_EQ(calls.frames.size(), 3u);
}

struct Seen {
  std::mutex mutex;
  std::condition_variable arrived;
  std::set<UInt32> selectors;
  static OSStatus note(AudioObjectID, UInt32 count,
                       const audiohal::AudioObjectPropertyAddress* addresses, void* clientData) {
    auto* seen = static_cast<Seen*>(clientData);
    std::lock_guard lock(seen->mutex);
    for (UInt32 i = 0; i < count; ++i) seen->selectors.insert(addresses[i].mSelector);
    seen->arrived.notify_all();
    return 0;
  }
};

TEST(ModelAudioHardwareTest, FormatAndIdentityUpdatesAreNotifiedAndIDsAreNeverReused) {
  ModelAudioHardware model;
  const AudioObjectID mic = model.addDevice(input("mic", {1}));
  std::vector<AudioObjectID> before;
  model.getProperty(mic, globalAddress(kAudioDevicePropertyStreams), before);
  Seen seen;
  const auto any = globalAddress(audiohal::kAudioObjectPropertySelectorWildcard);
  ASSERT_EQ(model.addPropertyListener(mic, any, &Seen::note, &seen), 0);

  ASSERT_TRUE(model.updateDeviceFormat("mic", 44100, {2}, {}));
  EXPECT_EQ(model.deviceSampleRate(mic), 44100);
  std::vector<AudioObjectID> after;
  model.getProperty(mic, globalAddress(kAudioDevicePropertyStreams), after);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_GT(after[0], before[0]);  // a wider stream is a new one
  {
    std::unique_lock lock(seen.mutex);
    EXPECT_TRUE(seen.arrived.wait_for(lock, 10s, [&] {
      return seen.selectors.count(audiohal::kAudioDevicePropertyNominalSampleRate) &&
             seen.selectors.count(kAudioDevicePropertyStreams);
    }));
  }
  ASSERT_EQ(model.removePropertyListener(mic, any, &Seen::note, &seen), 0);

  ProcessConfig player{7, "org.example.player", "Player"};
  const AudioObjectID process = model.addProcess(player);
  ASSERT_TRUE(model.updateProcessIdentity(7, "Renamed", "org.example.renamed"));
  std::string bundle;
  model.getProperty(process, globalAddress(audiohal::kAudioProcessPropertyBundleID), bundle);
  EXPECT_EQ(bundle, "org.example.renamed");
  EXPECT_EQ(model.processWithPID(7)->name, "Renamed");

  ASSERT_TRUE(model.removeDevice("mic"));
  ASSERT_TRUE(model.removeProcess(7));
  EXPECT_GT(model.addDevice(input("mic", {1})), after[0]);
  EXPECT_GT(model.addProcess(player), process);
}

}  // namespace
}  // namespace velmar::hal
