// BRIXDALState.cpp: the persistent settings in AppControlState.
//
// Rows are created only by the schema scripts; these operations read and
// update existing rows.  Unsigned settings are decimal text, with "-1"
// standing for 2^64-1 (a setting that holds no value).
#include <sqlite3.h>

#include <cstdlib>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"

namespace {
constexpr const char* kFile = kLogFileDAL;
}  // namespace

bool BRIXDAL::SetAppControlState(const std::string& setting,
                                 const std::string& value) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pSetAcStateStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pSetAcStateStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  checked_bind_text(s, sqlite3_bind_parameter_index(s, ":setting"),
                    setting.c_str());
  checked_bind_text(s, sqlite3_bind_parameter_index(s, ":value"),
                    value.c_str());
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  m_mutex.Unlock();
  if (rc == SQLITE_DONE) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Set application control state setting %s value %s",
             setting.c_str(), value.c_str());
    return true;
  }
  BRIX_LOG(BRIX_WARNING, kFile,
           "Unable to set application control state setting %s value %s",
           setting.c_str(), value.c_str());
  return false;
}

bool BRIXDAL::SetAppControlState(const std::string& setting,
                                 const uint64_t& value) {
  const std::string text =
      value == UINT64_MAX ? std::string("-1") : std::to_string(value);
  return SetAppControlState(setting, text);
}

bool BRIXDAL::GetAppControlState(const std::string& setting,
                                 std::string& value) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pGetAcStateStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pGetAcStateStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  m_mutex.Lock();
  checked_bind_text(s, sqlite3_bind_parameter_index(s, ":setting"),
                    setting.c_str());
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW) {
    BRIX_LOG(BRIX_TRACE, kFile, "Unable to get AppControl Setting for %s",
             setting.c_str());
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    m_mutex.Unlock();
    return false;
  }
  // With several rows of one name the last one wins.
  while (rc == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(s, 0);
    value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    BRIX_LOG(BRIX_TRACE, kFile, "Found AppControl Setting for %s value %s",
             setting.c_str(), value.c_str());
    rc = sqlite3_step(s);
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  m_mutex.Unlock();
  return true;
}

bool BRIXDAL::GetAppControlState(const std::string& setting,
                                 uint64_t& value) {
  std::string text;
  if (!GetAppControlState(setting, text)) return false;
  // strtoull semantics: "-1" is 2^64-1, text without digits is 0.
  value = strtoull(text.c_str(), nullptr, 10);
  return true;
}
