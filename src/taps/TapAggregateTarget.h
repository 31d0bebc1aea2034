#pragma once

#include <string>
#include <vector>

#include "audiohal/HalTypes.h"

namespace velmar {

// The aggregate devices a newly made all-process tap can join. The aggregate
// device manager answers for it; while none is attached, there is no
// aggregate device to join and the step is skipped.
class TapAggregateTarget {
 public:
  virtual ~TapAggregateTarget() = default;
  // The aggregate devices, in the order of the aggregate device list.
  virtual std::vector<audiohal::AudioObjectID> aggregateDeviceIDs() = 0;
  // Adds the tap with `tapUID` to the aggregate device's tap list.
  virtual bool addTapToAggregate(audiohal::AudioObjectID aggregateID,
                                 const std::string& tapUID) = 0;
};

}  // namespace velmar
