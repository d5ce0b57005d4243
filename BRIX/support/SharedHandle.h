// SharedHandle.h: a reference-counted handle that a long-lived owner keeps
// and that operations borrow for as long as they work.
//
// The rule store keeps its connection and statements in these.  An
// operation takes its own reference (Get) before it uses the handle; the
// owner's ReleaseIfSole closes the handle only when no operation holds a
// reference, so a statement in use is never finalized under it.  The small
// internal lock only orders the copy and the release of the pointer; it is
// never held while anything else is locked.
#ifndef BRIX_SHAREDHANDLE_H_
#define BRIX_SHAREDHANDLE_H_

#include <memory>
#include <mutex>

template <typename T>
class SharedHandle {
 public:
  enum class Release { kReleased, kEmpty, kInUse };

  SharedHandle() = default;
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;

  std::shared_ptr<T> Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ptr_;
  }
  void Set(std::shared_ptr<T> ptr) {
    std::shared_ptr<T> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      old.swap(ptr_);
      ptr_ = std::move(ptr);
    }
    // `old` is released here, outside the lock.
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ptr_ != nullptr;
  }
  // Drops the owner's reference when it is the only one, which closes the
  // handle.
  Release ReleaseIfSole() {
    std::shared_ptr<T> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!ptr_) return Release::kEmpty;
      if (ptr_.use_count() != 1) return Release::kInUse;
      old.swap(ptr_);
    }
    old.reset();
    return Release::kReleased;
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<T> ptr_;
};

#endif  // BRIX_SHAREDHANDLE_H_
