// Mutex.h: a thin wrapper over a default pthread mutex, and its scoped lock.
//
// The engine's owners each keep one of these and never hold two at once;
// the wrapper exists so that lock scopes are visible and cannot leak on an
// early return, and so that Clang can check who holds what (see
// ThreadAnnotations.h).
#ifndef BRIX_MUTEX_H_
#define BRIX_MUTEX_H_

#include <pthread.h>

#include "ThreadAnnotations.h"

namespace brix {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() { pthread_mutex_init(&mu_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mu_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mu_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mu_); }
  // Checks nothing at run time: it states, for the compiler's lock check,
  // that the caller holds the mutex where the check cannot see it taken.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  pthread_mutex_t mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

}  // namespace brix

#endif  // BRIX_MUTEX_H_
