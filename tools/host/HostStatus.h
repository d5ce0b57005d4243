// HostStatus.h: the engine's codes in words, for people and logs.
//
// Every exported function answers with a 32-bit status and app_ctl fills a
// response of small codes.  A host reports them to a person, so each code
// gets its meaning here once.  Verdict folds a status and a response into
// the one word a host acts on and shows.  Plain functions over constant
// tables; safe from any thread.
#ifndef BRIX_TOOLS_HOST_HOSTSTATUS_H_
#define BRIX_TOOLS_HOST_HOSTSTATUS_H_

#include <cstdint>
#include <string>

#include "brix.h"

namespace brix_host {

// The meaning of a status code ("database initialisation failed"), or
// "unknown status" for a value the engine does not define.
const char* StatusName(uint32_t status);

// "database initialisation failed (0xc0000006)".
std::string DescribeStatus(uint32_t status);

// Names of the response's codes; "unknown" for values outside the tables.
const char* ActionName(uint32_t action);              // "allow", "block" ...
const char* SourceName(uint32_t source);              // "scanned items" ...
const char* AuthorisationName(uint32_t isAuthorized);  // "on the allow list" ...
const char* DecisionName(uint32_t decision);          // "allowed" ...
const char* CategoryName(uint32_t type);              // "program start" ...

// What a host does with one app_ctl answer, and what it tells a person.
enum class Verdict {
  kAllowed,           // proceed: allowed by a rule, the inventory or trust
  kLoggedOnly,        // proceed: unknown software, lockdown off
  kWaitingManifest,   // proceed: a block let through until the manifest
  kBlocked,           // refuse the operation
  kExcluded,          // proceed: excluded folder or exclusion trust rule
  kIgnored,           // proceed: not an event the engine judges
  kDriftTrusted,      // file change made by a trusted updater or rule
  kDriftAllowListed,  // changed file whose new content is allowed
  kDriftBlockListed,  // changed file whose new content is blocked
  kDriftAuthorised,   // changed file approved by the maintenance window
  kDriftUntrusted,    // changed file nobody vouches for
  kDeleted,           // delete seen
  kError,             // the engine could not decide
};

Verdict ClassifyResponse(uint32_t status, const ac_wrapper_response_s& response);

// "allowed", "logged only", "drift trusted" ...: stable words that traces
// use in their "expect" field and that scripts may match on.
const char* VerdictName(Verdict verdict);

// Parses a VerdictName; false when `text` names no verdict.
bool ParseVerdict(const std::string& text, Verdict* verdict);

// Whether the host lets the operation go on (everything but kBlocked).
inline bool VerdictProceeds(Verdict verdict) { return verdict != Verdict::kBlocked; }

// The response's ruleset text: at most 80 bytes, not always terminated.
std::string ResponseRuleset(const ac_wrapper_response_s& response);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_HOSTSTATUS_H_
