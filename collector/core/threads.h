// What every thread of the collector shares: the name it shows in `top -H`,
// `ps -L` and a profiler's listing (at most 15 bytes, as Linux keeps them),
// its priority, and the stop signals, which only the serving thread waits for.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace collector {

inline void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// The calling thread's nice value (Linux keeps one a thread); a new thread
// starts with its creator's.
inline int thisThreadNice() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
  return errno == 0 ? nice : 0;
}

// Gives the calling thread alone the nice value `nice`: "" once done, else
// why not. Below the thread's own takes CAP_SYS_NICE or an RLIMIT_NICE that
// reaches it (systemd's LimitNICE=).
inline std::string setThisThreadNice(int nice) {
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), nice) == 0) return "";
  return std::strerror(errno);
}

// SIGTERM, SIGINT and SIGHUP: each asks the service to stop.
inline sigset_t stopSignalSet() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

// Starts `body` on a thread that blocks the stop signals whenever it is
// started: one that let SIGTERM through would be ended by it, and the process
// with it, before any orderly stop.
template <class Body>
std::thread quietThread(Body&& body) {
  const sigset_t stop = stopSignalSet();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  std::thread thread(std::forward<Body>(body));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

}  // namespace collector
