#include "VerdictTable.h"

namespace brixd {

namespace {

enum class StatusClass : uint8_t { kBlock, kErrorVerdict, kOtherFailure, kSuccess };
// kOther: the response's type is not the category the kind asked for.
enum class Category : uint8_t { kAny, kOther };
enum class Mode : uint8_t { kAny, kLockdown, kLogOnly };

constexpr uint32_t kAnyAction = 0;
constexpr uint32_t Action(uint32_t action) { return 1u << action; }
constexpr int kAnyDecision = -1;

struct Row {
  StatusClass status;
  uint32_t actions;  // set of BRIX_ACTION_* bits; kAnyAction matches all
  int decision;      // kAnyDecision matches all
  Category category;  // the response's type against the kind's category
  Mode mode;
  bool scriptsOnly;
  Reason reason;
};

// First matching row wins.  Keep in step with the table in the header and
// in docs/brixd.md.
constexpr Row kTable[] = {
    {StatusClass::kBlock, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Reason::kEngineBlocked},
    {StatusClass::kErrorVerdict, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Reason::kEngineError},
    {StatusClass::kOtherFailure, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Reason::kEngineError},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 1, Category::kAny, Mode::kAny, false,
     Reason::kEngineAllowed},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 0, Category::kAny, Mode::kLogOnly, false,
     Reason::kEngineLogOnly},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 0, Category::kAny, Mode::kLockdown, false,
     Reason::kEngineError},
    {StatusClass::kSuccess, Action(BRIX_ACTION_BLOCK), kAnyDecision, Category::kAny, Mode::kAny,
     false, Reason::kWaitingManifest},
    {StatusClass::kSuccess, Action(BRIX_ACTION_NONE) | Action(BRIX_ACTION_NOT_RELEVANT),
     kAnyDecision, Category::kOther, Mode::kAny, true, Reason::kNotScript},
    {StatusClass::kSuccess, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Reason::kEngineError},
};

StatusClass ClassOf(uint32_t status) {
  if (status == BRIX_STATUS_BLOCK) return StatusClass::kBlock;
  if (status == BRIX_STATUS_FAILED) return StatusClass::kErrorVerdict;
  if (status != BRIX_STATUS_SUCCESS) return StatusClass::kOtherFailure;
  return StatusClass::kSuccess;
}

}  // namespace

const char* EventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::kProgramStart: return "start";
    case EventKind::kLibrary: return "library";
    case EventKind::kScript: return "script";
    case EventKind::kOpen: return "open";
    case EventKind::kUnknown: break;
  }
  return "unknown";
}

uint32_t EngineCategory(EventKind kind) {
  switch (kind) {
    case EventKind::kProgramStart: return 1;
    case EventKind::kLibrary: return 9;
    case EventKind::kScript: return 8;
    case EventKind::kOpen:
    case EventKind::kUnknown: break;
  }
  return 0;
}

const char* ReasonName(Reason reason) {
  switch (reason) {
    case Reason::kEngineAllowed: return "engine allowed";
    case Reason::kEngineLogOnly: return "logged only";
    case Reason::kWaitingManifest: return "waiting for manifest";
    case Reason::kEngineBlocked: return "engine blocked";
    case Reason::kNotScript: return "not a script";
    case Reason::kPlainOpen: return "ordinary open";
    case Reason::kCachedVerdict: return "cached verdict";
    case Reason::kUserWritable: return "writable by users";
    case Reason::kOwnEvent: return "own event";
    case Reason::kEngineError: return "engine error";
    case Reason::kNoPath: return "no path";
    case Reason::kUnreadable: return "unreadable";
    case Reason::kTooLarge: return "too large";
    case Reason::kUnstable: return "changed while hashed";
    case Reason::kDeadline: return "deadline";
    case Reason::kOverload: return "overload";
    case Reason::kStopping: return "stopping";
    case Reason::kBadEvent: return "bad event";
  }
  return "unknown";
}

bool IsPolicyReason(Reason reason) {
  switch (reason) {
    case Reason::kEngineAllowed:
    case Reason::kEngineLogOnly:
    case Reason::kWaitingManifest:
    case Reason::kEngineBlocked:
    case Reason::kNotScript:
    case Reason::kPlainOpen:
    case Reason::kCachedVerdict:
    case Reason::kUserWritable:
    case Reason::kOwnEvent:
      return false;
    default:
      return true;
  }
}

Reason AnswerFor(EventKind kind, uint32_t status, const ac_wrapper_response_s& response,
                 bool lockdown) {
  const StatusClass statusClass = ClassOf(status);
  const bool sameCategory = response.type == EngineCategory(kind);
  for (const Row& row : kTable) {
    if (row.status != statusClass) continue;
    if (row.actions != kAnyAction &&
        (response.action >= 32 || (row.actions & Action(response.action)) == 0))
      continue;
    if (row.decision != kAnyDecision && static_cast<uint32_t>(row.decision) != response.decision)
      continue;
    if (row.category == Category::kOther && sameCategory) continue;
    if (row.mode == Mode::kLockdown && !lockdown) continue;
    if (row.mode == Mode::kLogOnly && lockdown) continue;
    if (row.scriptsOnly && kind != EventKind::kScript) continue;
    return row.reason;
  }
  // The last row matches every success; failures matched above.
  return Reason::kEngineError;
}

}  // namespace brixd
