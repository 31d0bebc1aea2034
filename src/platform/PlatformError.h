#pragma once

#include <exception>
#include <string>

namespace velmar::platform {

// A failure reported by an operating-system service: a domain naming the
// service, its integer code and a human-readable text. Thrown as-is so that
// command dispatch can turn it into a "system_error_<domain>_<code>" answer.
class PlatformError : public std::exception {
 public:
  PlatformError(std::string domain, long code, std::string localizedDescription);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }
  // For logs: "Error Domain=<domain> Code=<code> "<localized description>"".
  const std::string& description() const { return description_; }

  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  long code_;
  std::string localizedDescription_;
  std::string description_;
};

}  // namespace velmar::platform
