#pragma once

#include <exception>
#include <string>

namespace velmar {

// Failures of the application object. Only runtimeError is raised; its one
// effect is the exit status 1.
class CLIError : public std::exception {
 public:
  enum class Kind { initializationError, runtimeError, terminationError };

  static CLIError initializationError(std::string message);
  static CLIError runtimeError(std::string message);
  static CLIError terminationError(std::string message);

  Kind kind() const { return kind_; }
  std::string code() const;
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  CLIError(Kind kind, std::string description);
  Kind kind_;
  std::string description_;
};

}  // namespace velmar
