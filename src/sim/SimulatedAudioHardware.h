#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hal/FaultInjectingAudioHardware.h"
#include "hal/ModelAudioHardware.h"
#include "runtime/PublishedValue.h"
#include "sim/SimulatedObjects.h"

namespace velmar::sim {

// The simulated source of the HAL model: it feeds the model the devices,
// processes, taps and aggregates of a scenario, synthesises what each input
// stream carries (a tone per source, see docs/platform.md), and drives the
// model's IO cycles from its "sim-io" thread, every 10 ms at each started
// device's rate. The HAL itself (objects, properties, listeners, IO
// procedures) is hal::ModelAudioHardware's.
//
// Threads: the tones are kept under their own mutex and published whole, so
// the IO thread reads them without a lock. The "sim-io" thread waits for
// its next tick under a pacing mutex it never holds during a cycle.
//
// The control API (the model's plus the simulated extras below) is for
// tests and scenarios only; failure injection sits in front of the model
// (front()), which is what the platform is given.
class SimulatedAudioHardware : public hal::ModelAudioHardware {
 public:
  // Period of one IO cycle.
  static constexpr double kIOCycleSeconds = 0.010;
  // Amplitude of each tone source.
  static constexpr float kToneAmplitude = 0.25f;

  SimulatedAudioHardware();
  ~SimulatedAudioHardware() override;

  // The HAL as the platform sees this machine: behind its failure injector.
  audiohal::AudioHardware& front() { return faults_; }
  void injectFailure(const FailureRule& rule) { faults_.injectFailure(rule); }
  void clearFailures() { faults_.clearFailures(); }
  std::size_t failedCalls() const { return faults_.failedCalls(); }

  // Adds a device with its microphone's tone; 0 when its UID is taken.
  AudioObjectID addDevice(const SimulatedDeviceConfig& config);
  // Adds an audio process with its kernel name and tone; 0 when its PID is
  // taken.
  AudioObjectID addProcess(const SimulatedProcessConfig& config);
  std::optional<SimulatedProcessConfig> processWithPID(std::int32_t pid) const;
  std::vector<SimulatedProcessConfig> processes() const;
  // Frequency of the tone a device's microphone or a process produces.
  Float64 deviceToneFrequency(const std::string& uid) const;
  Float64 processToneFrequency(std::int32_t pid) const;

  // Whether taps hear their processes: on a Mac a tap delivers zeros while
  // the system-audio authorisation is not granted. Set by the system
  // services whenever that authorisation changes.
  void setTapCaptureAuthorized(bool authorized);

  // Fills `frames` interleaved frames of `channels` channels with what the
  // device's first input stream carries at `sampleTime`; the input audio
  // unit renders through this. Non-zero for a device without input.
  OSStatus renderDeviceInput(AudioObjectID device, Float64 sampleTime, UInt32 frames,
                             UInt32 channels, float* out) const;

 protected:
  void routingChanged() override;

 private:
  struct Tone {
    Float64 frequency;
    float amplitude;
    Waveform waveform = Waveform::kSine;
  };
  // What every source plays, replaced whole on change.
  struct ToneTable {
    std::map<std::string, Tone> devices;     // by UID
    std::map<std::int32_t, Tone> processes;  // by PID
    bool tapsAuthorized = true;              // else every tap carries zeros
  };
  struct ProcessExtras {
    std::optional<std::string> commandName;
    Float64 toneFrequency = 0;
    float amplitude = kToneAmplitude;
  };
  // Synthesises each stream from the tone table it is given.
  class Filler : public hal::StreamFiller {
   public:
    Filler() { tones_.reserve(64); }
    void fill(const hal::StreamRoute& route, Float64 sampleRate, Float64 sampleTime, UInt32 frames,
              UInt32 channels, float* out) override;
    const ToneTable* table = nullptr;

   private:
    std::vector<Tone> tones_;
  };

  static void streamTones(const hal::StreamRoute& route, const ToneTable& table,
                          std::vector<Tone>& tones);
  static void synthesize(const std::vector<Tone>& tones, Float64 rate, Float64 sampleTime,
                         UInt32 frames, UInt32 channels, float* out);
  static Float64 toneOfDevice(const SimulatedDeviceConfig& device);
  static Float64 toneOfProcess(const SimulatedProcessConfig& process);
  SimulatedProcessConfig withExtrasLocked(const hal::ProcessConfig& process) const;
  void ioThreadMain();

  // Tones and the simulated extras of processes; tones_ is written under
  // tonesMutex_ and read by the IO thread without it.
  mutable std::mutex tonesMutex_;
  std::map<std::int32_t, ProcessExtras> processExtras_;
  runtime::PublishedValue<ToneTable> tones_{ToneTable{}};

  // The "sim-io" pacing thread.
  std::mutex pacingMutex_;
  std::condition_variable pacing_;
  bool stopping_ = false;
  Filler filler_;  // IO thread only
  std::thread ioThread_;

  hal::FaultInjectingAudioHardware faults_{*this};
};

}  // namespace velmar::sim
