#pragma once

// The global allocation functions, replaced to count each thread's
// allocations. Include in exactly one file of a test executable: the
// definitions are not inline, and a second copy would not link.
#include <cstdlib>
#include <new>

#include "support/AllocationCounter.h"

namespace velmar::testing::detail {
inline thread_local std::size_t tAllocations = 0;

inline void* countedAllocation(std::size_t size) {
  ++tAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace velmar::testing::detail

// Not inlined: GCC would otherwise take the free() of a replaced operator
// delete for a mismatch with the new-expression it was inlined into. The
// nothrow forms too (std::stable_sort's buffer uses them), so every
// allocation and release goes through the same pair.
[[gnu::noinline]] void* operator new(std::size_t size) {
  return velmar::testing::detail::countedAllocation(size);
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
  return velmar::testing::detail::countedAllocation(size);
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++velmar::testing::detail::tAllocations;
  return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  ++velmar::testing::detail::tAllocations;
  return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

std::size_t velmar::testing::allocationsOnThisThread() {
  return velmar::testing::detail::tAllocations;
}
