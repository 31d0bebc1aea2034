#include "cli/SystemAudioCheck.h"

#include <future>
#include <memory>

#include "permissions/PermissionsManager.h"

namespace velmar {

int runSystemAudioCheck() {
  PermissionsManager manager;
  if (manager.checkSystemAudioPermission()) return 0;
  auto answer = std::make_shared<std::promise<bool>>();
  auto granted = answer->get_future();
  manager.requestSystemAudioAccess([answer](bool result) { answer->set_value(result); });
  return granted.get() ? 0 : 1;
}

}  // namespace velmar
