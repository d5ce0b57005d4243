#include "AllowCache.h"

#include <cjson/cJSON.h>

bool BRIXAllowCache::IsCached(const std::string& user,
                              const std::string& process,
                              const std::string& target) {
  brix::MutexLock lock(&m_mutex);
  auto t = m_cache.find(target);
  if (t == m_cache.end()) {
    ++m_miss;
    ++m_targetMiss;
    return false;
  }
  auto p = t->second.find(process);
  if (p == t->second.end()) {
    ++m_miss;
    ++m_processMiss;
    return false;
  }
  if (p->second.find(user) == p->second.end()) {
    ++m_miss;
    ++m_userMiss;
    return false;
  }
  ++m_hit;
  return true;
}

int BRIXAllowCache::AddCacheNode(const std::string& user,
                                 const std::string& process,
                                 const std::string& target) {
  m_mutex.Lock();
  const bool full = m_cache.size() > kMaxTargets - 1;
  m_mutex.Unlock();
  // FlushCache takes the mutex itself; it is never taken twice.
  if (full) FlushCache();

  brix::MutexLock lock(&m_mutex);
  auto t = m_cache.find(target);
  if (t == m_cache.end()) {
    m_cache[target][process][user] = true;
    ++m_add;
    if (m_maxDepth == 0) m_maxDepth = 1;
    return 0;
  }
  auto p = t->second.find(process);
  if (p == t->second.end()) {
    t->second[process][user] = true;
    ++m_change;
    if (m_maxDepth == 0) m_maxDepth = 1;
    return 0;
  }
  if (p->second.find(user) != p->second.end()) return 0;
  p->second[user] = true;
  ++m_change;
  if (p->second.size() > m_maxDepth) m_maxDepth = p->second.size();
  return 0;
}

int BRIXAllowCache::RemoveCacheNode(const std::string& target) {
  brix::MutexLock lock(&m_mutex);
  if (m_cache.erase(target) > 0)
    ++m_removeHit;
  else
    ++m_removeMiss;
  return 0;
}

void BRIXAllowCache::ResetCountersLocked() {
  m_add = m_change = m_removeHit = m_removeMiss = 0;
  m_hit = m_miss = m_targetMiss = m_userMiss = m_processMiss = 0;
  m_maxDepth = 0;
}

void BRIXAllowCache::FlushCache() {
  brix::MutexLock lock(&m_mutex);
  m_cache.clear();
  ResetCountersLocked();
  ++m_clear;
}

BRIXAllowCache::Counters BRIXAllowCache::GetCounters() {
  brix::MutexLock lock(&m_mutex);
  Counters c;
  c.Add = m_add;
  c.Change = m_change;
  c.Clear = m_clear;
  c.removeHit = m_removeHit;
  c.removeMiss = m_removeMiss;
  c.Hit = m_hit;
  c.Miss = m_miss;
  c.targetMiss = m_targetMiss;
  c.userMiss = m_userMiss;
  c.processMiss = m_processMiss;
  c.maxDepth = m_maxDepth;
  c.mapSize = m_cache.size();
  return c;
}

void BRIXAllowCache::GetMetrics(cJSON* object) {
  cJSON* section = cJSON_AddObjectToObject(object, "AllowCache");
  if (section == nullptr) return;
  // Read under the mutex so the section is one consistent snapshot.
  const Counters c = GetCounters();
  const struct {
    const char* name;
    uint64_t value;
  } members[] = {
      {"Add", c.Add},
      {"Change", c.Change},
      {"Clear", c.Clear},
      {"Hit", c.Hit},
      {"Miss", c.Miss},
      {"processMiss", c.processMiss},
      {"removeHit", c.removeHit},
      {"removeMiss", c.removeMiss},
      {"targetMiss", c.targetMiss},
      {"userMiss", c.userMiss},
      {"mapSize", c.mapSize},
      {"maxDepth", c.maxDepth},
  };
  for (const auto& m : members)
    cJSON_AddNumberToObject(section, m.name, static_cast<double>(m.value));
}
