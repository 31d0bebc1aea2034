#include "commands/CommandError.h"

namespace velmar {

CommandError::CommandError(Kind kind, std::string description)
    : kind_(kind), description_(std::move(description)) {}

CommandError CommandError::invalidFormat(std::string message) {
  return {Kind::invalidFormat, "Invalid command format: " + message};
}
CommandError CommandError::jsonParseError(std::string message) {
  return {Kind::jsonParseError, "JSON parse error: " + message};
}
CommandError CommandError::missingParameter(std::string name) {
  return {Kind::missingParameter, "Missing required parameter: " + name};
}
CommandError CommandError::invalidParameter(std::string name, std::string reason) {
  return {Kind::invalidParameter, "Invalid parameter '" + name + "': " + reason};
}
CommandError CommandError::executionError(std::string message) {
  return {Kind::executionError, "Command execution error: " + message};
}
CommandError CommandError::resourceNotFound(std::string message) {
  return {Kind::resourceNotFound, "Resource not found: " + message};
}
CommandError CommandError::unauthorized(std::string message) {
  return {Kind::unauthorized, "Unauthorized: " + message};
}
CommandError CommandError::invalidEncoding() {
  return {Kind::invalidEncoding, "Invalid command encoding"};
}

std::string CommandError::code() const {
  switch (kind_) {
    case Kind::invalidFormat:
      return "invalid_format";
    case Kind::jsonParseError:
      return "json_parse_error";
    case Kind::missingParameter:
      return "missing_parameter";
    case Kind::invalidParameter:
      return "invalid_parameter";
    case Kind::executionError:
      return "execution_error";
    case Kind::resourceNotFound:
      return "resource_not_found";
    case Kind::unauthorized:
      return "unauthorized";
    case Kind::invalidEncoding:
      return "invalid_encoding";
  }
  return "unknown_error";
}

}  // namespace velmar
