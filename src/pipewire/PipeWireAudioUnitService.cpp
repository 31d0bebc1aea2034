#include "pipewire/PipeWireAudioUnitService.h"

namespace velmar::pipewire {

using namespace platform;

namespace {

// What the HAL answers for a unit that does not exist.
constexpr OSStatus kNoUnit = coreaudio::kAudioHardwareBadObjectError;

}  // namespace

AudioComponent PipeWireAudioUnitService::findNextComponent(AudioComponent,
                                                           const AudioComponentDescription&) {
  return nullptr;
}

OSStatus PipeWireAudioUnitService::instanceNew(AudioComponent, AudioUnit& outUnit) {
  outUnit = nullptr;
  return kNoUnit;
}

OSStatus PipeWireAudioUnitService::instanceDispose(AudioUnit) { return kNoUnit; }

OSStatus PipeWireAudioUnitService::setProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                                               AudioUnitElement, const AudioUnitPropertyValue&) {
  return kNoUnit;
}

OSStatus PipeWireAudioUnitService::getProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                                               AudioUnitElement, AudioUnitPropertyValue&) {
  return kNoUnit;
}

OSStatus PipeWireAudioUnitService::initialize(AudioUnit) { return kNoUnit; }
OSStatus PipeWireAudioUnitService::uninitialize(AudioUnit) { return kNoUnit; }
OSStatus PipeWireAudioUnitService::outputUnitStart(AudioUnit) { return kNoUnit; }
OSStatus PipeWireAudioUnitService::outputUnitStop(AudioUnit) { return kNoUnit; }

OSStatus PipeWireAudioUnitService::render(AudioUnit, AudioUnitRenderActionFlags*,
                                          const AudioTimeStamp*, UInt32, UInt32, AudioBufferList*) {
  return kNoUnit;
}

}  // namespace velmar::pipewire
