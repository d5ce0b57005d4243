// DigestCache.h: file digests remembered by file identity.
//
// Hashing a program on every start would cost more than everything else
// brixd does for it.  A file is known by its device, inode, size and its
// modification and change times; any write, truncation, chmod or
// replacement changes at least one of them (the change time moves on every
// write and every metadata change), so a cached digest is only ever used
// for the content it was computed from.  Bounded: when full, an arbitrary
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

// The digests of the open file `fd` whose status is `st`: from the cache,
// or hashed and remembered.  A file that changes while it is hashed is
// not remembered, since its digests may mix two versions.  Counts hits and
// misses in `stats`.  False with `error` set when the file cannot be read.
bool DigestsOf(int fd, const struct stat& st, DigestCache* cache, Stats* stats,
               brix_host::FileDigests* out, std::string* error);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_DIGESTCACHE_H_
