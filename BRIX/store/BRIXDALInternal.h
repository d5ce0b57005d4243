// BRIXDALInternal.h: helpers shared by the rule store's sources.  Not part
// of any interface: every function here expects the DAL mutex to be held by
// its caller where it touches statements or buffers.
#ifndef BRIX_BRIXDALINTERNAL_H_
#define BRIX_BRIXDALINTERNAL_H_

#include <sqlite3.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "BRIXLogger.h"
#include "Mutex.h"
#include "Status.h"
#include "ThreadAnnotations.h"

namespace brix_dal {

inline constexpr const char* kFile = kLogFileDAL;

// One hold of the DAL mutex by a public operation, with the trace lines
// that operation has always written around it: "<operation> lock" before
// taking the mutex and "<operation> unlock" before giving it back.
class SCOPED_CAPABILITY TracedLock {
 public:
  TracedLock(brix::Mutex* mu, const char* operation) ACQUIRE(mu)
      : mu_(mu), operation_(operation) {
    BRIX_LOG_AS(BRIX_TRACE, operation_, kFile, "%s lock", operation_);
    mu_->Lock();
  }
  ~TracedLock() RELEASE() {
    BRIX_LOG_AS(BRIX_TRACE, operation_, kFile, "%s unlock", operation_);
    mu_->Unlock();
  }
  TracedLock(const TracedLock&) = delete;
  TracedLock& operator=(const TracedLock&) = delete;

 private:
  brix::Mutex* const mu_;
  const char* const operation_;
};

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

// Whether a SQLite result code says that the database refused the write,
// as opposed to the one record being at fault: locked past the busy
// timeout, full, read-only, unreadable.  Every later record of a batch
// would fail the same way (and a lock would be waited out again for each).
inline bool IsDatabaseFailure(int rc) {
  switch (rc & 0xff) {
    case SQLITE_PERM:
    case SQLITE_ABORT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_NOTADB:
      return true;
    default:
      return false;
  }
}

// Writes a whole buffer in one transaction.  A record that fails on its own
// (the store logged why) is dropped.  When the database refuses the batch
// (a database failure above, or the commit itself fails), the transaction
// is rolled back and every record stays queued for the next flush: a flush
// counts only what it committed, so a caller that is told the records were
// written may rely on them being in the file.  Without a connection the
// buffer is kept as well.
//
// When it writes nothing though records were queued, `reason` (if given)
// says why.
template <typename Record, typename Store>
uint64_t FlushBuffer(std::deque<Record>& buffer,
                     const std::shared_ptr<sqlite3>& db, const char* function,
                     Store store, brix::Status* reason) {
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s", function);
  if (buffer.empty()) return 0;
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s - %d items", function,
              static_cast<int>(buffer.size()));
  if (!db) {
    BRIX_LOG_AS(BRIX_ERROR, function, kFile, "m_DB is released");
    if (reason != nullptr)
      *reason = brix::Status::Error(std::string(function) + " kept " +
                                    std::to_string(buffer.size()) +
                                    " records: the database is closed");
    return 0;
  }
  sqlite3_exec(db.get(), "BEGIN TRANSACTION", nullptr, nullptr, nullptr);
  uint64_t stored = 0;
  int rc = SQLITE_OK;
  for (Record& record : buffer) {
    if (store(record) != 0) {
      ++stored;
      continue;
    }
    const int failure = sqlite3_errcode(db.get());
    if (IsDatabaseFailure(failure)) {
      rc = failure;
      break;
    }
  }
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db.get(), "END TRANSACTION", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    buffer.clear();
    return stored;
  }
  // A failed write may already have ended the transaction; the rollback
  // then has nothing to do.
  sqlite3_exec(db.get(), "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
  BRIX_LOG_AS(BRIX_ERROR, function, kFile,
              "%s - %d records not written, kept for the next flush. rc: %d",
              function, static_cast<int>(buffer.size()), rc);
  if (reason != nullptr)
    *reason = brix::Status::Error(
        std::string(function) + " kept " + std::to_string(buffer.size()) +
        " records: the database refused them, rc: " + std::to_string(rc) +
        " (" + sqlite3_errstr(rc) + ")");
  return 0;
}

}  // namespace brix_dal

#endif  // BRIX_BRIXDALINTERNAL_H_
