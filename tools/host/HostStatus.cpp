#include "HostStatus.h"

#include <cstdio>
#include <cstring>

namespace brix_host {

namespace {

struct CodeName {
  uint32_t code;
  const char* name;
};

// The status codes of the exported functions.
constexpr CodeName kStatusNames[] = {
    {BRIX_STATUS_SUCCESS, "success"},
    {BRIX_STATUS_BLOCK, "block"},
    {BRIX_STATUS_FAILED, "operation failed"},
    {BRIX_STATUS_NULL_LENGTH, "null length pointer"},
    {BRIX_STATUS_NOT_STARTED, "engine not started"},
    {BRIX_STATUS_BAD_PATH, "bad or refused path"},
    {BRIX_STATUS_DB_INIT_FAILED, "database initialisation failed"},
    {BRIX_STATUS_LOGGER_INIT_FAILED, "logger initialisation failed"},
    {BRIX_STATUS_NULL_EVENT, "null event"},
    {BRIX_STATUS_INCOMPLETE_ITEM, "incomplete inventory item"},
    {BRIX_STATUS_NULL_RULESET, "null ruleset buffer or name"},
    {BRIX_STATUS_NULL_START_RECORD, "null start record"},
    {BRIX_STATUS_BUFFER_TOO_SMALL, "buffer too small"},
};

constexpr CodeName kActionNames[] = {
    {BRIX_ACTION_NONE, "none"},     {BRIX_ACTION_NOT_RELEVANT, "not relevant"},
    {BRIX_ACTION_ERROR, "error"},   {BRIX_ACTION_ALLOW, "allow"},
    {BRIX_ACTION_BLOCK, "block"},
};

constexpr CodeName kSourceNames[] = {
    {DAL_SOURCE_ALL, "none"},
    {DAL_SOURCE_AGENT_RULES, "agent rules"},
    {DAL_SOURCE_EXECUTION_RULES, "execution rules"},
    {DAL_SOURCE_SCANNED_ITEMS, "scanned items"},
    {DAL_SOURCE_APPROVED_DRIFT, "approved drift"},
    {DAL_SOURCE_PRELINK, "prelink items"},
    {DAL_SOURCE_TRUST_RULES, "trust rules"},
};

constexpr CodeName kAuthorisationNames[] = {
    {0, "not authorised"}, {1, "maintenance window"}, {2, "not approved"},
    {3, "on the allow list"}, {4, "trusted"}, {5, "excluded"},
};

constexpr CodeName kDecisionNames[] = {
    {0, "unknown"}, {1, "allowed"}, {2, "blocked"},
};

// Categories the engine folds host event codes into; any other value is a
// host code that no category took.
constexpr CodeName kCategoryNames[] = {
    {0, "none"},          {1, "program start"}, {4, "file change"},
    {7, "delete"},        {8, "script start"},  {9, "executable mapping"},
};

struct VerdictText {
  Verdict verdict;
  const char* name;
};

constexpr VerdictText kVerdictNames[] = {
    {Verdict::kAllowed, "allowed"},
    {Verdict::kLoggedOnly, "logged only"},
    {Verdict::kWaitingManifest, "allowed waiting for manifest"},
    {Verdict::kBlocked, "blocked"},
    {Verdict::kExcluded, "excluded"},
    {Verdict::kIgnored, "ignored"},
    {Verdict::kDriftTrusted, "drift trusted"},
    {Verdict::kDriftAllowListed, "drift allow-listed"},
    {Verdict::kDriftBlockListed, "drift block-listed"},
    {Verdict::kDriftAuthorised, "drift authorised"},
    {Verdict::kDriftUntrusted, "drift untrusted"},
    {Verdict::kDeleted, "deleted"},
    {Verdict::kError, "error"},
};

template <size_t N>
const char* Lookup(const CodeName (&table)[N], uint32_t code,
                   const char* otherwise) {
  for (const CodeName& entry : table)
    if (entry.code == code) return entry.name;
  return otherwise;
}

constexpr uint32_t kCategoryFileChange = 4;
constexpr uint32_t kCategoryDelete = 7;
constexpr uint32_t kAuthorisedExcluded = 5;

Verdict ClassifyDrift(const ac_wrapper_response_s& response) {
  if (response.decision == 2) return Verdict::kDriftBlockListed;
  switch (response.isAuthorized) {
    case 1: return Verdict::kDriftAuthorised;
    case 2: return Verdict::kDriftBlockListed;
    case 3: return Verdict::kDriftAllowListed;
    case 4: return Verdict::kDriftTrusted;
    default: return Verdict::kDriftUntrusted;
  }
}

}  // namespace

const char* StatusName(uint32_t status) {
  return Lookup(kStatusNames, status, "unknown status");
}

std::string DescribeStatus(uint32_t status) {
  char code[16];
  snprintf(code, sizeof(code), "0x%08x", status);
  return std::string(StatusName(status)) + " (" + code + ")";
}

const char* ActionName(uint32_t action) {
  return Lookup(kActionNames, action, "unknown");
}
const char* SourceName(uint32_t source) {
  return Lookup(kSourceNames, source, "unknown");
}
const char* AuthorisationName(uint32_t isAuthorized) {
  return Lookup(kAuthorisationNames, isAuthorized, "unknown");
}
const char* DecisionName(uint32_t decision) {
  return Lookup(kDecisionNames, decision, "unknown");
}
const char* CategoryName(uint32_t type) {
  return Lookup(kCategoryNames, type, "not categorised");
}

Verdict ClassifyResponse(uint32_t status,
                         const ac_wrapper_response_s& response) {
  if (status == BRIX_STATUS_BLOCK) return Verdict::kBlocked;
  if (status != BRIX_STATUS_SUCCESS) return Verdict::kError;
  if (response.action == BRIX_ACTION_ERROR) return Verdict::kError;
  // A block verdict that app_ctl let through: the engine waits for the
  // agent manifest after an upgrade.
  if (response.action == BRIX_ACTION_BLOCK) return Verdict::kWaitingManifest;
  if (response.isAuthorized == kAuthorisedExcluded &&
      response.action == BRIX_ACTION_NOT_RELEVANT)
    return Verdict::kExcluded;
  if (response.type == kCategoryFileChange) return ClassifyDrift(response);
  if (response.type == kCategoryDelete) return Verdict::kDeleted;
  if (response.action == BRIX_ACTION_ALLOW) {
    // Unknown software let through without lockdown carries no decision
    // and no authorisation; everything else that allows says why.
    if (response.decision == 0 && response.isAuthorized == 0)
      return Verdict::kLoggedOnly;
    return Verdict::kAllowed;
  }
  return Verdict::kIgnored;
}

const char* VerdictName(Verdict verdict) {
  for (const VerdictText& entry : kVerdictNames)
    if (entry.verdict == verdict) return entry.name;
  return "error";
}

bool ParseVerdict(const std::string& text, Verdict* verdict) {
  for (const VerdictText& entry : kVerdictNames) {
    if (text == entry.name) {
      *verdict = entry.verdict;
      return true;
    }
  }
  return false;
}

std::string ResponseRuleset(const ac_wrapper_response_s& response) {
  const size_t length = strnlen(response.ruleset, sizeof(response.ruleset));
  return std::string(response.ruleset, length);
}

}  // namespace brix_host
