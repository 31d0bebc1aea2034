#pragma once

#include <nlohmann/json.hpp>

namespace velmar {

// The host protocol as one JSON document, built from the action table and
// the event catalog: frames, actions, events, error codes, the command-line
// options and the environment variables. Printed by --describe-protocol.
nlohmann::json describeProtocol();

}  // namespace velmar
