// The name a thread of the collector shows in `top -H`, `ps -L` and a
// profiler's listing (at most 15 bytes, as Linux keeps them).
#pragma once

#include <pthread.h>

namespace collector {

inline void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace collector
