#pragma once

#include <cstddef>

namespace velmar::testing {

// Heap allocations (operator new) made so far by the calling thread, for
// tests that show a real-time path allocates nothing. A test executable that
// counts includes support/ReplacedAllocation.h in exactly one of its files.
std::size_t allocationsOnThisThread();

}  // namespace velmar::testing
