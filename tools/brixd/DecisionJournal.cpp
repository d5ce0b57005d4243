#include "DecisionJournal.h"

#include <sys/fanotify.h>
#include <sys/stat.h>

#include <cstring>

#include "FileDigest.h"

namespace brixd {

namespace {

using brix_host::JournalKind;

constexpr uint32_t kItemExecutable = 3;
constexpr uint32_t kItemScript = 4;

// The journal's kind of a decided event; false for the opens brixd
// answers itself, which decide nothing about code.
bool KindOf(const PendingEvent& event, JournalKind* kind) {
  switch (event.kind) {
    case EventKind::kProgramStart: *kind = JournalKind::kStart; return true;
    case EventKind::kLibrary: *kind = JournalKind::kLibrary; return true;
    case EventKind::kScript: *kind = JournalKind::kScript; return true;
    case EventKind::kOpen:
    case EventKind::kUnknown: break;
  }
  return false;
}

// A written file that could run: the engine classified it as executable
// or script, or its name is a shared library's (libfoo.so, libfoo.so.1).
bool CouldRun(const ac_wrapper_event_s& record, const ac_wrapper_response_s& response) {
  if (response.itemType == kItemExecutable || response.itemType == kItemScript ||
      record.isexec != 0)
    return true;
  const char* name = record.name != nullptr ? strrchr(record.name, '/') : nullptr;
  if (name == nullptr) return false;
  const char* so = strstr(name, ".so");
  return so != nullptr && (so[3] == '\0' || so[3] == '.');
}

}  // namespace

void JournalPermissionEvent(Journal* journal, const PendingEvent& event, const Outcome& outcome) {
  JournalKind kind = JournalKind::kStart;
  if (journal == nullptr || !journal->running() || !KindOf(event, &kind) ||
      outcome.reason == Reason::kPlainOpen || outcome.reason == Reason::kNotScript)
    return;
  if (outcome.reason == Reason::kCachedVerdict) {
    // Only rule and inventory allows are remembered.
    journal->CountInventoryAllow(kind);
    return;
  }
  // brixd's own answers carry their reason: the failure policy's, and
  // its refusal of known code that users can write.
  const bool policy =
      IsPolicyReason(outcome.reason) || outcome.reason == Reason::kUserWritable;
  const ac_wrapper_response_s none{};
  const ac_wrapper_response_s& response = outcome.engineAsked ? outcome.response : none;
  const uint32_t status = outcome.engineAsked ? outcome.status : BRIX_STATUS_FAILED;
  switch (JournalEntryFor(kind, status, response, policy, false)) {
    case JournalEntry::kSkip: return;
    case JournalEntry::kCountInventory: journal->CountInventoryAllow(kind); return;
    case JournalEntry::kRecord: break;
  }
  brix_host::JournalRecord record;
  record.kind = kind;
  SetJournalVerdict(status, response, outcome.answer == FAN_DENY, &record);
  if (policy) {
    record.reason = ReasonName(outcome.reason);
    if (!outcome.detail.empty()) record.reason += ": " + outcome.detail;
  }
  record.path = event.path;
  record.sha256 = outcome.sha256;
  record.size = outcome.sha256.empty() && event.statOk ? static_cast<uint64_t>(event.st.st_size)
                                                       : outcome.size;
  record.pid = static_cast<uint64_t>(event.pid);
  record.process = event.process.executable;
  record.parent = ParentExecutable(event.pid);
  record.user = event.process.user;
  record.group = event.process.group;
  journal->Add(std::move(record));
}

void JournalDrift(Journal* journal, const ac_wrapper_event_s& record, uint32_t status,
                  const ac_wrapper_response_s& response) {
  if (journal == nullptr || !journal->running() || record.name == nullptr) return;
  if (JournalEntryFor(JournalKind::kDrift, status, response, false, CouldRun(record, response)) !=
      JournalEntry::kRecord)
    return;
  brix_host::JournalRecord line;
  line.kind = JournalKind::kDrift;
  SetJournalVerdict(status, response, false, &line);
  line.path = record.name;
  if (record.oldName != nullptr) line.oldPath = record.oldName;
  if (record.fileSha256 != nullptr) line.sha256 = brix_host::ToHex(record.fileSha256, 32);
  line.size = record.size;
  line.pid = record.pid;
  if (record.processName != nullptr) line.process = record.processName;
  if (record.user != nullptr) line.user = record.user;
  if (record.group != nullptr) line.group = record.group;
  line.parent = ParentExecutable(static_cast<pid_t>(record.pid));
  journal->Add(std::move(line));
}

}  // namespace brixd
