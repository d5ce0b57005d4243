#include "DigestCache.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "Stats.h"

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

bool DigestsOf(int fd, const struct stat& st, DigestCache* cache, Stats* stats,
               brix_host::FileDigests* out, std::string* error) {
  const FileIdentity before = FileIdentity::Of(st);
  if (cache->Find(before, out)) {
    stats->cacheHits.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  stats->cacheMisses.fetch_add(1, std::memory_order_relaxed);
  if (lseek(fd, 0, SEEK_SET) != 0 && errno != ESPIPE) {
    *error = strerror(errno);
    return false;
  }
  if (!brix_host::HashDescriptor(fd, out, error)) return false;
  struct stat after {};
  if (fstat(fd, &after) == 0 && FileIdentity::Of(after) == before)
    cache->Insert(before, *out);
  return true;
}

}  // namespace brixd
