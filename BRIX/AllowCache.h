// AllowCache.h: remembers which user was allowed to run which target
// through which process, so a repeated event is answered without the rule
// store.
//
// Three levels of hash maps: target -> process -> user.  At most 4096
// targets; reaching the cap empties the whole cache rather than evicting
// one entry.  The cache counts its own hits and misses since the last flush
// for the "AllowCache" metrics section.
//
// Threads: every operation takes the cache mutex; no other lock is taken
// while it is held.
#ifndef BRIX_ALLOWCACHE_H_
#define BRIX_ALLOWCACHE_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "Mutex.h"

struct cJSON;

class BRIXAllowCache {
 public:
  static constexpr size_t kMaxTargets = 4096;

  BRIXAllowCache() = default;
  BRIXAllowCache(const BRIXAllowCache&) = delete;
  BRIXAllowCache& operator=(const BRIXAllowCache&) = delete;

  bool IsCached(const std::string& user, const std::string& process,
                const std::string& target);
  int AddCacheNode(const std::string& user, const std::string& process,
                   const std::string& target);  // always 0
  int RemoveCacheNode(const std::string& target);  // always 0
  void FlushCache();
  // Adds the "AllowCache" object to `object`.
  void GetMetrics(cJSON* object);

  struct Counters {
    uint64_t Add = 0, Change = 0, Clear = 0, removeHit = 0, removeMiss = 0,
             Hit = 0, Miss = 0, targetMiss = 0, userMiss = 0, processMiss = 0,
             maxDepth = 0, mapSize = 0;
  };
  // A consistent snapshot of the counters and the number of targets.
  Counters GetCounters();

 private:
  using UserMap = std::unordered_map<std::string, bool>;
  using ProcessMap = std::unordered_map<std::string, UserMap>;
  using TargetMap = std::unordered_map<std::string, ProcessMap>;

  void ResetCountersLocked();

  brix::Mutex m_mutex;
  // State below is guarded by m_mutex.
  uint64_t m_add = 0;
  uint64_t m_change = 0;
  uint64_t m_clear = 0;
  uint64_t m_removeHit = 0;
  uint64_t m_removeMiss = 0;
  uint64_t m_hit = 0;
  uint64_t m_miss = 0;
  uint64_t m_targetMiss = 0;
  uint64_t m_userMiss = 0;
  uint64_t m_processMiss = 0;
  uint64_t m_maxDepth = 0;
  TargetMap m_cache;
};

#endif  // BRIX_ALLOWCACHE_H_
