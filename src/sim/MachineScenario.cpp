#include "sim/MachineScenario.h"

namespace velmar::sim {

using audiohal::kAudioDeviceTransportTypeBluetooth;
using audiohal::kAudioDeviceTransportTypeBuiltIn;
using audiohal::kAudioDeviceTransportTypeUSB;

MachineScenario MachineScenario::defaultMachine() {
  MachineScenario machine;

  SimulatedDeviceConfig microphone;
  microphone.uid = "BuiltInMicrophoneDevice";
  microphone.name = "MacBook Pro Built-in Microphone";
  microphone.transport = kAudioDeviceTransportTypeBuiltIn;
  microphone.inputStreams = {1};
  microphone.sampleRateRanges = exactRates({44100, 48000});
  microphone.clockSource = ClockSourceProperty::kSettable;
  microphone.toneFrequency = 440;

  SimulatedDeviceConfig speakers;
  speakers.uid = "BuiltInSpeakerDevice";
  speakers.name = "MacBook Pro Built-in Output";
  speakers.transport = kAudioDeviceTransportTypeBuiltIn;
  speakers.outputStreams = {2};
  speakers.sampleRateRanges = exactRates({44100, 48000});
  speakers.clockSource = ClockSourceProperty::kSettable;

  SimulatedDeviceConfig usb;
  usb.uid = "AppleUSBAudioEngine:Velmar:Studio 2i2:14200000:1,2";
  usb.name = "Studio 2i2 USB";
  usb.transport = kAudioDeviceTransportTypeUSB;
  usb.inputStreams = {2};
  usb.outputStreams = {2};
  usb.sampleRateRanges = exactRates({44100, 48000, 88200, 96000});
  usb.clockSource = ClockSourceProperty::kSettable;
  usb.toneFrequency = 660;

  SimulatedDeviceConfig headset;
  headset.uid = "00-1B-66-A1-B2-C3:input";
  headset.name = "Voyager Headset";
  headset.transport = kAudioDeviceTransportTypeBluetooth;
  headset.inputStreams = {1};
  headset.outputStreams = {2};
  headset.sampleRateRanges = exactRates({16000, 48000});
  headset.clockSource = ClockSourceProperty::kReadOnly;
  headset.toneFrequency = 550;

  machine.devices = {microphone, speakers, usb, headset};
  machine.defaultInputUID = microphone.uid;
  machine.defaultOutputUID = speakers.uid;

  machine.processes = {
      {1201, "com.apple.Music", "Music", "Music", true, 523.25},
      {1342, "com.apple.Safari", "Safari", "Safari", false, 587.33},
      {1460, "us.zoom.xos", "zoom.us", "zoom.us", false, 659.25},
      {1588, "com.tinyspeck.slackmacgap", "Slack", "Slack", false, 698.46},
      // A helper the workspace does not list: its name comes from the kernel.
      {402, "com.apple.corespeechd", std::nullopt, "corespeechd", false, 783.99},
  };
  return machine;
}

}  // namespace velmar::sim
