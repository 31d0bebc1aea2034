#include "commands/AggregateDeviceTapTarget.h"

namespace velmar {

std::vector<audiohal::AudioObjectID> AggregateDeviceTapTarget::aggregateDeviceIDs() {
  std::vector<audiohal::AudioObjectID> ids;
  for (const auto& device : manager_->getAllAggregateDevices()) ids.push_back(device.id);
  return ids;
}

bool AggregateDeviceTapTarget::addTapToAggregate(audiohal::AudioObjectID aggregateID,
                                                 const std::string& tapUID) {
  return manager_->addTapToAggregate(aggregateID, tapUID);
}

}  // namespace velmar
