// BRIXDALTrustRules.cpp: storing trust rules and user lists, and matching
// events against the rules.
#include <sqlite3.h>

#include <cstring>
#include <list>

#include "BRIXDALInternal.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "IssuerMeta.h"
#include "PathMatch.h"

using brix_dal::Index;
using brix_dal::kFile;

namespace {

// Binds text when it is non-empty; an unbound parameter stays NULL.
bool BindIfSet(sqlite3_stmt* s, const char* name, const std::string& value) {
  if (value.empty()) return true;
  return checked_bind_text(s, Index(s, name), value.c_str()) == SQLITE_OK;
}

}  // namespace

// --- Storing -----------------------------------------------------------------

void BRIXDAL::TrustRuleNames::Add(const char* name) {
  if (name == nullptr)
    ++nullNames;
  else if (strpbrk(name, "?*") != nullptr)
    ++wildcardNames;
  else
    exactNames.insert(name);
}

void BRIXDAL::LoadTrustRuleNames() {
  std::shared_ptr<sqlite3> db = m_DB.Get();
  brix::MutexLock lock(&m_mutex);
  m_ruleNames.Clear();
  sqlite3_stmt* s = nullptr;
  if (!db || sqlite3_prepare_v2(db.get(), "SELECT processName FROM TrustRules;",
                                -1, &s, nullptr) != SQLITE_OK) {
    sqlite3_finalize(s);
    // Without the names every lookup must ask the database.
    m_ruleNames.nullNames = 1;
    return;
  }
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW)
    m_ruleNames.Add(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
  if (rc != SQLITE_DONE) m_ruleNames.nullNames = 1;
  sqlite3_finalize(s);
}

uint64_t BRIXDAL::StoreTrustRuleInternal(ac_trust_rule& rule) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pInsertTrustRuleStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pInsertTrustRuleStmt is released");
    return 0;
  }
  sqlite3_stmt* s = stmt.get();
  uint64_t result = 0;
  const char* failed = nullptr;
  char issuerMessage[64];

  if (!BindIfSet(s, ":processName", rule.processName)) {
    failed = "Unable to bind processName, aborting db insert";
  } else if (!BindIfSet(s, ":paths", rule.paths)) {
    failed = "Unable to bind paths, aborting db insert";
  } else if (sqlite3_bind_int(s, Index(s, ":trustType"), rule.trustType) !=
             SQLITE_OK) {
    failed = "Unable to bind trustType, aborting db insert";
  } else if (!BindIfSet(s, ":signerName", rule.signerName)) {
    failed = "Unable to bind signerName, aborting db insert";
  } else if (!BindIfSet(s, ":productName", rule.productName)) {
    failed = "Unable to bind productName, aborting db insert";
  } else if (!BindIfSet(s, ":companyName", rule.companyName)) {
    failed = "Unable to bind companyName, aborting db insert";
  } else if (rule.sha256.HasBytes() &&
             sqlite3_bind_blob(s, Index(s, ":sha256"), rule.sha256.GetBytes(),
                               static_cast<int>(rule.sha256.GetSize()),
                               SQLITE_TRANSIENT) != SQLITE_OK) {
    failed = "Unable to bind sha256, aborting db insert";
  } else {
    for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
      if (!BindIfSet(s, meta.getBindVarName(),
                     rule.issuer[meta.getIssuer()])) {
        snprintf(issuerMessage, sizeof(issuerMessage),
                 "Unable to bind %s, aborting db insert",
                 IssuerMetaArrayUtil::IssuerMeta::getLabelCapless(
                     meta.getIssuer()));
        failed = issuerMessage;
        break;
      }
    }
    if (failed == nullptr) {
      if (!BindIfSet(s, ":ruleset", rule.ruleset))
        failed = "Unable to bind ruleset, aborting db insert";
      else if (!BindIfSet(s, ":procUser", rule.procUser))
        failed = "Unable to bind procUser, aborting db insert";
      else if (!BindIfSet(s, ":procGroup", rule.procGroup))
        failed = "Unable to bind procGroup, aborting db insert";
      else if (!BindIfSet(s, ":userList", rule.userList))
        failed = "Unable to bind userList, aborting db insert";
    }
  }

  if (failed != nullptr) {
    BRIX_LOG(BRIX_WARNING, kFile, "%s", failed);
  } else {
    const int rc = sqlite3_step(s);
    result = brix_dal::InsertedRowId(rc, rc == SQLITE_DONE ? m_DB.Get() : nullptr,
                           "StoreTrustRuleInternal");
    if (rc == SQLITE_DONE)
      m_ruleNames.Add(rule.processName.empty() ? nullptr
                                               : rule.processName.c_str());
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return result;
}

uint64_t BRIXDAL::StoreUserListInternal(ac_user_list& record) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pInsertUserListStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pInsertUserListStmt is released");
    return 0;
  }
  sqlite3_stmt* s = stmt.get();
  uint64_t result = 0;
  if (checked_bind_text(s, Index(s, ":id"), record.id.c_str()) != SQLITE_OK) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to bind id, aborting db insert");
  } else if (checked_bind_text(s, Index(s, ":user"), record.user.c_str()) !=
             SQLITE_OK) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to bind user, aborting db insert");
  } else {
    const int rc = sqlite3_step(s);
    result = brix_dal::InsertedRowId(rc, rc == SQLITE_DONE ? m_DB.Get() : nullptr,
                           "StoreUserListInternal");
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return result;
}

uint64_t BRIXDAL::StoreTrustRule(ac_trust_rule& rule) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreTrustRuleInternal(rule);
}

uint64_t BRIXDAL::StoreUserList(ac_user_list& record) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreUserListInternal(record);
}

bool BRIXDAL::StoreTrustRuleBuffer(ac_trust_rule& rule) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  m_trustRuleBuffer.push_back(rule);
  bool result = true;
  if (m_trustRuleBuffer.size() > kMaxBufferedRecords)
    result = StoreTrustRuleFlushInternal() != 0;
  return result;
}

bool BRIXDAL::StoreUserListBuffer(ac_user_list& record) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  m_userListBuffer.push_back(record);
  bool result = true;
  if (m_userListBuffer.size() > kMaxBufferedRecords)
    result = StoreUserListFlushInternal() != 0;
  return result;
}


uint64_t BRIXDAL::StoreTrustRuleFlushInternal(brix::Status* reason) {
  return brix_dal::FlushBuffer(m_trustRuleBuffer, m_DB.Get(),
                     "StoreTrustRuleFlushInternal",
                     [this](ac_trust_rule& r) {
                       m_mutex.AssertHeld();  // run under our hold
                       return StoreTrustRuleInternal(r);
                     },
                     reason);
}

uint64_t BRIXDAL::StoreUserListFlushInternal(brix::Status* reason) {
  return brix_dal::FlushBuffer(m_userListBuffer, m_DB.Get(),
                     "StoreUserListFlushInternal",
                     [this](ac_user_list& r) {
                       m_mutex.AssertHeld();  // run under our hold
                       return StoreUserListInternal(r);
                     },
                     reason);
}

uint64_t BRIXDAL::StoreTrustRuleFlush(brix::Status* reason) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreTrustRuleFlushInternal(reason);
}

uint64_t BRIXDAL::StoreUserListFlush(brix::Status* reason) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return StoreUserListFlushInternal(reason);
}

// --- Matching ----------------------------------------------------------------

bool BRIXDAL::IsFoundInTrustRules(DALTrustType kind, ac_event& event) {
  if (!m_trustRulesPresent) {
    BRIX_LOG(BRIX_TRACE, kFile, "TrustRules are not enabled");
    return false;
  }
  brix_dal::TracedLock lock(&m_mutex, __func__);
  return IsFoundInTrustRulesInternal(kind, event);
}

bool BRIXDAL::IsFoundInTrustRulesInternal(DALTrustType kind,
                                          ac_event& event) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pLookupTrustRuleStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pLookupTrustRuleStmt is released");
    return false;
  }

  // What the rule is compared with: the acting process for kind 1, the
  // target file for kinds 2 and 4, the process name alone for kind 3.
  static const std::string kEmpty;
  static const std::string kEmptyIssuer[kIssuerFieldCount];
  static const SHA256Hash kNoDigest;
  const std::string* signer = &kEmpty;
  const std::string* product = &kEmpty;
  const std::string* company = &kEmpty;
  const std::string* issuer = kEmptyIssuer;
  const Hash* digest = &kNoDigest;
  const std::string* procUser = &kEmpty;
  const std::string* procGroup = &kEmpty;
  switch (kind) {
    case DAL_TRUST_SOURCE:
      signer = &event.processSignerName;
      product = &event.processProductName;
      company = &event.processCompanyName;
      issuer = event.processIssuer;
      digest = &event.processSha256;
      procUser = &event.user;
      procGroup = &event.group;
      break;
    case DAL_TRUST_TARGET:
    case DAL_TRUST_BLOCK:
      signer = &event.fileSignerName;
      product = &event.fileProductName;
      company = &event.fileCompanyName;
      issuer = event.fileIssuer;
      digest = &event.fileSha256;
      procUser = &event.user;
      procGroup = &event.group;
      break;
    case DAL_TRUST_EXCLUDE:
      break;
    default:
      BRIX_LOG(BRIX_WARNING, kFile, "Unknown trust rule type");
      return false;
  }

  auto reportNotFound = [&]() {
    BRIX_LOG_AS(BRIX_TRACE, "IsFoundInTrustRulesInternal", kFile,
                "No applicable trust rule found in database");
    BRIX_LOG_AS(BRIX_TRACE, "IsFoundInTrustRulesInternal", kFile,
             "Following event is not in trust rules: processName='%s' "
             "path='%s' trustType=%d signerName='%s' productName='%s' "
             "companyName='%s' issuerCN='%s' IssuerC='%s' IssuerS='%s' "
             "IssuerL='%s' IssuerO='%s' IssuerOU='%s' procUser='%s' "
             "procGroup='%s'",
             event.processName.c_str(), event.name.c_str(), kind,
             signer->c_str(), product->c_str(), company->c_str(),
             issuer[ISSUER_CN].c_str(), issuer[ISSUER_C].c_str(),
             issuer[ISSUER_S].c_str(), issuer[ISSUER_L].c_str(),
             issuer[ISSUER_O].c_str(), issuer[ISSUER_OU].c_str(),
             procUser->c_str(), procGroup->c_str());
  };
  // No rule can name this process: the query would find nothing.
  if (!m_ruleNames.MayMatch(event.processName)) {
    reportNotFound();
    return false;
  }

  sqlite3_stmt* s = stmt.get();
  // Empty texts bind as "", not NULL: a rule that requires a value never
  // matches an event that lacks it.
  auto bindText = [s](const char* name, const std::string& value) {
    return sqlite3_bind_text(s, Index(s, name), value.c_str(), -1,
                             SQLITE_TRANSIENT) == SQLITE_OK;
  };
  bool bound =
      bindText(":processName", event.processName) &&
      sqlite3_bind_int(s, Index(s, ":trustType"), kind) == SQLITE_OK &&
      bindText(":signerName", *signer) && bindText(":productName", *product) &&
      bindText(":companyName", *company);
  if (bound) {
    const int idx = Index(s, ":sha256");
    bound = digest->HasBytes()
                ? sqlite3_bind_blob(s, idx, digest->GetBytes(), 32,
                                    SQLITE_TRANSIENT) == SQLITE_OK
                : sqlite3_bind_null(s, idx) == SQLITE_OK;
  }
  for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
    if (!bound) break;
    bound = bindText(meta.getBindVarName(), issuer[meta.getIssuer()]);
  }
  if (!bound) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query");
    sqlite3_clear_bindings(s);
    return false;
  }
  if (!bindText(":procUser", *procUser)) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query for procUser");
    sqlite3_clear_bindings(s);
    return false;
  }
  if (!bindText(":procGroup", *procGroup)) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to create query for procGroup");
    sqlite3_clear_bindings(s);
    return false;
  }

  bool result = false;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    BRIX_LOG(BRIX_TRACE, kFile,
             "Found potential trust rule to apply to drift. Checking for "
             "trusted path, process name and groups");
    auto column = [s](int i) -> const char* {
      return reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    };
    if (const char* ruleProcess = column(3)) {
      if (!MatchEventPathWithRulePath(event.processName, ruleProcess))
        continue;
    }
    if (const char* ruleGroup = column(5)) {
      std::list<std::string> groups;
      split(*procGroup, ',', groups);
      bool member = false;
      for (const auto& g : groups) member |= g == ruleGroup;
      if (!member) continue;
    }
    if (const char* rulePaths = column(1)) {
      if (!MatchEventPathWithRulePath(event.name, rulePaths)) continue;
      BRIX_LOG(BRIX_TRACE, kFile,
               "process %s with path %s is found in trust rule",
               event.processName.c_str(), event.name.c_str());
    } else {
      BRIX_LOG(BRIX_TRACE, kFile,
               "No path specified for trust rule. Allow all path");
      BRIX_LOG(BRIX_TRACE, kFile, "process %s is found in trust rule",
               event.processName.c_str());
    }
    event.driftTrust = 4;
    if (const char* ruleset = column(4)) event.ruleset = ruleset;
    UpdateHitcount(sqlite3_column_int(s, 0), sqlite3_column_int(s, 2));
    result = true;
    break;
  }
  if (!result) {
    if (rc == SQLITE_DONE) {
      reportNotFound();
    } else {
      BRIX_LOG(BRIX_ERROR, kFile, "DAL Error%s\n",
               GetLastDBErrorString().c_str());
    }
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return result;
}

bool BRIXDAL::UpdateHitcount(int trustRuleId, int hitcount) {
  std::shared_ptr<sqlite3_stmt> stmt = m_pUpdateTrustRuleHitcountStmt.Get();
  if (!stmt) {
    BRIX_LOG(BRIX_ERROR, kFile, "m_pUpdateTrustRuleHitcountStmt is released");
    return false;
  }
  sqlite3_stmt* s = stmt.get();
  if (sqlite3_bind_int(s, Index(s, ":hitcount"), hitcount + 1) != SQLITE_OK) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to bind hitcount");
    sqlite3_clear_bindings(s);
    return false;
  }
  if (sqlite3_bind_int(s, Index(s, ":trustRuleId"), trustRuleId) !=
      SQLITE_OK) {
    BRIX_LOG(BRIX_WARNING, kFile, "Unable to bind trustRuleId");
    sqlite3_clear_bindings(s);
    return false;
  }
  sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return true;
}

bool BRIXDAL::CallMatchEventPath(std::string& eventPath,
                                 std::string& rulePaths) {
  return MatchEventPathWithRulePath(eventPath, rulePaths);
}
