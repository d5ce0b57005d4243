// BRIXDALMetrics.cpp: rule counts and the database sections of the metrics
// document ("trustrules_stats" and "dbinfo").
//
// Each operation locks m_mutex for its own statement only, so the sections
// that BRIXStats::GetMetrics gathers one after the other are not a single
// snapshot of the file.
#include <cjson/cJSON.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "BRIXDALInternal.h"
#include "BRIXDALRowJson.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"

using brix_dal::ColumnForm;
using brix_dal::ColumnMember;
using brix_dal::kFile;
using brix_dal::ResetAndClear;

namespace {

// "dbinfo" members filled from columns 0 to 4 of LookupRuleCountSQL.
constexpr const char* kRuleCountMembers[] = {"totalInventoryItems",
                                             "agentRules", "executionRules",
                                             "scannedItems", "approvedDrift"};

// One "trustrules_stats" element.  The ruleset column is not reported.
const ColumnMember kTrustRuleStatsMembers[] = {
    {"trustRuleId", brix_dal::kRuleId, ColumnForm::kInt},
    {"paths", brix_dal::kRulePaths, ColumnForm::kText},
    {"hitcount", brix_dal::kRuleHitcount, ColumnForm::kInt},
    {"processName", brix_dal::kRuleProcessName, ColumnForm::kText},
    {"trustType", brix_dal::kRuleTrustType, ColumnForm::kInt},
    {"signerName", brix_dal::kRuleSignerName, ColumnForm::kText},
    {"productName", brix_dal::kRuleProductName, ColumnForm::kText},
    {"companyName", brix_dal::kRuleCompanyName, ColumnForm::kText},
    {"sha256", brix_dal::kRuleSha256, ColumnForm::kDigestIfSet, Hash::SHA256},
    {"issuerCN", brix_dal::kRuleIssuerCN, ColumnForm::kText},
    {"issuerC", brix_dal::kRuleIssuerC, ColumnForm::kText},
    {"issuerS", brix_dal::kRuleIssuerS, ColumnForm::kText},
    {"issuerL", brix_dal::kRuleIssuerL, ColumnForm::kText},
    {"issuerO", brix_dal::kRuleIssuerO, ColumnForm::kText},
    {"issuerOU", brix_dal::kRuleIssuerOU, ColumnForm::kText},
    {"user", brix_dal::kRuleProcUser, ColumnForm::kText},
    {"group", brix_dal::kRuleProcGroup, ColumnForm::kText},
    {"userList", brix_dal::kRuleUserList, ColumnForm::kText},
};

}  // namespace

// --- Counts --------------------------------------------------------------

int BRIXDAL::CountInternal(const char* function, StmtHandle& handle,
                           const char* releasedMessage, const char* lockLine,
                           const char* foundLine, const char* unlockLine) {
  std::shared_ptr<sqlite3_stmt> stmt = handle.Get();
  if (!stmt) {
    BRIX_LOG_AS(BRIX_ERROR, function, kFile, "%s", releasedMessage);
    return 0;
  }
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s", lockLine);
  m_mutex.Lock();
  int count = 0;
  if (sqlite3_step(stmt.get()) == SQLITE_ROW)
    count = sqlite3_column_int(stmt.get(), 0);
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, foundLine, count);
  ResetAndClear(stmt.get());
  BRIX_LOG_AS(BRIX_TRACE, function, kFile, "%s", unlockLine);
  m_mutex.Unlock();
  return count;
}

int BRIXDAL::TrustRulesCount() {
  return CountInternal("TrustRulesCount", m_pLookupTrustRuleCountStmt,
                       "m_pLookupTrustRuleCountStmt is released",
                       "Preparing count for DBInfoTrustRules lock",
                       "Found following rule count in TrustRules %d",
                       "Preparing count for DBInfoTrustRules unlock");
}

int BRIXDAL::UserGroupTrustRulesCount() {
  return CountInternal(
      "UserGroupTrustRulesCount", m_pLookupUserGroupTrustRuleCountStmt,
      "m_pLookupUserGroupTrustRuleCountStmt is released",
      "Preparing count for DBInfoUserGroupTrustRules lock",
      "Found following rule count in TrustRules for user group %d",
      "Preparing count for DBInfoUserGroupTrustRules unlock");
}

int BRIXDAL::MD5RulesCount() {
  return CountInternal("MD5RulesCount", m_pLookupMD5CountStmt,
                       "m_pLookupMD5CountStmt is released",
                       "Preparing count for DBInfoMD5Rules lock",
                       "Found following MD5 count %d", "Count for MD5 unlock");
}

int BRIXDAL::SHA1RulesCount() {
  return CountInternal("SHA1RulesCount", m_pLookupSHA1CountStmt,
                       "m_pLookupSHA1CountStmt is released",
                       "Preparing count for DBInfoSHA1Rules lock",
                       "Found following SHA1 count %d",
                       "Count for SHA1 unlock");
}

// --- "trustrules_stats" -------------------------------------------------

bool BRIXDAL::PrepareMetrics(cJSON* array) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pMetricsLookupTrustRuleStmt.Get();
  BRIX_LOG(BRIX_TRACE, kFile, "Preparing metrics for TrustedRulesets lock");
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pMetricsLookupTrustRuleStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  while (sqlite3_step(s) == SQLITE_ROW) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Found TrustRule with a hitcount greater than 1");
    cJSON* element = cJSON_CreateObject();
    brix_dal::AddRowMembers(element, s, kTrustRuleStatsMembers);
    // An array that could not be made would leak every element otherwise.
    if (!cJSON_AddItemToArray(array, element)) cJSON_Delete(element);
  }
  ResetAndClear(s);
  BRIX_LOG(BRIX_TRACE, kFile, "Preparing metrics for TrustedRulesets unlock");
  m_mutex.Unlock();
  return true;
}

// --- "dbinfo" -----------------------------------------------------------

bool BRIXDAL::PrepareMetricsDBInfo(cJSON* object) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pLookupRuleCountStmt.Get();
  BRIX_LOG(BRIX_TRACE, kFile,
           "Preparing metrics for InventoryItems Rule Count lock");
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pLookupRuleCountStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  // count(*) always yields one row; the SUMs are NULL on an empty table and
  // read as 0.
  while (sqlite3_step(s) == SQLITE_ROW) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Found following rule counts in InventoryItems");
    for (int i = 0; i < 5; ++i)
      cJSON_AddNumberToObject(object, kRuleCountMembers[i],
                              sqlite3_column_int(s, i));
  }
  ResetAndClear(s);
  BRIX_LOG(BRIX_TRACE, kFile,
           "Preparing metrics for InventoryItems Rule Count unlock");
  m_mutex.Unlock();
  return true;
}

bool BRIXDAL::PrepareMetricsDBInfoTrustRules(cJSON* object) {
  cJSON_AddNumberToObject(object, "totalTrustRules", TrustRulesCount());
  cJSON_AddNumberToObject(object, "totalUserGroupTrustRules",
                          UserGroupTrustRulesCount());
  return true;
}

bool BRIXDAL::PrepareMetricsDBInfoRulesets(cJSON* object) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pLookupRulesetCountStmt.Get();
  BRIX_LOG(BRIX_TRACE, kFile,
           "Preparing metrics for InventoryItems Ruleset Count lock");
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pLookupRulesetCountStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  int rc = sqlite3_step(s);
  // Present even when no item carries a ruleset.
  cJSON* rulesets = cJSON_AddObjectToObject(object, "rulesets");
  while (rc == SQLITE_ROW) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Found following ruleset counts in InventoryItems");
    // The query leaves out NULL and empty names; a name is never NULL here.
    const unsigned char* name = sqlite3_column_text(s, 0);
    if (name != nullptr)
      cJSON_AddNumberToObject(rulesets, reinterpret_cast<const char*>(name),
                              sqlite3_column_int(s, 1));
    rc = sqlite3_step(s);
  }
  ResetAndClear(s);
  BRIX_LOG(BRIX_TRACE, kFile,
           "Preparing metrics for InventoryItems Ruleset Count unlock");
  m_mutex.Unlock();
  return true;
}

bool BRIXDAL::PrepareMetricsDBSize(cJSON* object) {
  BRIX_LOG(BRIX_TRACE, kFile, "Preparing metrics for size of database");
  // No statement runs, so m_mutex is not taken.  The path is copied under
  // m_initMutex, which every write of it holds.
  const std::string path = GetDBPath();
  if (path.empty()) {
    BRIX_LOG(BRIX_ERROR, kFile,
             "BRIXDAL::PrepareMetricsDBSize Unable to run as database path "
             "was never assigned");
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    BRIX_LOG(BRIX_ERROR, kFile,
             "BRIXDAL::PrepareMetricsDBSize Unable to get database "
             "information from path");
    return false;
  }
  cJSON_AddNumberToObject(object, "dbsize", static_cast<double>(st.st_size));
  return true;
}
