// BRIXDALInternal.h: helpers shared by the rule store's sources.  Not part
// of any interface: every function here expects the DAL mutex to be held by
// its caller where it touches statements or buffers.
#ifndef BRIX_BRIXDALINTERNAL_H_
#define BRIX_BRIXDALINTERNAL_H_

#include <sqlite3.h>

#include <cstdint>
#include <deque>
#include <memory>

#include "BRIXLogger.h"

namespace brix_dal {

inline constexpr const char* kFile = kLogFileDAL;

inline int Index(sqlite3_stmt* s, const char* name) {
  return sqlite3_bind_parameter_index(s, name);
}

inline void ResetAndClear(sqlite3_stmt* s) {
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
}

// The id of the row just inserted, or 0 (with the reason logged).
inline uint64_t InsertedRowId(int rc, const std::shared_ptr<sqlite3>& db,
                              const char* function) {
  if (rc != SQLITE_DONE) {
    BRIX_LOG_AS(BRIX_WARNING, function, kFile,
                "Unable to execute sqlite insert statement. Error code: %d",
                rc);
    return 0;
  }
  if (!db) {
    BRIX_LOG_AS(BRIX_ERROR, function, kFile, "m_DB is released");
    return 0;
  }
  return static_cast<uint64_t>(sqlite3_last_insert_rowid(db.get()));
}

// Writes a whole buffer in one transaction.  Records that fail are dropped
// (and logged by the store); without a connection the buffer is kept.
template <typename Record, typename Store>
uint64_t FlushBuffer(std::deque<Record>& buffer,
                     const std::shared_ptr<sqlite3>& db, const char* function,
                     Store store) {
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s", function);
  if (buffer.empty()) return 0;
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s - %d items", function,
              static_cast<int>(buffer.size()));
  if (!db) {
    BRIX_LOG_AS(BRIX_ERROR, function, kFile, "m_DB is released");
    return 0;
  }
  sqlite3_exec(db.get(), "BEGIN TRANSACTION", nullptr, nullptr, nullptr);
  uint64_t stored = 0;
  while (!buffer.empty()) {
    if (store(buffer.front()) != 0) ++stored;
    buffer.pop_front();
  }
  sqlite3_exec(db.get(), "END TRANSACTION", nullptr, nullptr, nullptr);
  return stored;
}

}  // namespace brix_dal

#endif  // BRIX_BRIXDALINTERNAL_H_
