// A mutex with priority inheritance: while a higher-priority thread (a real-time one) waits for
// it, the thread holding it runs at that priority, so that the waiter is never held up behind a
// normal thread that the scheduler preempted while it held the lock. Lockable, like std::mutex.
// Thread-safety: any thread.
#pragma once

#include <pthread.h>

namespace kolv::realtime {

class PriorityInheritanceMutex {
 public:
  PriorityInheritanceMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Without support for it (never on Linux) this stays a plain mutex.
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~PriorityInheritanceMutex() { pthread_mutex_destroy(&mutex_); }
  PriorityInheritanceMutex(const PriorityInheritanceMutex&) = delete;
  PriorityInheritanceMutex& operator=(const PriorityInheritanceMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace kolv::realtime
