// AllowCache.h: remembers which user was allowed to run which target
// through which process, so a repeated event is answered without the rule
// store.
//
// Three levels of hash maps: target -> process -> user.  At most 4096
// targets; reaching the cap empties the whole cache rather than evicting
// one entry.  The cache counts its own hits and misses since the last flush
// for the "AllowCache" metrics section.
//
// Threads: lookups are the hot path of every repeated event and run on all
// host threads at once, so they do not take a shared lock.  Each thread
// announces itself in a reader slot of its own (a cache line it does not
// share with other threads, unless there are more threads than slots) and
// keeps its hit and miss counts there.  Changes (add, remove, flush) take
// the writer mutex, raise the writer flag and wait until no lookup is in
// progress; lookups that meet the raised flag wait for the writer.  No
// other lock is ever taken while the cache is held.
#ifndef BRIX_ALLOWCACHE_H_
#define BRIX_ALLOWCACHE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Mutex.h"
#include "TextMap.h"

struct cJSON;

class BRIXAllowCache {
 public:
  static constexpr size_t kMaxTargets = 4096;

  BRIXAllowCache() = default;
  BRIXAllowCache(const BRIXAllowCache&) = delete;
  BRIXAllowCache& operator=(const BRIXAllowCache&) = delete;

  // Allocation-free: the keys are probed as they are.
  bool IsCached(std::string_view user, std::string_view process,
                std::string_view target);
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
  using UserMap = TextMap<bool>;
  using ProcessMap = TextMap<UserMap>;
  using TargetMap = TextMap<ProcessMap>;

  // One per group of threads; alone on its cache line.
  struct alignas(64) ReaderSlot {
    std::atomic<uint32_t> active{0};
    std::atomic<uint64_t> hit{0};
    std::atomic<uint64_t> miss{0};
    std::atomic<uint64_t> targetMiss{0};
    std::atomic<uint64_t> processMiss{0};
    std::atomic<uint64_t> userMiss{0};
  };
  static constexpr size_t kReaderSlots = 16;

  // Scoped exclusive access for a change: no lookup runs meanwhile.
  class WriteScope {
   public:
    explicit WriteScope(BRIXAllowCache* cache);
    ~WriteScope();

   private:
    BRIXAllowCache* const cache_;
  };

  static ReaderSlot& SlotOf(ReaderSlot* slots);
  // Looks a key up; small maps (a target usually has one process and one
  // user) are scanned, which is cheaper than hashing the key.
  template <typename M>
  static typename M::const_iterator Probe(const M& map, std::string_view key);
  void FlushLocked();  // inside a WriteScope

  ReaderSlot m_slots[kReaderSlots];
  std::atomic<bool> m_writer{false};
  brix::Mutex m_mutex;  // serialises changes

  // State below is changed only inside a WriteScope.
  uint64_t m_add = 0;
  uint64_t m_change = 0;
  uint64_t m_clear = 0;
  uint64_t m_removeHit = 0;
  uint64_t m_removeMiss = 0;
  uint64_t m_maxDepth = 0;
  TargetMap m_cache;
};

#endif  // BRIX_ALLOWCACHE_H_
