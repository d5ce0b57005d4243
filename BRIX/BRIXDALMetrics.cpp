// BRIXDALMetrics.cpp: rule counts, the database sections of the metrics
// document, and the inventory export.
#include <sqlite3.h>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"

namespace {
constexpr const char* kFile = kLogFileDAL;
}  // namespace

int BRIXDAL::CountInternal(StmtHandle& handle, const char* releasedMessage,
                           const char* lockLine, const char* foundLine,
                           const char* unlockLine) {
  std::shared_ptr<sqlite3_stmt> stmt = handle.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "%s", releasedMessage);
    return 0;
  }
  BRIX_LOG(BRIX_TRACE, kFile, "%s", lockLine);
  m_mutex.Lock();
  int count = 0;
  if (sqlite3_step(stmt.get()) == SQLITE_ROW)
    count = sqlite3_column_int(stmt.get(), 0);
  BRIX_LOG(BRIX_TRACE, kFile, foundLine, count);
  sqlite3_reset(stmt.get());
  BRIX_LOG(BRIX_TRACE, kFile, "%s", unlockLine);
  m_mutex.Unlock();
  return count;
}

int BRIXDAL::TrustRulesCount() {
  return CountInternal(m_pLookupTrustRuleCountStmt,
                       "m_pLookupTrustRuleCountStmt is released",
                       "Preparing count for DBInfoTrustRules lock",
                       "Found following rule count in TrustRules %d",
                       "Preparing count for DBInfoTrustRules unlock");
}

int BRIXDAL::UserGroupTrustRulesCount() {
  return CountInternal(
      m_pLookupUserGroupTrustRuleCountStmt,
      "m_pLookupUserGroupTrustRuleCountStmt is released",
      "Preparing count for DBInfoUserGroupTrustRules lock",
      "Found following rule count in TrustRules for user group %d",
      "Preparing count for DBInfoUserGroupTrustRules unlock");
}

int BRIXDAL::MD5RulesCount() {
  return CountInternal(m_pLookupMD5CountStmt,
                       "m_pLookupMD5CountStmt is released",
                       "Preparing count for DBInfoMD5Rules lock",
                       "Found following MD5 count %d", "Count for MD5 unlock");
}

int BRIXDAL::SHA1RulesCount() {
  return CountInternal(m_pLookupSHA1CountStmt,
                       "m_pLookupSHA1CountStmt is released",
                       "Preparing count for DBInfoSHA1Rules lock",
                       "Found following SHA1 count %d",
                       "Count for SHA1 unlock");
}

// The database sections of the metrics document and the export are filled
// in by the metrics and export code; until then they add nothing.
bool BRIXDAL::PrepareMetrics(cJSON* /*array*/) { return true; }
bool BRIXDAL::PrepareMetricsDBInfo(cJSON* /*object*/) { return true; }
bool BRIXDAL::PrepareMetricsDBInfoTrustRules(cJSON* /*object*/) {
  return true;
}
bool BRIXDAL::PrepareMetricsDBInfoRulesets(cJSON* /*object*/) { return true; }
bool BRIXDAL::PrepareMetricsDBSize(cJSON* /*object*/) { return true; }

bool BRIXDAL::GetItems(uint64_t /*lastId*/, uint64_t /*limit*/,
                       DALSource /*source*/, std::string /*payloadPath*/,
                       std::string /*scanUuid*/) {
  return false;
}
