#include "BRIXStats.h"

#include <cjson/cJSON.h>

namespace {

// Adds 1 to the entry, creating it at 0; looks up by view so an existing
// counter costs no allocation.
void Bump(std::map<std::string, int64_t, std::less<>>& map,
          std::string_view name) {
  auto it = map.find(name);
  if (it == map.end()) it = map.emplace(std::string(name), 0).first;
  ++it->second;
}

void Assign(std::map<std::string, int64_t, std::less<>>& map,
            std::string_view name, long value) {
  auto it = map.find(name);
  if (it == map.end())
    map.emplace(std::string(name), value);
  else
    it->second = value;
}

}  // namespace

BRIXStats* BRIXStats::GetStats() {
  static BRIXStats instance;
  return &instance;
}

BRIXStats::CounterMap* BRIXStats::TypeMap(int type) {
  switch (type) {
    case BRIX_STATS_DRIFT_UNKNOWN_EXTENSION:
      return &m_driftUnknown;
    case BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION:
      return &m_inventoryUnknown;
    case BRIX_STATS_RULESET:
      return &m_rulesets;
    default:
      return nullptr;
  }
}

void BRIXStats::Inc(std::string_view name) {
  if (name.empty()) return;
  brix::MutexLock lock(&m_mutex);
  Bump(m_counters, name);
}

void BRIXStats::Set(std::string_view name, long value) {
  brix::MutexLock lock(&m_mutex);
  Assign(m_counters, name, value);
}

long BRIXStats::Get(std::string_view name) {
  brix::MutexLock lock(&m_mutex);
  auto it = m_counters.find(name);
  return it == m_counters.end() ? 0 : it->second;
}

void BRIXStats::IncType(int type, std::string_view name) {
  CounterMap* map = TypeMap(type);
  if (map == nullptr || name.empty()) return;
  brix::MutexLock lock(&m_mutex);
  Bump(*map, name);
}

void BRIXStats::SetType(int type, std::string_view name, long value) {
  CounterMap* map = TypeMap(type);
  if (map == nullptr || name.empty()) return;
  brix::MutexLock lock(&m_mutex);
  Assign(*map, name, value);
}

int BRIXStats::GetType(int type, std::string_view name) {
  CounterMap* map = TypeMap(type);
  if (map == nullptr || name.empty()) return 0;
  brix::MutexLock lock(&m_mutex);
  auto it = map->find(name);
  return it == map->end() ? 0 : static_cast<int>(it->second);
}

void BRIXStats::ClearType(int type, std::string_view prefix) {
  CounterMap* map = TypeMap(type);
  if (map == nullptr) return;
  brix::MutexLock lock(&m_mutex);
  if (prefix.empty()) {
    map->clear();
    return;
  }
  // Keys with the prefix form one contiguous run in byte order.
  auto it = map->lower_bound(prefix);
  while (it != map->end() && std::string_view(it->first).starts_with(prefix))
    it = map->erase(it);
}

void BRIXStats::AddCounters(cJSON* metrics) {
  {
    brix::MutexLock lock(&m_mutex);
    for (const auto& [name, value] : m_counters)
      cJSON_AddNumberToObject(metrics, name.c_str(),
                              static_cast<double>(value));
  }
  const struct {
    const char* section;
    CounterMap* map;
  } typed[] = {
      {"InventoryUnknownExtensons", &m_inventoryUnknown},
      {"DriftUnknownExtensions", &m_driftUnknown},
      {"rulesets", &m_rulesets},
  };
  for (const auto& t : typed) {
    cJSON* section = cJSON_AddObjectToObject(metrics, t.section);
    brix::MutexLock lock(&m_mutex);
    size_t listed = 0;
    for (const auto& [name, value] : *t.map) {
      if (listed++ == kMaxTypedEntries) break;
      cJSON_AddNumberToObject(section, name.c_str(),
                              static_cast<double>(value));
    }
  }
}
