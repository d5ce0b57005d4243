// BRIXDALExport.cpp: writes one page of the inventory, or of the trust
// rules, into the host's payload file, one compact JSON object per line
// ending in "\r\n".
//
// The host pages by id: each call returns the rows above the last id it
// received, in ascending id order, at most `limit` of them.  Rows are
// written one at a time as they are read, so a page is never held in
// memory whatever limit the host asks for.  GetItems holds m_mutex for the
// whole page.
#include <cjson/cJSON.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>

#include "BRIXDALInternal.h"
#include "BRIXDALRowJson.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "FileUtil.h"

using brix_dal::ColumnForm;
using brix_dal::ColumnMember;
using brix_dal::kFile;
using brix_dal::ResetAndClear;

namespace {

// The page queries select from the Items view, whose twelve columns are
// those of InventoryItems in table order.
const ColumnMember kInventoryLineMembers[] = {
    {"inventoryItemId", 0, ColumnForm::kInt64},
    {"fileName", 1, ColumnForm::kText},
    {"path", 2, ColumnForm::kText},
    {"nativePath", 3, ColumnForm::kText},
    {"md5", 4, ColumnForm::kDigestOrEmpty, Hash::MD5},
    {"sha1", 5, ColumnForm::kDigestOrEmpty, Hash::SHA1},
    {"sha256", 6, ColumnForm::kDigestOrEmpty, Hash::SHA256},
    // Hosts read the size as a signed 32-bit value, so larger files wrap.
    {"size", 7, ColumnForm::kInt},
    {"recordTime", 8, ColumnForm::kInt64},
    {"isAuthorized", 9, ColumnForm::kInt},
    {"source", 10, ColumnForm::kInt},
    {"rulesetId", 11, ColumnForm::kText},
};

// Unlike the metrics element, the signer member is all lower case here and
// the numbers are read as 64-bit values.  The ruleset column is not
// reported.
const ColumnMember kTrustRuleLineMembers[] = {
    {"trustRuleId", brix_dal::kRuleId, ColumnForm::kInt64},
    {"paths", brix_dal::kRulePaths, ColumnForm::kText},
    {"hitcount", brix_dal::kRuleHitcount, ColumnForm::kInt64},
    {"processName", brix_dal::kRuleProcessName, ColumnForm::kText},
    {"trustType", brix_dal::kRuleTrustType, ColumnForm::kInt64},
    {"signername", brix_dal::kRuleSignerName, ColumnForm::kText},
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

// Builds the page query for the source into `query` (zeroed by the
// caller).  SQLite takes an integer literal above 2^63-1 for a real number
// and refuses it as a LIMIT, so a larger limit (a host asking for "all")
// is lowered to 2^63-1, which no table can exceed.
void BuildPageQuery(char* query, size_t size, uint64_t lastId, uint64_t limit,
                    DALSource source) {
  const unsigned long long id = lastId;
  const unsigned long long rows =
      limit > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : limit;
  if (source == DAL_SOURCE_ALL) {
    snprintf(query, size,
             "SELECT * FROM Items WHERE inventoryItemId > %llu ORDER BY "
             "inventoryItemId LIMIT %llu;",
             id, rows);
  } else if (source == DAL_SOURCE_TRUST_RULES) {
    snprintf(query, size,
             "SELECT trustRuleId, paths, hitcount, processName, ruleset, "
             "trustType, signerName, productName, companyName, sha256, "
             "issuerCN, issuerC, issuerS, issuerL, issuerO, issuerOU, "
             "procUser, procGroup, userList FROM TrustRules WHERE "
             "trustRuleId > %llu ORDER BY trustRuleId LIMIT %llu;",
             id, rows);
  } else {
    snprintf(query, size,
             "SELECT * FROM Items WHERE inventoryItemId > %llu and source = "
             "%d ORDER BY inventoryItemId LIMIT %llu;",
             id, static_cast<int>(source), rows);
  }
}

// Collects the page's lines and writes them in blocks of about 64 KiB: a
// system call per line would cost more than everything else a row does.
// Lines already written stay in the file when a later write fails.
class PayloadWriter {
 public:
  PayloadWriter(const char* function, ac_file_s& file, bool& result,
                const std::string& payloadPath)
      : function_(function), file_(file), result_(result),
        payloadPath_(payloadPath) {
    buffer_.reserve(kBlock + 4096);
  }
  // Whatever is still collected goes out on every way out of the page.
  ~PayloadWriter() { Flush(); }
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;

  // Where the caller appends the text of the current line.
  std::string& Line() { return buffer_; }

  // Prints the object onto the current line (always freeing it) and ends
  // the line.  False when the export must stop: printing failed (the call
  // still succeeds), or the write failed (file closed, result false).
  bool AddObject(cJSON* object) {
    char* printed = cJSON_PrintUnformatted(object);
    cJSON_Delete(object);
    if (printed == nullptr) {
      BRIX_LOG_AS(BRIX_ERROR, function_, kFile,
                  "JSON_PringUnformated failed, aborting query");
      return false;
    }
    buffer_.append(printed);
    cJSON_free(printed);
    return EndLine();
  }

  bool EndLine() {
    buffer_.append("\r\n");
    return buffer_.size() < kBlock || Flush();
  }

  bool Flush() {
    // filewrite makes one system call and may write less than asked.
    const char* data = buffer_.data();
    size_t left = buffer_.size();
    while (left > 0) {
      const unsigned long n = filewrite(&file_, data, left);
      if (n == 0) {
        BRIX_LOG_AS(BRIX_ERROR, function_, kFile,
                    "Write to payload %s failed, aborting query",
                    payloadPath_.c_str());
        fileclose(&file_);
        result_ = false;
        buffer_.clear();
        return false;
      }
      data += n;
      left -= n;
    }
    buffer_.clear();
    return true;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;

  const char* const function_;
  ac_file_s& file_;
  bool& result_;
  const std::string& payloadPath_;
  std::string buffer_;
};

}  // namespace

bool BRIXDAL::GetItems(uint64_t lastId, uint64_t limit, DALSource source,
                       std::string payloadPath, std::string scanUuid) {
  BRIX_LOG(BRIX_TRACE, kFile, "%s", "GetItems");
  std::shared_ptr<sqlite3> db = m_DB.Get();
  BRIX_LOG(BRIX_TRACE, kFile, "GetItems lock");
  m_mutex.Lock();
  bool result = true;

  char query[512] = {};
  BuildPageQuery(query, sizeof(query), lastId, limit, source);

  if (!db) {
    m_mutex.Unlock();
    BRIX_LOG(BRIX_ERROR, kFile, "m_DB is released");
    return false;
  }

  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v2(db.get(), query, -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(statement);
    BRIX_LOG(BRIX_ERROR, kFile, "sqlite3_prepare_v2 failed. rc: %d", rc);
    BRIX_LOG(BRIX_TRACE, kFile, "GetItems unlock");
    m_mutex.Unlock();
    return false;
  }

  ac_file_s file;
  fileopen_write(payloadPath, file);
  if (!fileok(file)) {
    BRIX_LOG(BRIX_ERROR, kFile, "Couldn't create Payload");
    result = false;
  } else {
    int stepResult = SQLITE_DONE;
    if (source == DAL_SOURCE_TRUST_RULES)
      GetItemSourceTrustRule(file, result, statement, stepResult, payloadPath);
    else
      GetItemSourceInventory(file, result, statement, stepResult, payloadPath,
                             scanUuid);
    // The writers stop early on SQLITE_ROW; anything but a row or the end
    // is a read that failed, and the page it cut short must not pass for
    // a complete one.
    if (stepResult != SQLITE_ROW && stepResult != SQLITE_DONE) {
      BRIX_LOG(BRIX_ERROR, kFile,
               "Reading the next row failed, aborting query. rc: %d",
               stepResult);
      result = false;
    }
  }
  // Closed on every path, also after a write failure closed it already.
  fileclose(&file);
  // The query is finalized before the mutex is released: it belongs to the
  // shared connection, which other operations step under the mutex.
  sqlite3_reset(statement);
  sqlite3_finalize(statement);
  BRIX_LOG(BRIX_TRACE, kFile, "GetItems unlock");
  m_mutex.Unlock();
  return result;
}

void BRIXDAL::GetItemSourceInventory(ac_file_s& file, bool& result,
                                     sqlite3_stmt*& statement, int& stepResult,
                                     const std::string& payloadPath,
                                     const std::string& scanUuid) {
  PayloadWriter writer(__func__, file, result, payloadPath);
  stepResult = sqlite3_step(statement);
  while (stepResult == SQLITE_ROW) {
    // Printed straight into the line, byte for byte as cJSON prints the
    // same members: no object is built per row.
    std::string& line = writer.Line();
    brix_dal::AppendRowJson(line, statement, kInventoryLineMembers);
    line += ",\"scanUuid\":";
    brix_dal::AppendJsonString(line, scanUuid.c_str());
    line += '}';
    if (!writer.EndLine()) return;
    stepResult = sqlite3_step(statement);
  }
}

void BRIXDAL::GetItemSourceTrustRule(ac_file_s& file, bool& result,
                                     sqlite3_stmt*& statement, int& stepResult,
                                     const std::string& payloadPath) {
  // Both statements exist whenever the connection does and are lost
  // together (a failed prepare finalizes the whole set).  The user names
  // come from m_pLookupUserListStmt, so that one must be there; the trust
  // rule statement is tested first, so that a lost set is reported under
  // the name the trust-rule operations use for it.
  std::shared_ptr<sqlite3_stmt> ruleStmt = m_pLookupTrustRuleStmt.Get();
  std::shared_ptr<sqlite3_stmt> userStmt = m_pLookupUserListStmt.Get();
  PayloadWriter writer(__func__, file, result, payloadPath);
  stepResult = sqlite3_step(statement);
  while (stepResult == SQLITE_ROW) {
    cJSON* object = cJSON_CreateObject();
    brix_dal::AddRowMembers(object, statement, kTrustRuleLineMembers);

    const unsigned char* userList =
        sqlite3_column_text(statement, brix_dal::kRuleUserList);
    if (userList != nullptr) {
      if (!ruleStmt || !userStmt) {
        cJSON_Delete(object);
        BRIX_LOG(BRIX_ERROR, kFile, "%s",
                 !ruleStmt
                     ? "m_pLookupTrustRuleStmt is released, aborting query"
                     : "m_pLookupUserListStmt is released, aborting query");
        return;
      }
      sqlite3_stmt* users = userStmt.get();
      if (checked_bind_text(users, brix_dal::Index(users, ":id"),
                            reinterpret_cast<const char*>(userList)) !=
          SQLITE_OK) {
        cJSON_Delete(object);
        BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query, aborting query");
        ResetAndClear(users);
        return;
      }
      cJSON* names = cJSON_AddArrayToObject(object, "users");
      int count = 0;
      int rc;
      while ((rc = sqlite3_step(users)) == SQLITE_ROW) {
        // A NULL name is not a user; the count says how many are listed.
        const unsigned char* user = sqlite3_column_text(users, 0);
        if (user == nullptr) continue;
        cJSON* name = cJSON_CreateString(reinterpret_cast<const char*>(user));
        if (cJSON_AddItemToArray(names, name))
          ++count;
        else
          cJSON_Delete(name);
      }
      if (rc != SQLITE_DONE)
        BRIX_LOG(BRIX_WARNING, kFile,
                 "Unable to read user list %s completely. rc: %d",
                 reinterpret_cast<const char*>(userList), rc);
      cJSON_AddNumberToObject(object, "userListCount", count);
      ResetAndClear(users);
    }

    if (!writer.AddObject(object)) return;
    stepResult = sqlite3_step(statement);
  }
}
