#include "platform/PlatformError.h"

namespace velmar::platform {

PlatformError::PlatformError(std::string domain, long code, std::string localizedDescription)
    : domain_(std::move(domain)),
      code_(code),
      localizedDescription_(std::move(localizedDescription)),
      description_("Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                   localizedDescription_ + "\"") {}

}  // namespace velmar::platform
