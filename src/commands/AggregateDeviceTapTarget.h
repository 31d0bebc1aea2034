#pragma once

#include <memory>
#include <string>
#include <vector>

#include "aggregate/AggregateDeviceManager.h"
#include "taps/TapAggregateTarget.h"

namespace velmar {

// The aggregate device manager as the place a new all-process tap joins:
// its aggregate devices in list order (by name, as stored, no reload), and
// its own addition of a tap, which logs, reloads and announces the list.
class AggregateDeviceTapTarget : public TapAggregateTarget {
 public:
  explicit AggregateDeviceTapTarget(std::shared_ptr<AggregateDeviceManager> manager)
      : manager_(std::move(manager)) {}

  std::vector<audiohal::AudioObjectID> aggregateDeviceIDs() override;
  bool addTapToAggregate(audiohal::AudioObjectID aggregateID, const std::string& tapUID) override;

 private:
  const std::shared_ptr<AggregateDeviceManager> manager_;
};

}  // namespace velmar
