#include "ProcessCache.h"

int BRIXProcessCache::AddProcess(uint64_t pid, uint64_t pti,
                                 const std::string& processFileName) {
  if (pid == 0) return 0;
  brix::MutexLock lock(&m_mutex);
  auto it = m_map.find(pid);
  if (it != m_map.end()) {
    it->second.processTypeIndex = pti;
    it->second.processFileName = processFileName;
    ++m_changed;
    return 0;
  }
  m_map.emplace(pid, ac_processMap_entry_t{pti, processFileName});
  if (++m_new % kPruneInterval == 0) PruneProcessCache();
  return 0;
}

uint64_t BRIXProcessCache::GetProcess(uint64_t pid,
                                      const std::string& processFileName) {
  if (pid == 0 || processFileName.empty()) return 0;
  brix::MutexLock lock(&m_mutex);
  auto it = m_map.find(pid);
  if (it == m_map.end() || it->second.processFileName != processFileName) {
    ++m_miss;
    return 0;
  }
  ++m_hit;
  return it->second.processTypeIndex;
}

int BRIXProcessCache::RemoveProcess(uint64_t pid) {
  brix::MutexLock lock(&m_mutex);
  if (m_map.erase(pid) > 0)
    ++m_removeHit;
  else
    ++m_removeMiss;
  return 0;
}

void BRIXProcessCache::ClearProcessCache() {
  brix::MutexLock lock(&m_mutex);
  m_map.clear();
  ++m_clears;
}

void BRIXProcessCache::PruneProcessCache() { ++m_prunes; }

size_t BRIXProcessCache::Size() {
  brix::MutexLock lock(&m_mutex);
  return m_map.size();
}

uint64_t BRIXProcessCache::PruneCount() {
  brix::MutexLock lock(&m_mutex);
  return m_prunes;
}
