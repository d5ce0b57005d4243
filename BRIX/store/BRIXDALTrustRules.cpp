// BRIXDALTrustRules.cpp: storing trust rules and user lists, and matching
// events against the rules.
#include <sqlite3.h>

#include <cstdio>
#include <string_view>

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

// --- The rules in memory -----------------------------------------------------

bool BRIXDAL::SyncTrustRuleIndexInternal() {
  if (m_trustIndexStale == 0) return true;
  std::shared_ptr<sqlite3> db = m_DB.Get();
  if (!db) return false;
  if (m_trustIndexStale & kTrustIndexReload) {
    m_trustIndex.Clear();
    m_trustIndexStale = kTrustIndexNewRules | kTrustIndexNewUserListRows;
  }
  if (m_trustIndexStale & kTrustIndexReloadUserLists) {
    m_trustIndex.ClearUserLists();
    m_trustIndexStale = (m_trustIndexStale & ~kTrustIndexReloadUserLists) |
                        kTrustIndexNewUserListRows;
  }
  if (m_trustIndexStale & kTrustIndexNewRules) {
    if (!m_trustIndex.LoadNewRules(db.get())) return false;
    m_trustIndexStale &= ~kTrustIndexNewRules;
  }
  if (m_trustIndexStale & kTrustIndexNewUserListRows) {
    if (!m_trustIndex.LoadNewUserListRows(db.get())) return false;
    m_trustIndexStale &= ~kTrustIndexNewUserListRows;
  }
  return true;
}

void BRIXDAL::ReloadTrustRuleIndex() {
  brix::MutexLock lock(&m_mutex);
  m_trustIndexStale = kTrustIndexReload;
  SyncTrustRuleIndexInternal();
}

void BRIXDAL::ForgetTrustRulesInternal() {
  m_trustIndex.Clear();
  m_trustIndexStale = kTrustIndexReload;
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
    // Read back once committed: a flush may still roll the row back.
    if (rc == SQLITE_DONE) m_trustIndexStale |= kTrustIndexNewRules;
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
    if (rc == SQLITE_DONE) m_trustIndexStale |= kTrustIndexNewUserListRows;
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return result;
}

uint64_t BRIXDAL::StoreTrustRule(ac_trust_rule& rule) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  const uint64_t result = StoreTrustRuleInternal(rule);
  SyncTrustRuleIndexInternal();
  return result;
}

uint64_t BRIXDAL::StoreUserList(ac_user_list& record) {
  brix_dal::TracedLock lock(&m_mutex, __func__);
  const uint64_t result = StoreUserListInternal(record);
  SyncTrustRuleIndexInternal();
  return result;
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
  const uint64_t count = brix_dal::FlushBuffer(
      m_trustRuleBuffer, m_DB.Get(), "StoreTrustRuleFlushInternal",
      [this](ac_trust_rule& r) {
        m_mutex.AssertHeld();  // run under our hold
        return StoreTrustRuleInternal(r);
      },
      reason);
  SyncTrustRuleIndexInternal();
  return count;
}

uint64_t BRIXDAL::StoreUserListFlushInternal(brix::Status* reason) {
  const uint64_t count = brix_dal::FlushBuffer(
      m_userListBuffer, m_DB.Get(), "StoreUserListFlushInternal",
      [this](ac_user_list& r) {
        m_mutex.AssertHeld();  // run under our hold
        return StoreUserListInternal(r);
      },
      reason);
  SyncTrustRuleIndexInternal();
  return count;
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
  // The rules are read from memory; a table that could not be read back
  // fails the lookup as a failed query would.
  if (!SyncTrustRuleIndexInternal()) {
    BRIX_LOG(BRIX_ERROR, kFile, "DAL Error%s\n",
             GetLastDBErrorString().c_str());
    return false;
  }

  // Texts compare as bound parameters carry them, up to a first NUL; an
  // empty text is compared as "", so a rule that requires a value never
  // matches an event that lacks it.
  auto bound = [](const std::string& s) { return std::string_view(s.c_str()); };
  TrustProbe probe;
  probe.kind = kind;
  probe.processName = bound(event.processName);
  probe.signerName = bound(*signer);
  probe.productName = bound(*product);
  probe.companyName = bound(*company);
  for (int i = 0; i < kIssuerFieldCount; ++i) probe.issuer[i] = bound(issuer[i]);
  probe.procUser = bound(*procUser);
  probe.procGroup = bound(*procGroup);
  probe.sha256 = digest->HasBytes() ? digest->GetBytes() : nullptr;
  probe.eventProcessName = &event.processName;
  probe.eventName = &event.name;
  probe.eventGroup = procGroup;

  // With trace logging every rule is walked, so that each one the query
  // would return writes its lines.
  const BRIXTrustRuleIndex::Rule* rule = m_trustIndex.Find(
      probe, BRIXLogger::GetInstance()->ShouldLog(BRIX_TRACE));
  if (rule == nullptr) {
    reportNotFound();
    return false;
  }
  event.driftTrust = 4;
  if (const char* ruleset = rule->CStr(BRIXTrustRuleIndex::kRuleset))
    event.ruleset = ruleset;
  UpdateHitcount(static_cast<int>(rule->id), rule->hitcount);
  return true;
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
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  // The next hit of the rule stores one more than what is stored now.
  if (rc == SQLITE_DONE) m_trustIndex.SetHitcount(trustRuleId, hitcount + 1);
  return true;
}

bool BRIXDAL::CallMatchEventPath(std::string& eventPath,
                                 std::string& rulePaths) {
  return MatchEventPathWithRulePath(eventPath, rulePaths);
}
