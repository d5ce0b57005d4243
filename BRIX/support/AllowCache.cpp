#include "AllowCache.h"

#include <cjson/cJSON.h>
#include <sched.h>

BRIXAllowCache::ReaderSlot& BRIXAllowCache::SlotOf(ReaderSlot* slots) {
  static std::atomic<unsigned> next{0};
  thread_local const unsigned index =
      next.fetch_add(1, std::memory_order_relaxed) % kReaderSlots;
  return slots[index];
}

template <typename M>
typename M::const_iterator BRIXAllowCache::Probe(const M& map,
                                                std::string_view key) {
  constexpr size_t kScanLimit = 8;
  if (map.size() > kScanLimit) return map.find(key);
  for (auto it = map.begin(); it != map.end(); ++it)
    if (it->first == key) return it;
  return map.end();
}

BRIXAllowCache::WriteScope::WriteScope(BRIXAllowCache* cache) : cache_(cache) {
  cache_->m_mutex.Lock();
  // Raising the flag and then reading the slots pairs with a lookup's
  // announcing itself and then reading the flag: one of the two sees the
  // other (both sequentially consistent).
  cache_->m_writer.store(true, std::memory_order_seq_cst);
  for (ReaderSlot& slot : cache_->m_slots)
    while (slot.active.load(std::memory_order_seq_cst) != 0) sched_yield();
}

BRIXAllowCache::WriteScope::~WriteScope() {
  cache_->m_writer.store(false, std::memory_order_release);
  cache_->m_mutex.Unlock();
}

bool BRIXAllowCache::IsCached(std::string_view user, std::string_view process,
                              std::string_view target) {
  ReaderSlot& slot = SlotOf(m_slots);
  for (;;) {
    slot.active.fetch_add(1, std::memory_order_seq_cst);
    if (!m_writer.load(std::memory_order_seq_cst)) break;
    // A change is under way: step aside until it is done.
    slot.active.fetch_sub(1, std::memory_order_release);
    m_mutex.Lock();
    m_mutex.Unlock();
  }

  bool hit = false;
  const TargetMap& targets = m_cache;
  auto t = Probe(targets, target);
  if (t == targets.end()) {
    slot.targetMiss.fetch_add(1, std::memory_order_relaxed);
  } else {
    auto p = Probe(t->second, process);
    if (p == t->second.end()) {
      slot.processMiss.fetch_add(1, std::memory_order_relaxed);
    } else if (Probe(p->second, user) == p->second.end()) {
      slot.userMiss.fetch_add(1, std::memory_order_relaxed);
    } else {
      hit = true;
    }
  }
  (hit ? slot.hit : slot.miss).fetch_add(1, std::memory_order_relaxed);
  slot.active.fetch_sub(1, std::memory_order_release);
  return hit;
}

int BRIXAllowCache::AddCacheNode(const std::string& user,
                                 const std::string& process,
                                 const std::string& target) {
  WriteScope scope(this);
  if (m_cache.size() > kMaxTargets - 1) FlushLocked();

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
  WriteScope scope(this);
  if (m_cache.erase(target) > 0)
    ++m_removeHit;
  else
    ++m_removeMiss;
  return 0;
}

void BRIXAllowCache::FlushLocked() {
  m_cache.clear();
  m_add = m_change = m_removeHit = m_removeMiss = m_maxDepth = 0;
  for (ReaderSlot& slot : m_slots) {
    slot.hit.store(0, std::memory_order_relaxed);
    slot.miss.store(0, std::memory_order_relaxed);
    slot.targetMiss.store(0, std::memory_order_relaxed);
    slot.processMiss.store(0, std::memory_order_relaxed);
    slot.userMiss.store(0, std::memory_order_relaxed);
  }
  ++m_clear;
}

void BRIXAllowCache::FlushCache() {
  WriteScope scope(this);
  FlushLocked();
}

BRIXAllowCache::Counters BRIXAllowCache::GetCounters() {
  WriteScope scope(this);
  Counters c;
  c.Add = m_add;
  c.Change = m_change;
  c.Clear = m_clear;
  c.removeHit = m_removeHit;
  c.removeMiss = m_removeMiss;
  for (const ReaderSlot& slot : m_slots) {
    c.Hit += slot.hit.load(std::memory_order_relaxed);
    c.Miss += slot.miss.load(std::memory_order_relaxed);
    c.targetMiss += slot.targetMiss.load(std::memory_order_relaxed);
    c.userMiss += slot.userMiss.load(std::memory_order_relaxed);
    c.processMiss += slot.processMiss.load(std::memory_order_relaxed);
  }
  c.maxDepth = m_maxDepth;
  c.mapSize = m_cache.size();
  return c;
}

void BRIXAllowCache::GetMetrics(cJSON* object) {
  cJSON* section = cJSON_AddObjectToObject(object, "AllowCache");
  if (section == nullptr) return;
  // One consistent snapshot for the whole section.
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
