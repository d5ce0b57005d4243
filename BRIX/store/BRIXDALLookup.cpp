// BRIXDALLookup.cpp: judging a file by its digests against InventoryItems.
//
// Order: execution and agent rules by SHA-256 and size; then, only while
// such rules exist, items known only by SHA-1 and then only by MD5; last
// any item by SHA-256 and size.  Each query takes the newest row.
//
// IMPORT AND REBUILD STATES
//
// Two states, read from the operating modes at every judged row, decide
// which rows may answer while a ruleset is imported or the inventory is
// rebuilt.  The watermarks are the largest row ids before the change
// began: I = previousMaxInventoryItemId, R = previousMaxRulesetItemId.
//
//   importState   execution and agent rule rows that may answer
//   -----------   ---------------------------------------------
//   0             all
//   1             id <= I  (rows from before the import)
//   2             id > R   (rows the import wrote)
//   other         none: logged as unsupported, the row blocks
//
//   rebuildState  inventory rows that may answer    drift rows
//   ------------  --------------------------------  ----------
//   0 (IDLE)      all                               all
//   1 (SCAN)      id <= I  (the inventory before)   all
//   2 (SCAN)      id > I   (the rebuilt inventory)  id > I
//   other         none: logged as unsupported, the row blocks
//
// Transitions: none inside the engine.  Nothing sets the states or the
// watermarks (BRIXConfig has setters without a caller), so both states
// stay 0 from load to unload and every row may answer; the tables say
// what a row may answer once a caller sets them.  The states are atomic
// words read without the store's mutex, so one lookup may judge two rows
// under different states if they change in between.

#include <sqlite3.h>

#include "BRIXConfig.h"
#include "BRIXDALInternal.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"

using brix_dal::kFile;
using brix_dal::ResetAndClear;

namespace {

// Result columns of "SELECT * FROM InventoryItems".
constexpr int kColumnId = 0;
constexpr int kColumnIsAuthorized = 9;
constexpr int kColumnSource = 10;
constexpr int kColumnRuleset = 11;

bool BindDigest(sqlite3_stmt* s, const char* name, const Hash& digest) {
  return sqlite3_bind_blob(s, sqlite3_bind_parameter_index(s, name),
                           digest.GetBytes(),
                           static_cast<int>(digest.GetSize()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

bool BindSizeAndHash(sqlite3_stmt* s, const ac_event& event) {
  return sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":size"),
                            static_cast<sqlite3_int64>(event.size)) ==
             SQLITE_OK &&
         BindDigest(s, ":hash", event.fileSha256);
}

uint64_t RowId(sqlite3_stmt* row) {
  return static_cast<uint64_t>(sqlite3_column_int64(row, kColumnId));
}

}  // namespace

bool BRIXDAL::IsAllowedInDB(ac_event& event) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return IsAllowedInDBInternal(event);
}

bool BRIXDAL::IsAllowedInDBInternal(ac_event& event) {
  event.auxiliary4 = 0;
  int rc = 0;
  std::shared_ptr<sqlite3_stmt> stmt = IsAllowedInDBSearch(event, rc);
  if (!stmt) return false;
  sqlite3_stmt* row = stmt.get();

  if (rc == SQLITE_DONE) {
    event.decision = AC_DECISION_UNKNOWN;
    event.isAuthorized = AC_AUTH_NOT_AUTHORIZED;
    BRIX_LOG(BRIX_TRACE, kFile, "No results found in database");
    ResetAndClear(row);
    return true;
  }
  while (rc == SQLITE_ROW) {
    const int source = sqlite3_column_int(row, kColumnSource);
    const unsigned authorized =
        static_cast<unsigned>(sqlite3_column_int(row, kColumnIsAuthorized));
    BRIX_LOG(BRIX_TRACE, kFile,
             "Found result in inventory with Source= %d and isAuthorized= %d.",
             source, authorized);
    switch (source) {
      case DAL_SOURCE_AGENT_RULES:
        event.decision = AC_DECISION_ALLOWED;
        event.isAuthorized = AC_AUTH_ALLOW_LIST;
        break;
      case DAL_SOURCE_EXECUTION_RULES:
        if (IsAllowedInRuleSet(row)) {
          event.decision = AC_DECISION_ALLOWED;
          event.isAuthorized = AC_AUTH_ALLOW_LIST;
        } else {
          event.decision = AC_DECISION_BLOCKED;
          event.isAuthorized = AC_AUTH_NOT_APPROVED;
        }
        break;
      case DAL_SOURCE_SCANNED_ITEMS:
        event.decision = IsAllowedInInventory(row) ? AC_DECISION_ALLOWED
                                                   : AC_DECISION_BLOCKED;
        event.isAuthorized = AC_AUTH_ALLOW_LIST;
        break;
      default:
        // An unauthorised row of another source judges nothing.
        if (authorized != 0) {
          event.decision = IsAllowedInDrift(row) ? AC_DECISION_ALLOWED
                                                 : AC_DECISION_BLOCKED;
          event.isAuthorized = AC_AUTH_ALLOW_LIST;
        }
        break;
    }
    event.source = static_cast<uint32_t>(source);
    const unsigned char* ruleset = sqlite3_column_text(row, kColumnRuleset);
    event.ruleset = ruleset ? reinterpret_cast<const char*>(ruleset) : "";
    rc = sqlite3_step(row);
  }
  if (rc == SQLITE_DONE) {
    ResetAndClear(row);
    return true;
  }
  BRIX_LOG(BRIX_ERROR, kFile, "DAL Error%s\n",
           GetLastDBErrorString().c_str());
  ResetAndClear(row);
  return false;
}

std::shared_ptr<sqlite3_stmt> BRIXDAL::IsAllowedInDBSearch(ac_event& event,
                                                           int& stepResult) {
  std::shared_ptr<sqlite3_stmt> rules = m_pLookupItemAuthRulesetStmt.Get();
  if (!rules) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pLookupItemAuthRulesetStmt is released");
    event.decision = AC_DECISION_UNKNOWN;
    return nullptr;
  }
  if (!event.fileSha256.HasBytes()) {
    BRIX_LOG(BRIX_ERROR, kFile, "SHA256 value is empty, unable to create query");
    return nullptr;
  }
  if (!BindSizeAndHash(rules.get(), event)) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query");
    event.decision = AC_DECISION_UNKNOWN;
    sqlite3_clear_bindings(rules.get());
    return nullptr;
  }
  stepResult = sqlite3_step(rules.get());
  if (stepResult == SQLITE_ROW) return rules;
  BRIX_LOG(BRIX_TRACE, kFile,
           "Did not find sha256 match with source=2 or source=1. Checking for "
           "sha1 or md5 match");
  ResetAndClear(rules.get());

  // Items stored without SHA-256, found by their other digests; only worth
  // a query while execution rules with such digests exist.
  struct Fallback {
    uint64_t ruleCount;
    const Hash& digest;
    StmtHandle& handle;
    const char* countLine;
    const char* releasedLine;
    const char* parameter;
    const char* bindFailedLine;
  };
  const Fallback fallbacks[] = {
      {m_sha1RuleCount, event.fileSha1, m_pLookupItemAlternateSHA1HashStmt,
       "The number of sha1 rules is: %d",
       "m_pLookupItemAlternateSHA1HashStmt is released", ":sha1",
       "Unable to create query from sha1"},
      {m_md5RuleCount, event.fileMd5, m_pLookupItemAlternateMD5HashStmt,
       "The number of md5 rules is: %d",
       "m_pLookupItemAlternateMD5HashStmt is released", ":md5",
       "Unable to create query from md5"},
  };
  for (const Fallback& f : fallbacks) {
    if (f.ruleCount == 0 || !f.digest.HasBytes()) continue;
    BRIX_LOG(BRIX_TRACE, kFile, f.countLine, static_cast<int>(f.ruleCount));
    std::shared_ptr<sqlite3_stmt> alt = f.handle.Get();
    if (!alt) {
      BRIX_LOG(BRIX_ERROR, kFile, "%s", f.releasedLine);
      event.decision = AC_DECISION_UNKNOWN;
      return nullptr;
    }
    if (!BindDigest(alt.get(), f.parameter, f.digest)) {
      BRIX_LOG(BRIX_WARNING, kFile, "%s", f.bindFailedLine);
      event.decision = AC_DECISION_UNKNOWN;
      sqlite3_clear_bindings(alt.get());
      return nullptr;
    }
    stepResult = sqlite3_step(alt.get());
    if (stepResult == SQLITE_ROW) return alt;
    ResetAndClear(alt.get());
  }
  BRIX_LOG(BRIX_TRACE, kFile, "Did not find item with source=2 or source=1.");

  std::shared_ptr<sqlite3_stmt> any = m_pLookupItemAuthStmt.Get();
  if (!any) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pLookupItemAuthStmt is released");
    event.decision = AC_DECISION_UNKNOWN;
    return nullptr;
  }
  if (!BindSizeAndHash(any.get(), event)) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query");
    event.decision = AC_DECISION_UNKNOWN;
    sqlite3_clear_bindings(any.get());
    return nullptr;
  }
  stepResult = sqlite3_step(any.get());
  return any;
}

bool BRIXDAL::IsAllowedInRuleSet(sqlite3_stmt* row) {
  BRIX_LOG(BRIX_TRACE, kFile, "Checking %s\n", "IsAllowedInRuleSet");
  const int importState = config.GetImportState();
  switch (importState) {
    case 0:
      break;
    case 1:
      if (RowId(row) > config.GetPreviousMaxInventoryItemId()) return false;
      break;
    case 2:
      if (RowId(row) <= config.GetPreviousMaxRulesetItemId()) return false;
      break;
    default:
      BRIX_LOG(BRIX_ERROR, kFile, "Unsupported importState: %d\n",
               importState);
      return false;
  }
  return sqlite3_column_int(row, kColumnIsAuthorized) != 0;
}

bool BRIXDAL::IsAllowedInInventory(sqlite3_stmt* row) {
  BRIX_LOG(BRIX_TRACE, kFile, "Checking if allowed in inventory!");
  const int rebuildState = config.GetRebuildState();
  BRIX_LOG(BRIX_TRACE, kFile, "Rebuild state: %d", rebuildState);
  // The id is read as a 32-bit int here, unlike the other judgements.
  const uint64_t id = static_cast<uint64_t>(static_cast<int64_t>(
      sqlite3_column_int(row, kColumnId)));
  switch (rebuildState) {
    case 0:
      BRIX_LOG(BRIX_TRACE, kFile,
               "REBUILD_STATE_IDLE returning true from IsAllowedInInventory");
      return true;
    case 1:
      BRIX_LOG(BRIX_TRACE, kFile,
               "REBUILD_STATE_SCAN checking inventory item id less than max "
               "inventory item id");
      return id <= config.GetPreviousMaxInventoryItemId();
    case 2:
      BRIX_LOG(BRIX_TRACE, kFile,
               "REBUILD_STATE_SCAN checking inventory item id greater than "
               "max inventory item id");
      return id > config.GetPreviousMaxInventoryItemId();
    default:
      BRIX_LOG(BRIX_ERROR, kFile, "Unsupported rebuildState: %d\n",
               rebuildState);
      return false;
  }
}

bool BRIXDAL::IsAllowedInDrift(sqlite3_stmt* row) {
  BRIX_LOG(BRIX_TRACE, kFile, "Checking %s\n", "IsAllowedInDrift");
  const int rebuildState = config.GetRebuildState();
  switch (rebuildState) {
    case 0:
    case 1:
      return true;
    case 2:
      return RowId(row) > config.GetPreviousMaxInventoryItemId();
    default:
      BRIX_LOG(BRIX_ERROR, kFile, "Unsupported rebuildState: %d\n",
               rebuildState);
      return false;
  }
}
