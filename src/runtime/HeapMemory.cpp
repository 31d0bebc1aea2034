#include "runtime/HeapMemory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velmar::runtime {

void capHeapArenas() {
#if defined(__GLIBC__)
  // Two: the command threads rarely contend (each command allocates little),
  // and the real-time threads allocate nothing after warm-up.
  mallopt(M_ARENA_MAX, 2);
#endif
}

void returnFreeHeapMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace velmar::runtime
