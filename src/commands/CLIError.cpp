#include "commands/CLIError.h"

namespace velmar {

CLIError::CLIError(Kind kind, std::string description)
    : kind_(kind), description_(std::move(description)) {}

CLIError CLIError::initializationError(std::string message) {
  return {Kind::initializationError, "Initialization Error: " + message};
}
CLIError CLIError::runtimeError(std::string message) {
  return {Kind::runtimeError, "Runtime Error: " + message};
}
CLIError CLIError::terminationError(std::string message) {
  return {Kind::terminationError, "Termination Error: " + message};
}

std::string CLIError::code() const {
  switch (kind_) {
    case Kind::initializationError:
      return "initialization_error";
    case Kind::runtimeError:
      return "runtime_error";
    case Kind::terminationError:
      return "termination_error";
  }
  return "unknown_error";
}

}  // namespace velmar
