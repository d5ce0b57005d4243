// BRIXStats.h: the engine's named counters and the metrics document.
//
// Any part of the engine bumps a counter by its fixed English name
// ("RunAllowedRule", "TotalIgnoredEvent", ...) where a decision or an outcome
// happens.  Besides the general counters there are three keyed families
// (stats types): 1 drift files of unknown extension, 2 inventory files of
// unknown extension, 3 imported rules per ruleset.  GetMetrics renders all
// of them, plus the figures of the rule store and the allow cache, as the
// JSON text that the host reads through get_metrics_mem.  Since that
// document reaches into the rule store and the engine, GetMetrics is
// defined with the exported functions (api/BRIXMetrics.cpp); the counters
// themselves use nothing above this folder.
//
// Threads: every operation takes the stats mutex for its whole duration;
// GetMetrics takes it once per map and never while calling other parts.
#ifndef BRIX_BRIXSTATS_H_
#define BRIX_BRIXSTATS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "Mutex.h"

struct cJSON;

enum BRIXStatsType : int {
  BRIX_STATS_DRIFT_UNKNOWN_EXTENSION = 1,
  BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION = 2,
  BRIX_STATS_RULESET = 3,
};

class BRIXStats {
 public:
  // The process-wide instance, built on first use, destroyed at unload.
  static BRIXStats* GetStats();

  BRIXStats() = default;
  BRIXStats(const BRIXStats&) = delete;
  BRIXStats& operator=(const BRIXStats&) = delete;

  void Inc(std::string_view name);              // empty name: ignored
  void Set(std::string_view name, long value);  // empty name accepted
  long Get(std::string_view name);              // absent: 0, not created

  // Typed operations ignore an unknown type and an empty name.
  void IncType(int type, std::string_view name);
  void SetType(int type, std::string_view name, long value);
  int GetType(int type, std::string_view name);
  // Erases every key of the typed map that starts with prefix (all keys for
  // an empty prefix).
  void ClearType(int type, std::string_view prefix);

  // Buffer protocol: *length in = buffer size; out = size needed or written
  // (text plus NUL).  Returns 0, 0xc0000001 (null length) or 0xc000000f
  // (buffer null or too small).
  uint32_t GetMetrics(char* buffer, unsigned* length);
  // Adds the general counters and the three typed sections to the
  // document's "metrics" object, taking the mutex once per map.
  void AddCounters(cJSON* metrics);

  // Entries listed per typed section of the metrics document.
  static constexpr size_t kMaxTypedEntries = 100;

 private:
  using CounterMap = std::map<std::string, int64_t, std::less<>>;

  CounterMap* TypeMap(int type);

  brix::Mutex m_mutex;
  CounterMap m_counters;        // guarded by m_mutex
  CounterMap m_driftUnknown;    // type 1, guarded by m_mutex
  CounterMap m_inventoryUnknown;  // type 2, guarded by m_mutex
  CounterMap m_rulesets;        // type 3, guarded by m_mutex
};

#endif  // BRIX_BRIXSTATS_H_
