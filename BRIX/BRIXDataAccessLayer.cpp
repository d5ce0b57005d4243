#include "BRIXDataAccessLayer.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>

#include "BRIXLogger.h"

namespace {
constexpr const char* kFile = kLogFileDAL;
}  // namespace

BRIXDAL* BRIXDAL::GetDAL() {
  static BRIXDAL instance;
  return &instance;
}

BRIXDAL::BRIXDAL() = default;

BRIXDAL::~BRIXDAL() { ShutdownDAL(); }

bool BRIXDAL::SetDBPath(const std::string& path) {
  brix::MutexLock lock(&m_initMutex);
  if (m_DB) return false;
  m_dbPath = path;
  return true;
}

bool BRIXDAL::IsOpen() {
  brix::MutexLock lock(&m_initMutex);
  return m_DB != nullptr;
}

bool BRIXDAL::InitDB(bool /*readOnly*/) {
  brix::MutexLock lock(&m_initMutex);
  return _InitDB(false);
}

bool BRIXDAL::_InitDB(bool readOnly) {
  if (m_DB) return true;
  if (m_dbPath.empty()) m_dbPath = "ac.db";
  sqlite3* db = nullptr;
  const int flags = readOnly ? SQLITE_OPEN_READONLY
                             : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(m_dbPath.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    BRIX_LOG(BRIX_ERROR, kFile, "sqlite3_open_v2 failed. rc: %d", rc);
    sqlite3_close_v2(db);
    return false;
  }
  m_DB.reset(db, sqlite3_close_v2);
  sqlite3_busy_timeout(db, 5000);
  return true;
}

void BRIXDAL::Finalize() { m_DB.reset(); }

void BRIXDAL::ShutdownDAL() {
  brix::MutexLock lock(&m_initMutex);
  Finalize();
}

bool BRIXDAL::_DeleteDB() {
  BRIX_LOG(BRIX_TRACE, kFile, "Attempting to delete database file at %s",
           m_dbPath.c_str());
  {
    brix::MutexLock lock(&m_initMutex);
    Finalize();
  }
  if (remove(m_dbPath.c_str()) == 0) {
    BRIX_LOG(BRIX_TRACE, kFile, "Successfully deleted database file");
    return true;
  }
  const int err = errno;
  BRIX_LOG(BRIX_ERROR, kFile,
           "Failed to delete database after closing. Errno: %d", err);
  return err == ENOENT;
}

bool BRIXDAL::DeleteDB() {
  BRIX_LOG(BRIX_TRACE, kFile, "DeleteDB lock");
  brix::MutexLock lock(&m_mutex);
  const bool result = _DeleteDB();
  BRIX_LOG(BRIX_TRACE, kFile, "DeleteDB unlock");
  return result;
}

bool BRIXDAL::PurgeDB(DALSource /*source*/) { return true; }

uint64_t BRIXDAL::StoreItemFlush() { return 0; }
uint64_t BRIXDAL::StoreTrustRuleFlush() { return 0; }
uint64_t BRIXDAL::StoreUserListFlush() { return 0; }
uint64_t BRIXDAL::StoreItem(const ac_db_item_s* /*item*/) { return 0; }
uint64_t BRIXDAL::StoreItemBuffer(const ac_db_item_s* /*item*/) { return 0; }

bool BRIXDAL::ImportRuleset(bool /*append*/, const std::string& /*path*/,
                            const std::string& /*name*/) {
  return false;
}

bool BRIXDAL::ImportRulesetBuffer(bool /*append*/, const char* /*text*/,
                                  const std::string& /*name*/) {
  return false;
}

bool BRIXDAL::GetItems(uint64_t /*lastItemId*/, uint64_t /*limit*/,
                       DALSource /*source*/,
                       const std::string& /*payloadPath*/,
                       const std::string& /*scanId*/) {
  return false;
}

bool BRIXDAL::GetAppControlState(const std::string& /*name*/,
                                 std::string& /*value*/) {
  return false;
}
bool BRIXDAL::GetAppControlState(const std::string& /*name*/,
                                 uint64_t& /*value*/) {
  return false;
}
bool BRIXDAL::SetAppControlState(const std::string& /*name*/,
                                 const std::string& /*value*/) {
  return false;
}
bool BRIXDAL::SetAppControlState(const std::string& /*name*/,
                                 uint64_t /*value*/) {
  return false;
}

void BRIXDAL::PrepareMetrics(cJSON* /*trustRulesStats*/) {}
void BRIXDAL::PrepareMetricsDBInfo(cJSON* /*dbinfo*/) {}
void BRIXDAL::PrepareMetricsDBInfoTrustRules(cJSON* /*dbinfo*/) {}
void BRIXDAL::PrepareMetricsDBInfoRulesets(cJSON* /*dbinfo*/) {}
void BRIXDAL::PrepareMetricsDBSize(cJSON* /*dbinfo*/) {}
