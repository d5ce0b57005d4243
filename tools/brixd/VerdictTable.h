// VerdictTable.h: the engine's answer turned into the kernel's.
//
// brixd asks the engine about three kinds of event: a program start, the
// open of an ELF object that is about to be mapped as code (a library, or
// a program run through the dynamic loader), and an interpreter's open of
// a file it may run as a script.  Every other event brixd answers itself.
// For the events it asks about, the answer follows one table, kept here as
// data so that the code, the tests and docs/brixd.md can be compared row
// by row:
//
//   app_ctl status   response                         answer
//   1 (block)        any                               deny
//   0xc0000000       action 8 (error verdict)          fail policy
//   other failure    any                               fail policy
//   0                action 9, decision 1              allow (rule, inventory)
//   0                action 9, decision 0              allow outside lockdown
//                                                      (log-only), else policy
//   0                action 10 (manifest awaited)      allow (the engine waives
//                                                      its blocks until then)
//   0                action 0 or 7, type not the       allow for a script open:
//                    kind's category                   not a script, on purpose;
//                                                      fail policy otherwise
//   0                anything else                     fail policy (no verdict)
//
// So only an explicit allow, a log-only allow outside lockdown, or a script
// open the engine judged not to be a script lets the operation through
// without the policy; everything short of that is a failure.  Pure
// functions: safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_VERDICTTABLE_H_
#define BRIX_TOOLS_BRIXD_VERDICTTABLE_H_

#include <cstdint>

#include "brix.h"

namespace brixd {

// What brixd asked the engine about.
enum class EventKind : uint8_t {
  kStart,    // a program start (host code 23)
  kLibrary,  // an ELF object opened to be mapped as code (host code 53)
  kScript,   // an interpreter's open of a file (host code 15)
};

// "start", "library", "script": the names logs and journals use.
const char* EventKindName(EventKind kind);

// The engine's category for an event of this kind once it is decided:
// 1 program start, 9 executable mapping, 8 script start.
uint32_t EngineCategory(EventKind kind);

enum class Answer : uint8_t {
  kAllow,
  kDeny,
  kPolicy,  // the fail policy: --fail-open or --fail-closed
};

struct Verdict {
  Answer answer;
  // Why, in a few words, for logs and journals; a static string.
  const char* reason;
};

// The answer for one engine call, by the table above.
Verdict AnswerFor(EventKind kind, uint32_t status,
                  const ac_wrapper_response_s& response, bool lockdown);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_VERDICTTABLE_H_
