#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "hal/InputUnitService.h"
#include "pipewire/PipeWireCapture.h"

namespace velmar::pipewire {

class PipeWireAudioHardware;

// The input unit for level metering over PipeWire: the shared unit of the
// HAL layer, and for each started unit a capture of its device alone, whose
// real-time cycles run the unit's cycles with the captured channels.
class PipeWireAudioUnitService : public hal::InputUnitService {
 public:
  explicit PipeWireAudioUnitService(PipeWireAudioHardware& hardware);
  ~PipeWireAudioUnitService() override;

 protected:
  audiohal::OSStatus startInput(const InputSpec& spec) override;
  void stopInput(platform::AudioUnit unit, bool fromOwnCycle) override;

 private:
  struct Meter;

  PipeWireAudioHardware& hardware_;
  std::mutex mutex_;  // meters_ and retired_
  std::map<platform::AudioUnit, std::unique_ptr<Meter>> meters_;
  // Meters stopped from their own cycle, kept until the service ends.
  std::vector<std::unique_ptr<Meter>> retired_;
};

}  // namespace velmar::pipewire
