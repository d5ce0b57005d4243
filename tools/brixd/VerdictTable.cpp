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
  Answer answer;
  const char* reason;
};

// First matching row wins.  Keep in step with the table in the header and
// in docs/brixd.md.
constexpr Row kTable[] = {
    {StatusClass::kBlock, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Answer::kDeny, "blocked"},
    {StatusClass::kErrorVerdict, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Answer::kPolicy, "engine error verdict"},
    {StatusClass::kOtherFailure, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Answer::kPolicy, "engine call failed"},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 1, Category::kAny, Mode::kAny, false,
     Answer::kAllow, "allowed"},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 0, Category::kAny, Mode::kLogOnly, false,
     Answer::kAllow, "unknown, allowed outside lockdown"},
    {StatusClass::kSuccess, Action(BRIX_ACTION_ALLOW), 0, Category::kAny, Mode::kLockdown, false,
     Answer::kPolicy, "allow without a rule under lockdown"},
    {StatusClass::kSuccess, Action(BRIX_ACTION_BLOCK), kAnyDecision, Category::kAny, Mode::kAny,
     false, Answer::kAllow, "block waived until the agent manifest arrives"},
    {StatusClass::kSuccess, Action(BRIX_ACTION_NONE) | Action(BRIX_ACTION_NOT_RELEVANT),
     kAnyDecision, Category::kOther, Mode::kAny, true, Answer::kAllow, "not a script"},
    {StatusClass::kSuccess, kAnyAction, kAnyDecision, Category::kAny, Mode::kAny, false,
     Answer::kPolicy, "no verdict"},
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
    case EventKind::kStart: return "start";
    case EventKind::kLibrary: return "library";
    case EventKind::kScript: return "script";
  }
  return "?";
}

uint32_t EngineCategory(EventKind kind) {
  switch (kind) {
    case EventKind::kStart: return 1;
    case EventKind::kLibrary: return 9;
    case EventKind::kScript: return 8;
  }
  return 0;
}

Verdict AnswerFor(EventKind kind, uint32_t status, const ac_wrapper_response_s& response,
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
    return {row.answer, row.reason};
  }
  // The last row matches every success; failures matched above.
  return {Answer::kPolicy, "no verdict"};
}

}  // namespace brixd
