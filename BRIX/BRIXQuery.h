// BRIXQuery.h: the engine's built-in classification tables and its caches.
//
// Two instances exist: one inside the engine, used for every decision, and
// one inside the data-access layer, used when items are stored.  The tables
// are filled once at construction and read-only afterwards, so any thread
// may read them; the caches guard themselves.
#ifndef BRIX_BRIXQUERY_H_
#define BRIX_BRIXQUERY_H_

#include <set>
#include <string>

#include "AllowCache.h"
#include "ProcessCache.h"

class BRIXQuery {
 public:
  BRIXQuery();
  BRIXQuery(const BRIXQuery&) = delete;
  BRIXQuery& operator=(const BRIXQuery&) = delete;

  BRIXProcessCache& GetProcessCache() { return m_processCache; }
  BRIXAllowCache& GetAllowCache() { return m_allowCache; }

 private:
  BRIXProcessCache m_processCache;
  BRIXAllowCache m_allowCache;
  // Folders whose changes are not tracked, and markers of hidden paths.
  std::set<std::string> m_excludedFolders;
  std::set<std::string> m_hiddenPathMarkers;
};

#endif  // BRIX_BRIXQUERY_H_
