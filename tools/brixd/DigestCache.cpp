#include "DigestCache.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "Stats.h"
#include "WriteAccess.h"

namespace brixd {

FileIdentity FileIdentity::Of(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = static_cast<uint64_t>(st.st_size);
  id.modifiedSeconds = st.st_mtim.tv_sec;
  id.modifiedNanos = st.st_mtim.tv_nsec;
  id.changedSeconds = st.st_ctim.tv_sec;
  id.changedNanos = st.st_ctim.tv_nsec;
  return id;
}

size_t FileIdentityHash::operator()(const FileIdentity& id) const {
  // Inode and device tell files apart; the times tell versions apart.
  uint64_t h = id.inode * 0x9e3779b97f4a7c15ull;
  for (uint64_t part : {id.device, id.size, static_cast<uint64_t>(id.modifiedNanos),
                        static_cast<uint64_t>(id.changedNanos),
                        static_cast<uint64_t>(id.changedSeconds)})
    h = (h ^ part) * 0x100000001b3ull;
  return static_cast<size_t>(h ^ (h >> 29));
}

bool DigestCache::Find(const FileIdentity& id, brix_host::FileDigests* out) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  *out = it->second;
  return true;
}

void DigestCache::Insert(const FileIdentity& id, const brix_host::FileDigests& digests) {
  if (capacity_ == 0) return;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  // A new version of a file leaves its old entry behind; it is never
  // looked up again and goes when room is needed.
  if (entries_.size() >= capacity_ && entries_.find(id) == entries_.end())
    entries_.erase(entries_.begin());
  entries_[id] = digests;
}

size_t DigestCache::size() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return entries_.size();
}

namespace {

// Enough for a file that is written now and then; a file rewritten
// without pause is refused rather than hashed forever.
constexpr unsigned kHashAttempts = 3;

}  // namespace

DigestEnd DigestsOf(int fd, DigestCache* cache, Stats* stats, const DigestLimits& limits,
                    brix_host::FileDigests* out, struct stat* hashed, std::string* error) {
  struct stat before {};
  if (fstat(fd, &before) != 0) {
    *error = strerror(errno);
    return DigestEnd::kFailed;
  }
  for (unsigned attempt = 0; attempt < kHashAttempts; ++attempt) {
    const FileIdentity id = FileIdentity::Of(before);
    // A file a user can write may have changed through a mapping without
    // a new identity: hashed every time, never remembered.
    const bool identityHolds = OnlyRootCanWrite(fd, before);
    if (identityHolds && cache->Find(id, out)) {
      stats->cacheHits.fetch_add(1, std::memory_order_relaxed);
      *hashed = before;
      return DigestEnd::kDone;
    }
    stats->cacheMisses.fetch_add(1, std::memory_order_relaxed);
    if (static_cast<uint64_t>(before.st_size) > limits.hash.maxBytes) {
      *error = "larger than " + std::to_string(limits.hash.maxBytes) + " bytes";
      return DigestEnd::kTooLarge;
    }
    switch (brix_host::HashDescriptorBounded(fd, limits.hash, out, error)) {
      case brix_host::HashEnd::kDone: break;
      case brix_host::HashEnd::kFailed: return DigestEnd::kFailed;
      case brix_host::HashEnd::kTooLarge: return DigestEnd::kTooLarge;
      case brix_host::HashEnd::kStopped: return DigestEnd::kStopped;
    }
    struct stat after {};
    if (fstat(fd, &after) != 0) {
      *error = strerror(errno);
      return DigestEnd::kFailed;
    }
    if (FileIdentity::Of(after) == id) {
      if (limits.remember && identityHolds) cache->Insert(id, *out);
      *hashed = after;
      return DigestEnd::kDone;
    }
    stats->hashRepeats.fetch_add(1, std::memory_order_relaxed);
    before = after;
  }
  *error = "changed while it was hashed, " + std::to_string(kHashAttempts) + " times";
  return DigestEnd::kUnstable;
}

}  // namespace brixd
