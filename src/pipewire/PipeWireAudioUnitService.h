#pragma once

#include "platform/AudioUnitService.h"

namespace velmar::pipewire {

using coreaudio::OSStatus;
using coreaudio::UInt32;

// The input unit for level metering. PipeWire has no hardware input unit of
// that kind, and the service never starts its meter, so none is offered:
// looking one up finds no component and every call on a unit fails. A meter
// that asks gets the same answer as on a machine without the component.
class PipeWireAudioUnitService : public platform::AudioUnitService {
 public:
  platform::AudioComponent findNextComponent(
      platform::AudioComponent after,
      const platform::AudioComponentDescription& description) override;
  OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit) override;
  OSStatus instanceDispose(platform::AudioUnit unit) override;
  OSStatus setProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       const platform::AudioUnitPropertyValue& value) override;
  OSStatus getProperty(platform::AudioUnit unit, platform::AudioUnitPropertyID property,
                       platform::AudioUnitScope scope, platform::AudioUnitElement element,
                       platform::AudioUnitPropertyValue& outValue) override;
  OSStatus initialize(platform::AudioUnit unit) override;
  OSStatus uninitialize(platform::AudioUnit unit) override;
  OSStatus outputUnitStart(platform::AudioUnit unit) override;
  OSStatus outputUnitStop(platform::AudioUnit unit) override;
  OSStatus render(platform::AudioUnit unit, platform::AudioUnitRenderActionFlags* ioActionFlags,
                  const platform::AudioTimeStamp* timeStamp, UInt32 busNumber, UInt32 frames,
                  platform::AudioBufferList* ioData) override;
};

}  // namespace velmar::pipewire
