// BRIXDataAccessLayer.cpp: opening, migrating, preparing, finalizing,
// deleting and purging the rule database.
#include "BRIXDataAccessLayer.h"

#include <pthread.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "BRIXDALInternal.h"
#include "BRIXLogger.h"
#include "BRIXSchema.h"
#include "BRIXStats.h"
#include "brix_sql.h"

namespace {
constexpr const char* kFile = kLogFileDAL;
}  // namespace

struct BRIXDAL::StatementInfo {
  StmtHandle BRIXDAL::*member;
  const char* name;
  const char* const* sql;  // the exported pointer, read at prepare time
};

// Preparation order.
const BRIXDAL::StatementInfo BRIXDAL::kStatements[] = {
    {&BRIXDAL::m_pInsertItemStmt, "m_pInsertItemStmt", &InsertItemSQL},
    {&BRIXDAL::m_pInsertTrustRuleStmt, "m_pInsertTrustRuleStmt",
     &InsertTrustRuleSQL},
    {&BRIXDAL::m_pInsertUserListStmt, "m_pInsertUserListStmt",
     &InsertUserListSQL},
    {&BRIXDAL::m_pUpdatePrelinkItemStmt, "m_pUpdatePrelinkItemStmt",
     &UpdatePrelinkItemSQL},
    {&BRIXDAL::m_pLookupMD5CountStmt, "m_pLookupMD5CountStmt",
     &LookupMD5_CountSQL},
    {&BRIXDAL::m_pLookupSHA1CountStmt, "m_pLookupSHA1CountStmt",
     &LookupSHA1_CountSQL},
    {&BRIXDAL::m_pLookupItemAuthStmt, "m_pLookupItemAuthStmt",
     &LookupItemAuthSQL},
    {&BRIXDAL::m_pLookupItemAuthRulesetStmt, "m_pLookupItemAuthRulesetStmt",
     &LookupItemAuthRulesetSQL},
    {&BRIXDAL::m_pLookupItemAlternateSHA1HashStmt,
     "m_pLookupItemAlternateSHA1HashStmt", &LookupItemAlternateSHA1HashSQL},
    {&BRIXDAL::m_pLookupItemAlternateMD5HashStmt,
     "m_pLookupItemAlternateMD5HashStmt", &LookupItemAlternateMD5HashSQL},
    {&BRIXDAL::m_pLookupTrustRuleStmt, "m_pLookupTrustRuleStmt",
     &LookupTrustRuleSQL},
    {&BRIXDAL::m_pLookupUserListStmt, "m_pLookupUserListStmt",
     &LookupUserListSQL},
    {&BRIXDAL::m_pUpdateTrustRuleHitcountStmt,
     "m_pUpdateTrustRuleHitcountStmt", &UpdateTrustRuleHitcountSQL},
    {&BRIXDAL::m_pMetricsLookupTrustRuleStmt, "m_pMetricsLookupTrustRuleStmt",
     &MetricsLookupTrustRuleSQL},
    {&BRIXDAL::m_pLookupRuleCountStmt, "m_pLookupRuleCountStmt",
     &LookupRuleCountSQL},
    {&BRIXDAL::m_pLookupTrustRuleCountStmt, "m_pLookupTrustRuleCountStmt",
     &LookupTrustRuleCountSQL},
    {&BRIXDAL::m_pLookupUserGroupTrustRuleCountStmt,
     "m_pLookupUserGroupTrustRuleCountStmt", &LookupUserGroupTrustRuleCountSQL},
    {&BRIXDAL::m_pLookupRulesetCountStmt, "m_pLookupRulesetCountStmt",
     &LookupRulesetCountSQL},
    {&BRIXDAL::m_pDeleteInventoryItemsStmt, "m_pDeleteInventoryItemsStmt",
     &DeleteInventoryItemsSQL},
    {&BRIXDAL::m_pGetAcStateStmt, "m_pGetAcStateStmt", &GetAcStateSQL},
    {&BRIXDAL::m_pSetAcStateStmt, "m_pSetAcStateStmt", &SetAcStateSQL},
};
const size_t BRIXDAL::kStatementCount =
    sizeof(BRIXDAL::kStatements) / sizeof(BRIXDAL::kStatements[0]);

// Finalize releases in this order, the connection last.
const BRIXDAL::StatementInfo BRIXDAL::kFinalizeOrder[] = {
    {&BRIXDAL::m_pInsertItemStmt, "m_pInsertItemStmt", nullptr},
    {&BRIXDAL::m_pInsertTrustRuleStmt, "m_pInsertTrustRuleStmt", nullptr},
    {&BRIXDAL::m_pInsertUserListStmt, "m_pInsertUserListStmt", nullptr},
    {&BRIXDAL::m_pUpdatePrelinkItemStmt, "m_pUpdatePrelinkItemStmt", nullptr},
    {&BRIXDAL::m_pLookupItemAuthStmt, "m_pLookupItemAuthStmt", nullptr},
    {&BRIXDAL::m_pLookupItemAuthRulesetStmt, "m_pLookupItemAuthRulesetStmt", nullptr},
    {&BRIXDAL::m_pLookupItemAlternateMD5HashStmt, "m_pLookupItemAlternateMD5HashStmt", nullptr},
    {&BRIXDAL::m_pLookupItemAlternateSHA1HashStmt, "m_pLookupItemAlternateSHA1HashStmt", nullptr},
    {&BRIXDAL::m_pLookupTrustRuleStmt, "m_pLookupTrustRuleStmt", nullptr},
    {&BRIXDAL::m_pLookupUserListStmt, "m_pLookupUserListStmt", nullptr},
    {&BRIXDAL::m_pUpdateTrustRuleHitcountStmt, "m_pUpdateTrustRuleHitcountStmt", nullptr},
    {&BRIXDAL::m_pMetricsLookupTrustRuleStmt, "m_pMetricsLookupTrustRuleStmt", nullptr},
    {&BRIXDAL::m_pLookupRuleCountStmt, "m_pLookupRuleCountStmt", nullptr},
    {&BRIXDAL::m_pLookupTrustRuleCountStmt, "m_pLookupTrustRuleCountStmt", nullptr},
    {&BRIXDAL::m_pLookupMD5CountStmt, "m_pLookupMD5CountStmt", nullptr},
    {&BRIXDAL::m_pLookupSHA1CountStmt, "m_pLookupSHA1CountStmt", nullptr},
    {&BRIXDAL::m_pLookupUserGroupTrustRuleCountStmt, "m_pLookupUserGroupTrustRuleCountStmt", nullptr},
    {&BRIXDAL::m_pLookupRulesetCountStmt, "m_pLookupRulesetCountStmt", nullptr},
    {&BRIXDAL::m_pDeleteInventoryItemsStmt, "m_pDeleteInventoryItemsStmt", nullptr},
    {&BRIXDAL::m_pGetAcStateStmt, "m_pGetAcStateStmt", nullptr},
    {&BRIXDAL::m_pSetAcStateStmt, "m_pSetAcStateStmt", nullptr},
};


BRIXDAL* BRIXDAL::GetDAL() {
  static BRIXDAL instance;
  return &instance;
}

BRIXDAL::BRIXDAL() : m_schema(kSchemaScripts, kSchemaScripts + kSchemaScriptCount) {
  // The destructor logs and counts; making sure the logger and the counters
  // exist first makes them outlive this object at unload.
  BRIXLogger::GetInstance();
  BRIXStats::GetStats();
}

BRIXDAL::~BRIXDAL() { ShutdownDAL(); }

bool BRIXDAL::SetDBPath(const std::string& path) {
  brix::MutexLock lock(&m_initMutex);
  if (m_DB.IsSet()) return false;
  m_dbPath = path;
  return true;
}

std::string BRIXDAL::GetDBPath() {
  brix::MutexLock lock(&m_initMutex);
  return m_dbPath;
}

brix::Status BRIXDAL::InitDB(bool /*readOnly*/) {
  m_initMutex.Lock();
  brix::Status result = _InitDB(false);
  m_initMutex.Unlock();
  // The counts take m_mutex, which is never held with m_initMutex.
  m_trustRulesPresent = TrustRulesCount() > 0;
  ReloadTrustRuleIndex();
  m_md5RuleCount = static_cast<uint64_t>(MD5RulesCount());
  m_sha1RuleCount = static_cast<uint64_t>(SHA1RulesCount());
  return result;
}

namespace {
// "<what> failed. rc: <rc> (<SQLite's text for it>)": a failure's reason.
brix::Status SqliteFailure(const char* what, int rc) {
  return brix::Status::Error(std::string(what) + " failed. rc: " +
                             std::to_string(rc) + " (" + sqlite3_errstr(rc) +
                             ")");
}
}  // namespace

brix::Status BRIXDAL::_InitDB(bool readOnly) {
  if (m_DB.IsSet()) {
    BRIX_LOG(BRIX_WARNING, kFile, "m_DB is not null.");
    return PrepareStatements();
  }
  if (m_dbPath.empty()) m_dbPath = "ac.db";

  sqlite3* raw = nullptr;
  const int flags = readOnly ? SQLITE_OPEN_READONLY
                             : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(m_dbPath.c_str(), &raw, flags, nullptr);
  if (rc != SQLITE_OK) {
    BRIX_LOG(BRIX_ERROR, kFile, "sqlite3_open_v2 failed. rc: %d", rc);
    sqlite3_close_v2(raw);  // SQLite may hand out a handle even on failure
    return SqliteFailure(("opening " + m_dbPath).c_str(), rc);
  }
  m_DB.Set(std::shared_ptr<sqlite3>(raw, sqlite3_close_v2));
  sqlite3_busy_timeout(raw, 5000);

  sqlite3_stmt* pragma = nullptr;
  rc = sqlite3_prepare_v2(raw, "PRAGMA user_version;", -1, &pragma, nullptr);
  if (rc != SQLITE_OK) {
    BRIX_LOG(BRIX_ERROR, kFile, "PRAGMA user_version failed. rc: %d", rc);
    return SqliteFailure("reading the schema version", rc);
  }
  rc = sqlite3_step(pragma);
  if (rc != SQLITE_ROW) {
    BRIX_LOG(BRIX_ERROR, kFile, "Init or Update Schema failed. rc: %d", rc);
    sqlite3_finalize(pragma);
    return SqliteFailure("reading the schema version", rc);
  }
  const int version = sqlite3_column_int(pragma, 0);
  sqlite3_finalize(pragma);
  BRIX_LOG(BRIX_INFO, kFile, "SCHEMA user_version: %d", version);

  if (version == 0) {
    BRIX_LOG(BRIX_ERROR, kFile, "SCHEMA SIZE: %d",
             static_cast<int>(m_schema.size()));
    for (const char* script : m_schema) {
      rc = sqlite3_exec(raw, script, nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) {
        BRIX_LOG(BRIX_ERROR, kFile,
                 "sqlite3_exec for schema size failed fro version 0. rc: %d",
                 rc);
        return SqliteFailure("creating the schema", rc);
      }
    }
  } else if (version >= kOldestMigratableVersion &&
             version < CURRENT_SCHEMA_VERSION) {
    for (size_t i = static_cast<size_t>(version - 3); i < m_schema.size();
         ++i) {
      rc = sqlite3_exec(raw, m_schema[i], nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) {
        BRIX_LOG(BRIX_ERROR, kFile,
                 "sqlite3_exec for schema size failed. rc: %d", rc);
        return SqliteFailure(
            ("migrating the schema from version " + std::to_string(version))
                .c_str(),
            rc);
      }
    }
  } else if (version > CURRENT_SCHEMA_VERSION) {
    BRIX_LOG(BRIX_ERROR, kFile,
             "Unsupported DB user_verson: %d. current version: %d", version,
             CURRENT_SCHEMA_VERSION);
    // A file from a newer engine is replaced by a new one.  If it cannot be
    // removed, opening it again would only find the same version: stop.
    brix::Status deleted = _DeleteDB();
    if (!deleted)
      return brix::Status::Error("the file has the newer schema version " +
                                 std::to_string(version) +
                                 " and could not be replaced: " +
                                 deleted.reason());
    return _InitDB(readOnly);
  }
  return PrepareStatements();
}

brix::Status BRIXDAL::PrepareStatements() {
  std::shared_ptr<sqlite3> db = m_DB.Get();
  if (!db) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_DB is released");
    return brix::Status::Error("the connection is closed");
  }
  for (const StatementInfo& info : kStatements) {
    StmtHandle& handle = this->*info.member;
    if (handle.IsSet()) continue;
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db.get(), *info.sql, -1, &stmt, nullptr);
    if (stmt != nullptr) {
      // The statement keeps the connection alive: a connection is never
      // closed under a statement that an operation still holds.
      handle.Set(std::shared_ptr<sqlite3_stmt>(
          stmt, [db](sqlite3_stmt* s) { sqlite3_finalize(s); }));
    }
    if (rc != SQLITE_OK) {
      BRIX_LOG(BRIX_ERROR, kFile, "sqlite3_prepare_v2 failed. rc: %d", rc);
      Finalize();
      return SqliteFailure((std::string("preparing ") + info.name).c_str(),
                           rc);
    }
  }
  return brix::Status::OK();
}

void BRIXDAL::Finalize() {
  auto report = [](SharedHandle<sqlite3_stmt>::Release r, const char* name) {
    if (r == SharedHandle<sqlite3_stmt>::Release::kReleased)
      BRIX_LOG_AS(BRIX_ERROR, "Finalize", kFile, "Finalize %s", name);
    else
      BRIX_LOG_AS(BRIX_ERROR, "Finalize", kFile, "ignore Finalize %s", name);
  };
  for (const StatementInfo& info : kFinalizeOrder)
    report((this->*info.member).ReleaseIfSole(), info.name);
  const auto r = m_DB.ReleaseIfSole();
  if (r == DBHandle::Release::kReleased)
    BRIX_LOG(BRIX_ERROR, kFile, "Finalize %s", "m_DB");
  else
    BRIX_LOG(BRIX_ERROR, kFile, "ignore Finalize %s", "m_DB");
}

void BRIXDAL::ShutdownDAL() {
  if (m_DB.IsSet()) {
    m_mutex.Lock();
    const bool items = !m_itemBuffer.empty();
    const bool rules = !m_trustRuleBuffer.empty();
    const bool users = !m_userListBuffer.empty();
    m_mutex.Unlock();
    if (items) StoreItemFlush();
    if (rules) StoreTrustRuleFlush();
    if (users) StoreUserListFlush();
  }
  m_initMutex.Lock();
  Finalize();
  m_initMutex.Unlock();
}

brix::Status BRIXDAL::_DeleteDB() {
  BRIX_LOG(BRIX_TRACE, kFile, "Attempting to delete database file at %s",
           m_dbPath.c_str());
  // The caller forgets the stored rules (under m_mutex, which a call from
  // _InitDB at open does not hold: InitDB reads them anew afterwards).
  Finalize();
  // The file goes even when a running operation kept the connection open.
  if (remove(m_dbPath.c_str()) == 0) {
    BRIX_LOG(BRIX_TRACE, kFile, "Successfully deleted database file");
    return brix::Status::OK();
  }
  const int err = errno;
  BRIX_LOG(BRIX_ERROR, kFile,
           "Failed to delete database after closing. Errno: %d", err);
  if (err == ENOENT) return brix::Status::OK();  // already gone
  return brix::Status::Error("removing " + m_dbPath + " failed: " +
                             strerror(err));
}

brix::Status BRIXDAL::DeleteDB() {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  // Whatever happens to the file, its rules are no longer this one's to
  // trust; whatever is opened next is read anew.
  ForgetTrustRulesInternal();
  return _DeleteDB();
}

brix::Status BRIXDAL::PurgeDB(DALSource source) {
  BRIX_LOG(BRIX_TRACE, kFile, "PurgeDB lock");
  m_mutex.Lock();
  char command[128] = {};
  brix::Status result;
  bool run = false;

  if (source == DAL_SOURCE_TRUST_RULES) {
    snprintf(command, sizeof(command),
             "DELETE FROM TrustRules; DELETE FROM UserList;");
    m_trustIndexStale |= kTrustIndexReload;
    run = m_DB.IsSet();
  } else if (source == DAL_SOURCE_ALL) {
    ForgetTrustRulesInternal();
    const brix::Status deleted = _DeleteDB();
    if (!m_DB.IsSet()) {
      BRIX_LOG(BRIX_TRACE, kFile, "Re-initializing database after %s deletion.",
               deleted ? "successful" : "failed");
      const brix::Status reopened = _InitDB(false);
      if (!reopened) {
        BRIX_LOG(BRIX_ERROR, kFile,
                 "Database closed and then failed to reopen during purge");
        result = brix::Status::Error("reopening after the purge failed: " +
                                     reopened.reason());
      } else if (!deleted) {
        // The old file could not be removed: empty it instead.
        snprintf(command, sizeof(command),
                 "DELETE FROM InventoryItems; DELETE FROM TrustRules; DELETE "
                 "FROM UserList;");
        run = true;
      }
    } else if (!deleted) {
      snprintf(command, sizeof(command),
               "DELETE FROM InventoryItems; DELETE FROM TrustRules; DELETE "
               "FROM UserList;");
      run = true;
    }
  } else {
    snprintf(command, sizeof(command),
             "DELETE FROM InventoryItems WHERE source = %d;",
             static_cast<int>(source));
    run = m_DB.IsSet();
  }

  if (run) {
    // VACUUM may renumber the user list rows (the table has no key of its
    // own); a failed delete leaves rules behind.  Read back what is there.
    m_trustIndexStale |= source == DAL_SOURCE_TRUST_RULES ||
                                 source == DAL_SOURCE_ALL
                             ? kTrustIndexReload
                             : kTrustIndexReloadUserLists;
    BRIX_LOG(BRIX_TRACE, kFile, "executing %s", command);
    std::shared_ptr<sqlite3> db = m_DB.Get();
    int rc = sqlite3_exec(db.get(), command, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      BRIX_LOG(BRIX_TRACE, kFile, "executing %s failed", command);
      result = SqliteFailure(command, rc);
    }
    BRIX_LOG(BRIX_TRACE, kFile, "Vacuuming");
    rc = sqlite3_exec(db.get(), "VACUUM;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && result) result = SqliteFailure("VACUUM", rc);
  }
  SyncTrustRuleIndexInternal();

  BRIX_LOG(BRIX_TRACE, kFile, "Returning from PurgeDB with retval %d unlock",
           result ? 1 : 0);
  m_mutex.Unlock();
  return result;
}

std::string BRIXDAL::GetLastDBErrorString() {
  std::shared_ptr<sqlite3> db = m_DB.Get();
  const int code = db ? sqlite3_errcode(db.get()) : -1;
  return sqlite3_errstr(code);
}

void graceful_exit(const char* name) {
  BRIX_LOG(BRIX_ERROR, kFile, "%s is NULL, now exit tbread", name);
  pthread_exit(nullptr);
}

int checked_bind_text(sqlite3_stmt* stmt, int index, const char* text) {
  if (stmt == nullptr) graceful_exit("pStmt");
  return sqlite3_bind_text(stmt, index, text, -1, SQLITE_TRANSIENT);
}
