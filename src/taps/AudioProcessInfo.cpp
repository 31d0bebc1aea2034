#include "taps/AudioProcessInfo.h"

#include "taps/AudioProcessManager.h"

namespace velmar {

AudioProcessInfo::AudioProcessInfo(AudioObjectID id) : id(id) {
  pid = AudioProcessManager::getProcessPID(id);
  name = AudioProcessManager::getProcessName(id, pid);
  bundleID = AudioProcessManager::getProcessBundleID(id);
  isRunning = AudioProcessManager::isProcessRunning(id);
}

nlohmann::json AudioProcessInfo::toDictionary() const {
  return {
      {"id", id}, {"pid", pid}, {"name", name}, {"bundleID", bundleID}, {"isRunning", isRunning}};
}

nlohmann::json toDictionaries(const std::vector<AudioProcessInfo>& processes) {
  auto list = nlohmann::json::array();
  for (const auto& p : processes) list.push_back(p.toDictionary());
  return list;
}

std::size_t runningCount(const std::vector<AudioProcessInfo>& processes) {
  std::size_t count = 0;
  for (const auto& p : processes) count += p.isRunning ? 1 : 0;
  return count;
}

}  // namespace velmar
