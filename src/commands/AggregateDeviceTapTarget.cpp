#include "commands/AggregateDeviceTapTarget.h"

namespace velmar {

std::vector<coreaudio::AudioObjectID> AggregateDeviceTapTarget::aggregateDeviceIDs() {
  std::vector<coreaudio::AudioObjectID> ids;
  for (const auto& device : manager_->getAllAggregateDevices()) ids.push_back(device.id);
  return ids;
}

bool AggregateDeviceTapTarget::addTapToAggregate(coreaudio::AudioObjectID aggregateID,
                                                 const std::string& tapUID) {
  return manager_->addTapToAggregate(aggregateID, tapUID);
}

}  // namespace velmar
