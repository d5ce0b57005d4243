// BRIXDALStore.cpp: inventory writes: direct and buffered stores, deletion
// of replaced versions, and the refresh of prelinked files.
#include <sqlite3.h>

#include "BRIXDALInternal.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "FileUtil.h"

using brix_dal::Index;
using brix_dal::kFile;
using brix_dal::ResetAndClear;

namespace {

// The column value for the event's authorisation state.
int AuthorizedColumn(uint32_t state) {
  switch (state) {
    case AC_AUTH_MAINTENANCE_WINDOW:
    case AC_AUTH_ALLOW_LIST:
    case AC_AUTH_TRUSTED:
      return 1;
    case AC_AUTH_NOT_APPROVED:
      return 0;
    default:
      BRIX_LOG_AS(BRIX_WARNING, "StoreItemInternal", kFile,
                  "Unhandled authorizedState %d, default to on the allow "
                  "list(3)",
                  state);
      return AC_AUTH_ALLOW_LIST;
  }
}

bool BindDigestIfSet(sqlite3_stmt* s, const char* name, const Hash& digest) {
  if (!digest.HasBytes()) return true;
  return sqlite3_bind_blob(s, Index(s, name), digest.GetBytes(),
                           static_cast<int>(digest.GetSize()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

// The host's item as an event, the form every store operation takes.
void ItemToEvent(const ac_db_item_s* item, ac_event& event) {
  event.source = item->source;
  event.path = item->path;
  event.nativePath = item->nativePath;
  event.name = item->nativePath;
  event.fileName = item->fileName;
  event.size = item->size;
  event.fileSha1 = SHA1Hash(item->sha1);
  event.fileSha256 = SHA256Hash(item->sha256);
  event.fileMd5 = MD5Hash(item->md5);
  event.isAuthorized =
      item->isAuthorized ? AC_AUTH_ALLOW_LIST : AC_AUTH_NOT_APPROVED;
  event.ruleset = item->ruleset;
}

}  // namespace

uint64_t BRIXDAL::StoreItem(ac_event& event) {
  if (IsFoundInTrustRules(DAL_TRUST_EXCLUDE, event)) {
    BRIX_LOG(BRIX_TRACE, kFile, "StoreItem exclude path: %s ",
             event.name.c_str());
    BRIXStats::GetStats()->Inc("InventoryItemExcludedByTrustRule");
    return 0;
  }
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreItemInternal(event);
}

uint64_t BRIXDAL::StoreItemBuffer(ac_event& event) {
  if (IsFoundInTrustRules(DAL_TRUST_EXCLUDE, event)) {
    BRIX_LOG(BRIX_TRACE, kFile, "StoreItemBuffer exclude path: %s ",
             event.name.c_str());
    BRIXStats::GetStats()->Inc("InventoryItemExcludedByTrustRule");
    // Buffered callers treat a kept-out item as handled.
    return 1;
  }
  brix_dal::TracedLock lock(&m_mutex, __func__);
  m_itemBuffer.push_back(event);
  uint64_t result = 1;
  if (m_itemBuffer.size() > kMaxBufferedRecords)
    result = StoreItemFlushInternal();
  return result;
}

uint64_t BRIXDAL::StoreItem(const ac_db_item_s* item) {
  ac_event event;
  ItemToEvent(item, event);
  return StoreItem(event);
}

uint64_t BRIXDAL::StoreItemBuffer(const ac_db_item_s* item) {
  ac_event event;
  ItemToEvent(item, event);
  return StoreItemBuffer(event);
}

uint64_t BRIXDAL::StoreItemInternal(ac_event& event) {
  if (event.source == DAL_SOURCE_SCANNED_ITEMS) {
    const size_t dot = event.fileName.rfind('.');
    if (dot != std::string::npos) event.extension = event.fileName.substr(dot + 1);
    // Counted, not refused: the host decides what its scans store.
    if (!m_query.ShouldPersistInInventory(event)) {
      BRIXStats* stats = BRIXStats::GetStats();
      stats->IncType(BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION, event.extension);
      stats->Inc("TotalInventoryUnknownExtension");
    }
  }
  std::shared_ptr<sqlite3_stmt> stmt = m_pInsertItemStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pInsertItemStmt is released");
    return 0;
  }
  sqlite3_stmt* s = stmt.get();
  event.recordTime = GetCurrentTimeInMillis();

  const char* failed = nullptr;
  if (!BindDigestIfSet(s, ":md5", event.fileMd5))
    failed = "Unable to bind md5, aborting db insert";
  else if (!BindDigestIfSet(s, ":sha1", event.fileSha1))
    failed = "Unable to bind sha1, aborting db insert";
  else if (!BindDigestIfSet(s, ":sha256", event.fileSha256))
    failed = "Unable to bind sha256, aborting db insert";
  else if (sqlite3_bind_int(s, Index(s, ":source"),
                            static_cast<int>(event.source)) != SQLITE_OK)
    failed = "Unable to bind source, aborting db insert";
  else if (checked_bind_text(s, Index(s, ":fileName"),
                             event.fileName.c_str()) != SQLITE_OK)
    failed = "Unable to bind filename, aborting db insert";
  else if (checked_bind_text(s, Index(s, ":path"), event.path.c_str()) !=
           SQLITE_OK)
    failed = "Unable to bind path, aborting db insert";
  else if (checked_bind_text(s, Index(s, ":nativePath"),
                             event.nativePath.c_str()) != SQLITE_OK)
    failed = "Unable to bind nativepath, aborting db insert";
  else if (sqlite3_bind_int64(s, Index(s, ":size"),
                              static_cast<sqlite3_int64>(event.size)) !=
           SQLITE_OK)
    failed = "Unable to bind size, aborting db insert";
  else if (sqlite3_bind_int64(s, Index(s, ":recordTime"),
                              static_cast<sqlite3_int64>(event.recordTime)) !=
           SQLITE_OK)
    failed = "Unable to bind recordtime, aborting db insert";
  else if (sqlite3_bind_int(s, Index(s, ":isAuthorized"),
                            AuthorizedColumn(event.isAuthorized)) != SQLITE_OK)
    failed = "Unable to bind isauthorized, aborting db insert";
  else if (checked_bind_text(s, Index(s, ":ruleset"),
                             event.ruleset.c_str()) != SQLITE_OK)
    failed = "Unable to bind ruleset, aborting db insert";
  if (failed != nullptr) {
    BRIX_LOG(BRIX_WARNING, kFile, "%s", failed);
    ResetAndClear(s);
    return 0;
  }
  const int rc = sqlite3_step(s);
  const uint64_t result = brix_dal::InsertedRowId(
      rc, rc == SQLITE_DONE ? m_DB.Get() : nullptr, "StoreItemInternal");
  ResetAndClear(s);
  return result;
}

uint64_t BRIXDAL::StoreItemFlushInternal(brix::Status* reason) {
  return brix_dal::FlushBuffer(
      m_itemBuffer, m_DB.Get(), "StoreItemFlushInternal",
      [this](ac_event& e) {
        m_mutex.AssertHeld();  // FlushBuffer runs it under our hold
        return StoreItemInternal(e);
      },
      reason);
}

uint64_t BRIXDAL::StoreItemFlush(brix::Status* reason) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreItemFlushInternal(reason);
}

bool BRIXDAL::WhitelistFile(ac_event& event) {
  switch (event.source) {
    case DAL_SOURCE_SCANNED_ITEMS:
      StoreItemBuffer(event);
      break;
    case DAL_SOURCE_PRELINK:
      UpdatePrelinkItem(event);
      break;
    default:
      // The new version replaces what was known of this file; another
      // thread may act between the two calls.
      event.source = DAL_SOURCE_APPROVED_DRIFT;
      DeleteInventoryItems(event);
      StoreItem(event);
      break;
  }
  return true;
}

bool BRIXDAL::DeleteInventoryItems(ac_event& event) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pDeleteInventoryItemsStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pDeleteInventoryItemsStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  checked_bind_text(s, Index(s, ":fileName"), event.fileName.c_str());
  checked_bind_text(s, Index(s, ":path"), event.path.c_str());
  // Rows may have been stored with or without the folder's trailing "/".
  std::string path2 = event.path;
  if (!path2.empty() && path2.back() == '/') path2.pop_back();
  checked_bind_text(s, Index(s, ":path2"), path2.c_str());

  const int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to delete from any hash");
    ResetAndClear(s);
    m_mutex.Unlock();
    return false;
  }
  std::shared_ptr<sqlite3> db = m_DB.Get();
  if (!db) {
    ResetAndClear(s);
    m_mutex.Unlock();
    BRIX_LOG(BRIX_ERROR, kFile, "m_DB is released");
    return false;
  }
  const int deleted = sqlite3_changes(db.get());
  BRIX_LOG(BRIX_TRACE, kFile, "Deleted %d rows", deleted);
  if (deleted > 0) {
    BRIXStats* stats = BRIXStats::GetStats();
    stats->Set("TotalDeletedEvents", stats->Get("TotalDeletedEvents") + deleted);
  }
  ResetAndClear(s);
  m_mutex.Unlock();
  return true;
}

void BRIXDAL::SetPrelinkHash(const SHA256Hash& hash) {
  brix::MutexLock lock(&m_mutex);
  m_prelinkHash = hash;
}

bool BRIXDAL::UpdatePrelinkItem(ac_event& event) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pUpdatePrelinkItemStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pUpdatePrelinkItemStmt is released");
    return false;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Updating prelink item lock");
  m_mutex.Lock();

  // The recorded hash serves one refresh; a zero-filled value stays behind.
  SHA256Hash previous;
  if (m_prelinkHash.HasBytes()) previous = m_prelinkHash;
  m_prelinkHash.ZeroFill();

  BRIXStats* stats = BRIXStats::GetStats();
  if (!previous.HasBytes() || !event.fileSha256.HasBytes()) {
    stats->Inc("RunPrelinkNohash");
    BRIX_LOG(BRIX_TRACE, kFile, "UpdatePrelinkItem unlock");
    m_mutex.Unlock();
    return false;
  }

  sqlite3_stmt* s = stmt.get();
  auto report = [&](int rc) {
    if (rc != SQLITE_OK)
      BRIX_LOG_AS(BRIX_WARNING, "UpdatePrelinkItem", kFile,
               "SQLite error %d binding attribute parameters to update "
               "statement for file '%s'\n",
               rc, event.name.c_str());
    return rc;
  };
  report(sqlite3_bind_blob(s, Index(s, ":hash"), event.fileSha256.GetBytes(),
                           32, SQLITE_TRANSIENT));
  report(sqlite3_bind_int64(s, Index(s, ":size"),
                            static_cast<sqlite3_int64>(event.size)));
  report(sqlite3_bind_int64(s, Index(s, ":recordTime"),
                            static_cast<sqlite3_int64>(event.recordTime)));
  report(sqlite3_bind_blob(s, Index(s, ":oldhash"), previous.GetBytes(), 32,
                           SQLITE_TRANSIENT));
  report(checked_bind_text(s, Index(s, ":path"), event.path.c_str()));
  const int nameRc =
      report(checked_bind_text(s, Index(s, ":fileName"),
                               event.fileName.c_str()));

  if (nameRc == SQLITE_OK) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) {
      std::shared_ptr<sqlite3> db = m_DB.Get();
      if (!db) {
        m_mutex.Unlock();
        BRIX_LOG(BRIX_ERROR, kFile, "m_DB is released");
        return false;
      }
      const int updated = sqlite3_changes(db.get());
      if (updated >= 1) {
        stats->Inc("RunPrelinkUpdated");
        if (updated != 1)
          BRIX_LOG(BRIX_WARNING, kFile,
                   "Prelink updated more (%d) then we expected\n", updated);
        ResetAndClear(s);
        BRIX_LOG(BRIX_TRACE, kFile, "UpdatePrelinkItem unlock");
        m_mutex.Unlock();
        return true;
      }
    }
  }

  // No row carried the previous hash: keep the file only when the
  // inventory allows it as it is now.
  ResetAndClear(s);
  ac_event copy(event);
  if (IsAllowedInDBInternal(copy) && copy.decision != AC_DECISION_UNKNOWN) {
    StoreItemInternal(event);
    stats->Inc("RunPrelinkApproved");
  } else {
    BRIX_LOG(BRIX_TRACE, kFile, "Unapproved %s %s %d", event.path.c_str(),
             event.fileName.c_str(), static_cast<int>(event.size));
    stats->Inc("RunPrelinkUnapproved");
  }
  BRIX_LOG(BRIX_TRACE, kFile, "UpdatePrelinkItem unlock");
  m_mutex.Unlock();
  return event.decision == AC_DECISION_ALLOWED;
}
