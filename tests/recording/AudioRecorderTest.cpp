// The capture engine against the simulated machine: binding, start and stop,
// what the IO procedure delivers, the liveness listener, start failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <regex>

#include "recording/AudioRecorder.h"
#include "recording/RecordingTestMachine.h"

namespace velmar::testing {
namespace {

using audiohal::AudioBufferList;
using audiohal::AudioObjectID;
using audiohal::AudioTimeStamp;
using audiohal::kAudioDevicePropertyDeviceIsRunning;
using audiohal::kAudioHardwareIllegalOperationError;
using audiohal::kAudioHardwareUnspecifiedError;
using audiohal::OSStatus;
using audiohal::UInt32;
using sim::FailureRule;
using sim::HalOperation;

class AudioRecorderTest : public RecordingTestMachine {
 protected:
  // Lines containing `text` logged since `mark`, which moves on to now.
  std::size_t countSince(std::size_t& mark, const std::string& text) {
    const auto lines = logLinesSoFar(output_);
    const std::vector<std::string> since(lines.begin() + std::ptrdiff_t(mark), lines.end());
    mark = lines.size();
    return countContaining(since, text);
  }
  std::size_t mark() { return logLinesSoFar(output_).size(); }
};

// Binding catalogs the streams, and the same device again changes nothing;
// a start delivers every stream with its rate, a stop ends the session, a
// restart reuses the registration; device 0 unbinds.
TEST_F(AudioRecorderTest, BindsStartsDeliversEveryStreamStopsAndRestarts) {
  const auto aggregate = makeRecordingAggregate(true);
  AudioRecorder recorder(hal());
  auto delegate = std::make_shared<RecordingDelegate>();
  recorder.setAudioDataDelegate(delegate);
  recorder.setDeviceID(aggregate);
  ASSERT_EQ(recorder.inputStreamList()->size(), 2u);  // microphone, tap
  EXPECT_EQ((*recorder.inputStreamList())[0].mSampleRate, 48000.0);
  EXPECT_TRUE(logged("Found input stream with 1 channels at 48000.000000 Hz"));
  EXPECT_TRUE(logged("Cataloged 2 input streams and 0 output streams"));
  auto at = mark();
  recorder.setDeviceID(aggregate);
  EXPECT_EQ(countSince(at, "Setting device ID to:"), 0u);
  EXPECT_EQ(countSince(at, "Adapting to device ID:"), 0u);

  recorder.setRecordingEnabled(true);
  ASSERT_TRUE(recorder.recordingEnabled());
  ASSERT_TRUE(recorder.sessionID());
  EXPECT_TRUE(std::regex_match(*recorder.sessionID(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}")));
  EXPECT_EQ(recorder.activeDeviceName(), "Recording Test Aggregate");
  // The nested start of the re-adapt step is turned away once, and only once.
  EXPECT_EQ(countSince(at, "Warning: Recursive call to startRecording detected"), 1u);

  ASSERT_TRUE(delegate->waitForCount(20));
  recorder.setRecordingEnabled(false);
  const auto delivered = delegate->delivered();
  std::set<UInt32> streams;
  for (const auto& buffer : delivered) {
    streams.insert(buffer.streamIndex);
    EXPECT_EQ(buffer.sampleRate, 48000.0);
    // The microphone is mono; the tap carries what its format says.
    if (buffer.streamIndex == 0) {
      EXPECT_EQ(buffer.channels, 1u);
    }
    EXPECT_EQ(buffer.byteSize, 480u * buffer.channels * sizeof(float));
  }
  EXPECT_EQ(streams, (std::set<UInt32>{0, 1}));

  EXPECT_FALSE(recorder.sessionID());
  EXPECT_FALSE(recorder.sessionStartTime());
  EXPECT_EQ(countSince(at, "Keeping IOProc registered but inactive for faster restart"), 1u);
  // Disabling again does nothing. (That no cycle follows a stop is the HAL
  // conformance suite's to check, without a sleep here.)
  const auto stopped = delegate->count();
  recorder.setRecordingEnabled(false);
  EXPECT_EQ(countSince(at, "Setting recordingEnabled to NO"), 0u);

  // A restart reuses the registration.
  recorder.setRecordingEnabled(true);
  EXPECT_TRUE(recorder.recordingEnabled());
  EXPECT_EQ(countSince(at, "Reusing existing IOProc"), 1u);
  EXPECT_TRUE(delegate->waitForCount(stopped + 10));

  recorder.setDeviceID(0);
  EXPECT_TRUE(logged("Warning: Device ID 0 was provided, this may cause issues"));
  EXPECT_TRUE(logged("Cannot catalog streams for unknown device"));
  EXPECT_TRUE(recorder.inputStreamList()->empty());
}

TEST_F(AudioRecorderTest, AnUnboundEngineOrOneWithoutInputsCannotRecordButKeepsTheSession) {
  AudioRecorder recorder(hal());
  recorder.setRecordingEnabled(true);
  EXPECT_FALSE(recorder.recordingEnabled());
  EXPECT_TRUE(recorder.sessionID());
  EXPECT_TRUE(logged("Cannot start recording with unknown device"));
  EXPECT_TRUE(logged("Failed to start recording, resetting recordingEnabled to NO"));

  sim::SimulatedAggregateConfig empty;
  empty.uid = "empty-aggregate";
  empty.name = "Empty";
  recorder.setDeviceID(machine().addAggregateDevice(empty));
  recorder.setRecordingEnabled(true);
  EXPECT_FALSE(recorder.recordingEnabled());
  EXPECT_TRUE(logged("Error getting stream count: 0"));
  EXPECT_TRUE(logged("No input streams available for recording"));
  EXPECT_TRUE(logged("Failed to create recording files"));
}

TEST_F(AudioRecorderTest, DeliversOnlyTheCatalogedStreamsAndCountsMissingDelegates) {
  AudioRecorder recorder(hal());
  recorder.setDeviceID(makeRecordingAggregate(false));  // one input stream
  std::vector<float> samples(3 * 480, 0.5f);
  AudioBufferList input;  // three mono buffers of 480 frames
  for (int i = 0; i < 3; ++i) input.mBuffers.push_back({1, 1920, samples.data() + 480 * i});

  // No delegate: the 100th and 200th undelivered buffers log.
  auto at = mark();
  for (int cycle = 0; cycle < 250; ++cycle) runCycle(recorder, input);
  EXPECT_EQ(countSince(at, "⚠️ No audio delegate set!"), 2u);

  auto delegate = std::make_shared<RecordingDelegate>();
  recorder.setAudioDataDelegate(delegate);
  for (int cycle = 0; cycle < 10; ++cycle) runCycle(recorder, input);
  ASSERT_EQ(delegate->count(), 10u);  // buffers 1 and 2 have no cataloged stream
  for (const auto& buffer : delegate->delivered()) EXPECT_EQ(buffer.streamIndex, 0u);

  // The delegate is held weakly: once gone, buffers are simply not delivered.
  delegate.reset();
  runCycle(recorder, input);

  // An empty list is logged on the sampled cycles only.
  AudioBufferList none;
  AudioTimeStamp now;
  for (int cycle = 0; cycle < 100; ++cycle) {
    AudioRecorder::ioproc(0, &now, &none, &now, nullptr, &now, &recorder);
  }
  EXPECT_EQ(countSince(at, "⚠️ IOProc: No input data!"), 1u);
}

TEST_F(AudioRecorderTest, AStreamWithoutDataInACycleIsDeliveredAsSilenceNeverSkipped) {
  AudioRecorder recorder(hal());
  recorder.setDeviceID(makeRecordingAggregate(true));  // microphone, then the tap
  ASSERT_EQ(recorder.inputStreamList()->size(), 2u);
  auto delegate = std::make_shared<RecordingDelegate>();
  recorder.setAudioDataDelegate(delegate);
  const UInt32 tapChannels = (*recorder.inputStreamList())[1].mChannelsPerFrame;

  std::vector<float> mic(480, 0.5f);
  AudioBufferList input;
  input.mBuffers.push_back({1, 480 * sizeof(float), mic.data()});
  input.mBuffers.push_back({tapChannels, 0, nullptr});  // the tap had nothing this cycle
  runCycle(recorder, input);
  input.mBuffers.pop_back();  // and a cycle that lacks its buffer altogether
  runCycle(recorder, input);

  const auto delivered = delegate->delivered();
  ASSERT_EQ(delivered.size(), 4u);
  for (std::size_t cycle = 0; cycle < 2; ++cycle) {
    const auto& silent = delivered[2 * cycle + 1];
    EXPECT_EQ(delivered[2 * cycle].streamIndex, 0u);
    EXPECT_EQ(silent.streamIndex, 1u);
    EXPECT_EQ(silent.channels, tapChannels);
    EXPECT_EQ(silent.byteSize, 480 * tapChannels * sizeof(float));  // the cycle's length
  }
}

TEST_F(AudioRecorderTest, LivenessNoticeUnbindsTheEngine) {
  const auto aggregate = makeRecordingAggregate(false);
  AudioRecorder recorder(hal());
  auto delegate = std::make_shared<RecordingDelegate>();
  recorder.setAudioDataDelegate(delegate);
  std::promise<AudioObjectID> lost;
  recorder.setDeviceLostHandler(
      [&lost, once = std::make_shared<std::once_flag>()](AudioObjectID id) {
        std::call_once(*once, [&] { lost.set_value(id); });
      });
  recorder.setDeviceID(aggregate);
  recorder.setRecordingEnabled(true);
  ASSERT_TRUE(delegate->waitForCount(5));

  ASSERT_TRUE(machine().killDevice(kRecordingAggregateUID));
  auto notice = lost.get_future();
  ASSERT_EQ(notice.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(notice.get(), aggregate);
  EXPECT_TRUE(logged("Device alive property changed - resetting device"));

  EXPECT_FALSE(recorder.resetAfterDeviceChange(aggregate + 1000));  // not ours
  EXPECT_TRUE(recorder.resetAfterDeviceChange(aggregate));
  EXPECT_EQ(recorder.deviceID(), 0u);
  EXPECT_TRUE(recorder.inputStreamList()->empty());
  EXPECT_TRUE(recorder.recordingEnabled());  // the manager decides what follows
  EXPECT_TRUE(recorder.sessionID());
  EXPECT_FALSE(recorder.resetAfterDeviceChange(aggregate));  // a late second notice
}

TEST_F(AudioRecorderTest, ARebindMakesAFreshRegistrationForTheNewDevice) {
  const auto first = makeRecordingAggregate(false, "first-aggregate", "First");
  const auto second = makeRecordingAggregate(false, "second-aggregate", "Second");
  AudioRecorder recorder(hal());
  auto delegate = std::make_shared<RecordingDelegate>();
  recorder.setAudioDataDelegate(delegate);
  recorder.setDeviceID(first);
  recorder.setRecordingEnabled(true);
  ASSERT_TRUE(delegate->waitForCount(3));
  recorder.setRecordingEnabled(false);

  recorder.setDeviceID(second);
  auto at = mark();
  recorder.setRecordingEnabled(true);
  EXPECT_TRUE(recorder.recordingEnabled());
  EXPECT_EQ(countSince(at, "Destroying IOProc"), 1u);
  EXPECT_EQ(countSince(at, "❌ Error starting device"), 0u);
  const auto before = delegate->count();
  EXPECT_TRUE(delegate->waitForCount(before + 5));
}

// An illegal operation is retried without the procedure, which delivers no
// audio and so fails the start; another failure fails it too; a device that
// does not say it runs is diagnosed but still starts.
TEST_F(AudioRecorderTest, StartFailuresAreRetriedFailedOrDiagnosed) {
  struct Case {
    const char* uid;
    HalOperation operation;
    std::optional<UInt32> selector;
    OSStatus status;
    std::optional<int> times;
    bool started;
  };
  const Case cases[] = {
      {"illegal", HalOperation::kDeviceStart, std::nullopt, kAudioHardwareIllegalOperationError, 1,
       false},
      {"failing", HalOperation::kDeviceStart, std::nullopt, kAudioHardwareUnspecifiedError,
       std::nullopt, false},
      {"silent", HalOperation::kGetPropertyData, kAudioDevicePropertyDeviceIsRunning,
       kAudioHardwareUnspecifiedError, std::nullopt, true}};
  std::vector<std::unique_ptr<AudioRecorder>> recorders;
  for (const auto& c : cases) {
    const auto aggregate = makeRecordingAggregate(false, c.uid, c.uid);
    machine().injectFailure(
        FailureRule::when(c.operation, c.selector, aggregate, c.status, c.times));
    recorders.push_back(std::make_unique<AudioRecorder>(hal()));
    recorders.back()->setDeviceID(aggregate);
    recorders.back()->setRecordingEnabled(true);
    EXPECT_EQ(recorders.back()->recordingEnabled(), c.started) << c.uid;
  }
  EXPECT_THAT(recorders.front()->startFailure(), ::testing::HasSubstr("deliver no audio"));
  for (const std::string& line : std::vector<std::string>{
           std::string("🔄 Trying AudioDeviceStart without IOProc parameter"),
           "✅ Device started without IOProc parameter",
           "❌ Error starting device: " + std::to_string(kAudioHardwareUnspecifiedError),
           "Failed to start IO", "⚠️ Device is not running after AudioDeviceStart.",
           "🔍 Device class check: classID=1633773415 (aggregate=1633773415), error=0",
           "📦 Confirmed: This is an aggregate device", "📦 Aggregate device composition has",
           "running check after retry: isRunning=0"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
  EXPECT_EQ(countLogged("Trying AudioDeviceStart without IOProc parameter"), 1u);
}

}  // namespace
}  // namespace velmar::testing
