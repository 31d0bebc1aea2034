#pragma once

#include <cstddef>

namespace velmar::testing {

// Heap allocations (operator new) made so far by the calling thread. The
// recording tests replace the global allocation functions to count them.
std::size_t allocationsOnThisThread();

}  // namespace velmar::testing
