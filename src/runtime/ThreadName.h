#pragma once

#include <pthread.h>

namespace velmar::runtime {

// Names the calling thread for debuggers, profilers and crash reports (at most
// 15 characters are kept). macOS names only the calling thread and takes no
// thread argument.
inline void nameThisThread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

}  // namespace velmar::runtime
