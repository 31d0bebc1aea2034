#pragma once

#include <stdexcept>
#include <string>

namespace velmar::sim {

// A scenario file that cannot be used. The message names the file, the place
// in it (line and column, or the JSON path of the bad value) and the problem.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmar::sim
