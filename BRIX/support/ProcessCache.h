// ProcessCache.h: the process type of each running process, by pid.
//
// Resolving a program to its process type walks the interpreter rules; the
// engine does it once per process and remembers the answer here together
// with the program's file name, so a pid reused by another program misses.
// A stored type 0 reads back like a missing entry.
//
// Threads: every operation that touches the map holds the cache mutex.
#ifndef BRIX_PROCESSCACHE_H_
#define BRIX_PROCESSCACHE_H_

#include <cstdint>
#include <map>
#include <string>

#include "Mutex.h"

struct ac_processMap_entry_t {
  uint64_t processTypeIndex = 0;
  std::string processFileName;
};

class BRIXProcessCache {
 public:
  // The prune hook runs after every this many new entries.
  static constexpr uint64_t kPruneInterval = 1024;

  BRIXProcessCache() = default;
  BRIXProcessCache(const BRIXProcessCache&) = delete;
  BRIXProcessCache& operator=(const BRIXProcessCache&) = delete;

  int AddProcess(uint64_t pid, uint64_t pti,
                 const std::string& processFileName);  // always 0
  // The cached type, or 0 when the pid is unknown or ran another program.
  uint64_t GetProcess(uint64_t pid, const std::string& processFileName);
  int RemoveProcess(uint64_t pid);  // always 0
  void ClearProcessCache();

  size_t Size();
  uint64_t PruneCount();

 private:
  // Called with m_mutex held.  Entries are kept: a pid's type stays valid
  // for as long as the same program runs under it, and a reused pid misses
  // on the file name.
  void PruneProcessCache();

  brix::Mutex m_mutex;
  // State below is guarded by m_mutex.
  uint64_t m_new = 0;
  uint64_t m_changed = 0;
  uint64_t m_clears = 0;
  uint64_t m_removeHit = 0;
  uint64_t m_removeMiss = 0;
  uint64_t m_hit = 0;
  uint64_t m_miss = 0;
  uint64_t m_prunes = 0;
  std::map<uint64_t, ac_processMap_entry_t> m_map;
};

#endif  // BRIX_PROCESSCACHE_H_
