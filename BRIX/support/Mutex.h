// Mutex.h: a thin wrapper over a default pthread mutex, and its scoped lock.
//
// The engine's owners each keep one of these and never hold two at once;
// the wrapper exists so that lock scopes are visible and cannot leak on an
// early return.
#ifndef BRIX_MUTEX_H_
#define BRIX_MUTEX_H_

#include <pthread.h>

namespace brix {

class Mutex {
 public:
  Mutex() { pthread_mutex_init(&mu_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mu_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() { pthread_mutex_lock(&mu_); }
  void Unlock() { pthread_mutex_unlock(&mu_); }

 private:
  pthread_mutex_t mu_;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex* mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

}  // namespace brix

#endif  // BRIX_MUTEX_H_
