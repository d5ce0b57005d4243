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

// What the kernel asks about.
enum class EventKind : uint8_t {
  kProgramStart,  // FAN_OPEN_EXEC_PERM: execve of the target (host code 23)
  kLibrary,  // an ELF object opened to be mapped as code (host code 53)
  kScript,   // an interpreter's open of a file (host code 15)
  kOpen,     // any other open, answered by brixd itself
  kUnknown,  // a permission event brixd did not ask for
};

// "start", "library", "script", "open", "unknown": the words logs and
// journals use.
const char* EventKindName(EventKind kind);

// The engine's category for an event of this kind once it is decided:
// 1 program start, 9 executable mapping, 8 script start; 0 for the kinds
// the engine is not asked about.
uint32_t EngineCategory(EventKind kind);

// Why an event got its answer.  Every answer but the engine's own verdicts
// and brixd's own judgements of ordinary opens is the failure policy.
enum class Reason : uint8_t {
  kEngineAllowed,    // allowed by rule, inventory or trust
  kEngineLogOnly,    // unknown, lockdown off
  kWaitingManifest,  // a block let through until the manifest is imported
  kEngineBlocked,    // the engine's block
  kNotScript,        // an interpreter's open that the engine left uncategorised
  kPlainOpen,        // not code and not an interpreter's: never the engine's
  kCachedVerdict,    // the same file version allowed before for this process
  kUserWritable,     // known code a user could rewrite before it is read (lockdown)
  kOwnEvent,         // brixd's own (it never judges itself)
  kEngineError,      // the engine failed or gave no verdict
  kNoPath,           // the target's path could not be read
  kUnreadable,       // the target could not be examined or read
  kTooLarge,         // above --max-hash-size
  kUnstable,         // rewritten during every attempt to hash it
  kDeadline,         // no verdict within the deadline
  kOverload,         // too many events waiting already
  kStopping,         // brixd stops
  kBadEvent,         // an event of an unexpected version or kind
};

// "engine allowed", "deadline" ...: stable words for logs and journals.
const char* ReasonName(Reason reason);

// True for the reasons that are the failure policy's answer.
bool IsPolicyReason(Reason reason);

// The reason for one engine call's result, by the table above: the
// engine's block is kEngineBlocked (deny), a policy reason means the fail
// policy answers, every other reason allows.
Reason AnswerFor(EventKind kind, uint32_t status, const ac_wrapper_response_s& response,
                 bool lockdown);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_VERDICTTABLE_H_
