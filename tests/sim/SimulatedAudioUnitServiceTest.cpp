#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/Platform.h"
#include "sim/SimulatedMachine.h"
#include "sim/ToneAnalysis.h"

namespace velmar::platform {
namespace {

using namespace std::chrono_literals;
using coreaudio::AudioObjectID;

// A level meter in miniature: pulls two interleaved channels per cycle.
struct Meter {
  AudioUnitService* units = nullptr;
  AudioUnit unit = nullptr;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<float> left;
  OSStatus lastStatus = 0;
  std::atomic<bool> stopped{false};
  std::atomic<bool> calledAfterStop{false};

  static OSStatus callback(void* refCon, AudioUnitRenderActionFlags* flags,
                           const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                           AudioBufferList*) {
    auto* meter = static_cast<Meter*>(refCon);
    if (meter->stopped) meter->calledAfterStop = true;
    std::vector<float> samples(frames * 2);
    AudioBufferList list;
    list.mBuffers.push_back({2, static_cast<UInt32>(samples.size() * 4), samples.data()});
    OSStatus status = meter->units->render(meter->unit, flags, time, bus, frames, &list);
    std::lock_guard lock(meter->mutex);
    meter->lastStatus = status;
    for (UInt32 f = 0; f < frames; ++f) meter->left.push_back(samples[2 * f]);
    meter->arrived.notify_all();
    return 0;
  }
};

TEST(AudioUnitServiceTest, InputUnitDeliversTheDefaultInputsSignalUntilStopped) {
  auto& machine = sim::SimulatedMachine::install();
  Platform& platform = Platform::shared();
  AudioUnitService& units = platform.audioUnits();
  AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
  AudioComponent component = units.findNextComponent(nullptr, description);
  ASSERT_NE(component, nullptr);
  EXPECT_EQ(units.findNextComponent(component, description), nullptr);

  Meter meter;
  meter.units = &units;
  ASSERT_EQ(units.instanceNew(component, meter.unit), 0);
  units.setProperty(meter.unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                    UInt32{1});
  // An output-only device cannot feed an input unit.
  AudioObjectID speakers = machine.hardware().deviceID("BuiltInSpeakerDevice");
  EXPECT_EQ(units.setProperty(meter.unit, kAudioOutputUnitProperty_CurrentDevice,
                              kAudioUnitScope_Global, 0, speakers),
            kAudioUnitErr_InvalidPropertyValue);
  AudioObjectID microphone = machine.hardware().deviceID("BuiltInMicrophoneDevice");
  ASSERT_EQ(units.setProperty(meter.unit, kAudioOutputUnitProperty_CurrentDevice,
                              kAudioUnitScope_Global, 0, microphone),
            0);
  AudioUnitPropertyValue format;
  ASSERT_EQ(units.getProperty(meter.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1,
                              format),
            0);
  EXPECT_EQ(std::get<AudioStreamBasicDescription>(format).mSampleRate, 48000);
  ASSERT_EQ(
      units.setProperty(meter.unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Global, 0,
                        AURenderCallbackStruct{&Meter::callback, &meter}),
      0);
  EXPECT_EQ(units.outputUnitStart(meter.unit), kAudioUnitErr_Uninitialized);
  ASSERT_EQ(units.initialize(meter.unit), 0);
  ASSERT_EQ(units.outputUnitStart(meter.unit), 0);
  {
    std::unique_lock lock(meter.mutex);
    ASSERT_TRUE(meter.arrived.wait_for(lock, 10s, [&] { return meter.left.size() >= 4800; }));
  }
  ASSERT_EQ(units.outputUnitStop(meter.unit), 0);
  meter.stopped = true;
  {
    std::lock_guard lock(meter.mutex);
    EXPECT_EQ(meter.lastStatus, 0);
    std::vector<float> block(meter.left.begin(), meter.left.begin() + 4800);
    EXPECT_TRUE(testing::hasTone(block, 440, 48000));
  }
  EXPECT_EQ(units.uninitialize(meter.unit), 0);
  EXPECT_EQ(units.instanceDispose(meter.unit), 0);
  EXPECT_FALSE(meter.calledAfterStop);
}

}  // namespace
}  // namespace velmar::platform
