// DigestCache.h: file digests remembered by file identity.
//
// Hashing a program on every start would cost more than everything else
// brixd does for it.  A file is known by its device, inode, size and its
// modification and change times; any write, truncation, chmod or
// replacement changes at least one of them (the change time moves on every
// write and every metadata change), so a cached digest is only ever used
// for the content it was computed from.  That holds only for files that
// no unprivileged user can write (WriteAccess.h): a write through a shared
// mapping may leave the identity as it was, so DigestsOf neither uses nor
// fills the cache for any other file.  Bounded: when full, an arbitrary
// entry makes room.  Safe from any thread: lookups share a lock, inserts
// take it alone.
#ifndef BRIX_TOOLS_BRIXD_DIGESTCACHE_H_
#define BRIX_TOOLS_BRIXD_DIGESTCACHE_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "FileDigest.h"

namespace brixd {

// A value: what identifies one version of one file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanos = 0;
  int64_t changedSeconds = 0;
  int64_t changedNanos = 0;

  static FileIdentity Of(const struct stat& st);
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  size_t operator()(const FileIdentity& id) const;
};

class DigestCache {
 public:
  explicit DigestCache(size_t capacity) : capacity_(capacity) {}
  DigestCache(const DigestCache&) = delete;
  DigestCache& operator=(const DigestCache&) = delete;

  bool Find(const FileIdentity& id, brix_host::FileDigests* out) const;
  void Insert(const FileIdentity& id, const brix_host::FileDigests& digests);
  size_t size() const;

 private:
  // Constant after construction
  const size_t capacity_;

  // State below is protected by mutex_
  mutable std::shared_mutex mutex_;
  std::unordered_map<FileIdentity, brix_host::FileDigests, FileIdentityHash> entries_;
};

struct Stats;

// How DigestsOf ended.
enum class DigestEnd {
  kDone,
  kFailed,    // unreadable; `error` says why
  kTooLarge,  // above the hash cap
  kStopped,   // the stop flag was raised
  kUnstable,  // the file changed during every attempt to hash it
};

// What a file may cost to hash.
struct DigestLimits {
  brix_host::HashLimits hash;
  // Remember the digests by identity.  Off for drift: files written in
  // bulk must not push out the programs that start every second.
  bool remember = true;
};

// The digests of the open regular file `fd`: from the cache, or hashed
// (and remembered when `limits.remember`).  The digests belong to one
// version of the file: when its identity differs after hashing from what
// it was before, the file changed meanwhile and the digests may mix two
// versions, so it is hashed again, a bounded number of times.  `hashed`
// receives the status of the version the digests belong to.  Counts hits,
// misses and repeats in `stats`.
DigestEnd DigestsOf(int fd, DigestCache* cache, Stats* stats, const DigestLimits& limits,
                    brix_host::FileDigests* out, struct stat* hashed, std::string* error);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_DIGESTCACHE_H_
