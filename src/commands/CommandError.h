#pragma once

#include <exception>
#include <string>

namespace velmar {

// The service's own command failures. Each case has a fixed snake-case code;
// code and description are pure functions of the case and its payload.
class CommandError : public std::exception {
 public:
  enum class Kind {
    invalidFormat,
    jsonParseError,
    missingParameter,
    invalidParameter,
    executionError,
    resourceNotFound,
    unauthorized,
    invalidEncoding,
  };

  static CommandError invalidFormat(std::string message);
  static CommandError jsonParseError(std::string message);
  static CommandError missingParameter(std::string name);
  static CommandError invalidParameter(std::string name, std::string reason);
  static CommandError executionError(std::string message);
  static CommandError resourceNotFound(std::string message);
  static CommandError unauthorized(std::string message);
  static CommandError invalidEncoding();

  Kind kind() const { return kind_; }
  std::string code() const;
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  CommandError(Kind kind, std::string description);
  Kind kind_;
  std::string description_;
};

}  // namespace velmar
