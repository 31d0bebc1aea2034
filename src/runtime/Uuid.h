#pragma once

#include <string>

namespace velmar::runtime {

// A random (version 4) UUID in its canonical upper-case form
// (8-4-4-4-12 hexadecimal digits).
std::string makeUUID();

}  // namespace velmar::runtime
