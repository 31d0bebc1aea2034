#pragma once

namespace velmar::runtime {

// Keeps the allocator from giving every thread that allocates a heap arena of
// its own (glibc makes up to eight per core and never merges them), which
// would let resident memory follow the number of busy threads. Call first
// thing in main, before any thread starts. No effect on other C libraries.
void capHeapArenas();

// Gives the free pages at the top of and inside the heap back to the system.
// Takes a few milliseconds on a large heap: never call it on a real-time
// thread. No effect on other C libraries.
void returnFreeHeapMemory();

}  // namespace velmar::runtime
