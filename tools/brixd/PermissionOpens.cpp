// PermissionOpens.cpp: the plain opens of PermissionMonitor: what the
// reader answers at once, what a worker settles when the reader could not
// tell without waiting, and the kernel's ignore marks with the rule
// changes that end them.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <cjson/cJSON.h>

#include "AsyncLog.h"
#include "DecisionEvent.h"
#include "EngineGate.h"
#include "EngineSession.h"
#include "KernelGuard.h"
#include "PermissionMonitor.h"
#include "ProcessTable.h"
#include "Stats.h"
#include "WriteAccess.h"

namespace brixd {

// ---- The reader's look at an open -------------------------------------------

bool PermissionMonitor::TriageOpen(PendingEvent* event) {
  // Nothing here waits: the status of the open file, its first page only
  // when the page cache holds it, the image of the process from /proc.
  // What cannot be told so goes to a worker as a plain open.
  if (fstat(event->fd, &event->st) != 0) return false;
  event->statOk = true;
  stats_->openEvents.fetch_add(1, std::memory_order_relaxed);
  Outcome plain;
  plain.answer = FAN_ALLOW;
  plain.reason = Reason::kPlainOpen;
  // Directories and devices run no code.
  if (!S_ISREG(event->st.st_mode)) {
    Conclude(*event, plain);
    return true;
  }
  // Whoever opens a file may be about to write it: drift will want its
  // name, perhaps after it has gone.
  RunningProgram program;
  int programError = 0;
  bool identified = true;
  if (known_.Find(event->pid, &program)) {
    stats_->knownProcessOpens.fetch_add(1, std::memory_order_relaxed);
  } else {
    const std::string executable = ReadExecutable(event->pid);
    RememberProcess(event->pid, executable);
    identified = programs_.Identify(event->pid, false, &program, &programError, &executable);
    if (identified && program.interpreter != Interpreter::kUnknown)
      known_.Insert(event->pid, program);
  }
  ObjectKind kind;
  int error = 0;
  switch (KindOfOpen(*event, true, &kind, &error)) {
    case KindEnd::kKnown: break;
    case KindEnd::kPlain:
      Conclude(*event, plain);
      return true;
    case KindEnd::kUnread:
      return false;  // a worker reads it, or answers by the failure policy
  }
  if (IsCode(kind)) {
    // The open that follows an allowed execve, or a writer (a linker, an
    // installer): no code is loaded by it.  A read-write open may map what
    // it opened, so it is decided as a load.
    if (TakeStartedImage(event->pid, FileIdentity::Of(event->st)) ||
        OpeningAccess(event->pid) == OpenAccess::kWriteOnly) {
      Conclude(*event, plain);
      return true;
    }
    event->kind = EventKind::kLibrary;
    return false;
  }
  if (!identified) {
    // A kernel thread, or a process that is gone: no script to run.  Any
    // other reason is a failure: the process may be an interpreter.
    if (programError == ENOENT)
      Conclude(*event, plain);
    else
      Conclude(*event, Policy(Reason::kUnreadable,
                              std::string("the process's image: ") + strerror(programError)));
    return true;
  }
  switch (program.interpreter) {
    case Interpreter::kNo:
      Conclude(*event, plain);
      OfferForMark(*event);
      return true;
    case Interpreter::kYes:
      // An interpreter writing a file (a shell's redirection, a script's
      // output, a database it keeps) runs nothing from it: what it runs,
      // it opens for reading.
      if (OpeningAccess(event->pid) != OpenAccess::kRead) {
        Conclude(*event, plain);
        return true;
      }
      event->kind = EventKind::kScript;
      event->program = program.path;
      event->throughLoader = program.throughLoader;
      return false;
    case Interpreter::kUnknown:
      return false;  // a worker asks the engine, or hashes the image
  }
  return false;
}

PermissionMonitor::KindEnd PermissionMonitor::KindOfOpen(PendingEvent& event, bool nowait,
                                                         ObjectKind* kind, int* error) {
  // Only a file that no user can write keeps the kind it had at this
  // check until the opener reads it; any other is looked at afresh each
  // time, and even then may change right after the answer (the threat
  // model in docs/brixd.md).
  const bool identityHolds = OnlyRootCanWrite(event.fd, event.st);
  event.onlyRootWrites = identityHolds;
  // Empty files (every file being created is empty when it is opened) run
  // no code, as long as nobody but root can fill them before the read.
  if (event.st.st_size == 0) {
    if (identityHolds) return KindEnd::kPlain;
    *kind = ObjectKind::kNotElf;
    return KindEnd::kKnown;
  }
  const FileIdentity id = FileIdentity::Of(event.st);
  if (identityHolds && kinds_.Find(id, kind)) return KindEnd::kKnown;
  if (!ReadObjectKind(event.fd, static_cast<uint64_t>(event.st.st_size), nowait, kind, error))
    return KindEnd::kUnread;
  if (identityHolds) kinds_.Insert(id, *kind);
  return KindEnd::kKnown;
}

void PermissionMonitor::NoteStartedImage(pid_t pid, const FileIdentity& id) {
  std::lock_guard<std::mutex> lock(startedMutex_);
  // Entries of starts that failed later are never taken; they go in
  // bulk, long after their moment.
  if (started_.size() >= kMaxStarted) started_.clear();
  started_[pid] = id;
}

bool PermissionMonitor::TakeStartedImage(pid_t pid, const FileIdentity& id) {
  std::lock_guard<std::mutex> lock(startedMutex_);
  auto it = started_.find(pid);
  if (it == started_.end() || !(it->second == id)) return false;
  started_.erase(it);
  return true;
}

void PermissionMonitor::RememberProcess(pid_t pid, const std::string& executable) {
  // Once per process (and after each new image): drift may need to name
  // it after it has gone.
  ProcessFacts known;
  if (executable.empty() || (table_->Find(pid, &known) && known.executable == executable))
    return;
  // Its image and owner now, so that a writer is in the table while it
  // runs; its start time, which only tells it from a later process with
  // the same pid, once the batch is answered: the opener need not wait
  // for that read.
  ProcessFacts facts;
  facts.executable = executable;
  if (!ReadProcessOwner(pid, &facts)) return;
  table_->Record(pid, facts);
  toDate_.push_back(pid);
}

Outcome PermissionMonitor::DecideOpen(PendingEvent& event) {
  if (!event.statOk) return Policy(Reason::kUnreadable, strerror(event.statErrno));
  Outcome plain;
  plain.answer = FAN_ALLOW;
  plain.reason = Reason::kPlainOpen;
  if (!S_ISREG(event.st.st_mode)) return plain;
  ObjectKind kind;
  int error = 0;
  switch (KindOfOpen(event, false, &kind, &error)) {
    case KindEnd::kKnown: break;
    case KindEnd::kPlain: return plain;
    case KindEnd::kUnread: return Policy(Reason::kUnreadable, strerror(error));
  }
  if (IsCode(kind)) {
    if (TakeStartedImage(event.pid, FileIdentity::Of(event.st)) ||
        OpeningAccess(event.pid) == OpenAccess::kWriteOnly)
      return plain;
    event.kind = EventKind::kLibrary;
    return AskEngine(event, EventKind::kLibrary);
  }
  RunningProgram program;
  int programError = 0;
  if (!programs_.Identify(event.pid, true, &program, &programError)) {
    if (programError == ENOENT) return plain;
    return Policy(Reason::kUnreadable,
                  std::string("the process's image: ") + strerror(programError));
  }
  if (program.interpreter == Interpreter::kUnknown)
    return Policy(Reason::kEngineError, "the engine cannot say whether the process interprets");
  if (program.interpreter != Interpreter::kYes || OpeningAccess(event.pid) != OpenAccess::kRead)
    return plain;
  event.kind = EventKind::kScript;
  event.process.executable = program.path;
  event.process.throughLoader = program.throughLoader;
  return AskEngine(event, EventKind::kScript);
}

// ---- The kernel's ignore marks ---------------------------------------------

namespace {

// Larger plain files are not hashed to earn a mark.
constexpr off_t kMaxProbeBytes = 4 << 20;
// Nor files written this recently: a build's own outputs and temporary
// files, which no inventory holds yet.  They are offered again at a later
// open, once they have stayed as they are.  (The time of the last write is
// only a hint here: a probe can add a mark, never an allow.)
constexpr int64_t kMinProbeAgeNanos = 10ll * 1000000000;

bool ChangedRecently(const struct stat& st) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t age = (static_cast<int64_t>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000000ll +
                      (now.tv_nsec - st.st_mtim.tv_nsec);
  return age < kMinProbeAgeNanos;
}

// Marks evicted with the inode, so that their memory stays bounded; the
// first write (without FAN_MARK_IGNORED_SURV_MODIFY) drops them too.
bool AddIgnoreMark(int group, int fd, uint64_t mask) {
  if (fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK | FAN_MARK_EVICTABLE, mask, fd,
                    nullptr) == 0)
    return true;
  // Kernels before 5.19 know no evictable marks: a plain one, dropped
  // with the others on every rule change.
  return errno == EINVAL &&
         fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK, mask, fd, nullptr) == 0;
}

// A file an interpreter is likely to be given as its script, though it may
// lack a #! line: marked, its run would go unseen (see MaybeIgnore).
bool NamedLikeAScript(const std::string& path) {
  static constexpr const char* kScriptExtensions[] = {
      "py", "pyw", "pl", "pm", "sh", "bash", "zsh", "ksh",
      "rb", "php", "js", "mjs", "lua", "tcl", "awk"};
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  const char* extension = path.c_str() + dot + 1;
  for (const char* known : kScriptExtensions)
    if (strcmp(extension, known) == 0) return true;
  return false;
}

}  // namespace

void PermissionMonitor::OfferForMark(const PendingEvent& event) {
  // Only where an ignore mark could come of it: files that cannot change
  // under the mark, a rule database to watch.  Small files only (headers,
  // sources, configuration), and only while the workers have nothing
  // waiting: a probe must never hold up a decision an opener waits for.
  if (!rulesWatched_ || !S_ISREG(event.st.st_mode) || event.st.st_size > kMaxProbeBytes ||
      ChangedRecently(event.st) || !event.onlyRootWrites)  // MayCarryIgnoreMark, as found
    return;
  const FileIdentity id = FileIdentity::Of(event.st);
  const uint64_t generation = rulesGeneration_.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> lock(probedMutex_);
    auto it = probed_.find(id);
    if (it != probed_.end()) {
      if (it->second) Remark(event.fd, FAN_OPEN_PERM, generation);
      return;
    }
  }
  {
    // Busy: a later open offers it again.
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!queue_.empty()) return;
  }
  {
    std::lock_guard<std::mutex> lock(probedMutex_);
    if (probed_.size() >= kMaxProbed) probed_.clear();
    if (!probed_.emplace(id, false).second) return;
  }
  auto probe = std::make_shared<PendingEvent>();
  probe->fd = fcntl(event.fd, F_DUPFD_CLOEXEC, 0);
  if (probe->fd < 0) return;
  probe->markProbe = true;
  probe->answered.store(true);
  probe->pid = event.pid;
  probe->st = event.st;
  probe->statOk = true;
  probe->kind = EventKind::kOpen;
  Enqueue(std::move(probe));
}

void PermissionMonitor::ProbeForMark(PendingEvent& event) {
  // The engine is asked as about a library: the inventory is looked up by
  // digest whatever the category, and no process is named (pid 0), so
  // that nothing in its answer can depend on one.
  const uint64_t generation = rulesGeneration_.load(std::memory_order_acquire);
  DigestLimits limits;
  limits.hash.maxBytes = settings_.maxHashBytes;
  brix_host::FileDigests digests;
  struct stat hashed {};
  std::string error;
  if (DigestsOf(event.fd, cache_, stats_, limits, &digests, &hashed, &error) != DigestEnd::kDone)
    return;
  std::string pathError;
  event.path = DescriptorPathOf(event.fd, &pathError);
  if (event.path.empty() || NamedLikeAScript(event.path)) return;
  stats_->markProbes.fetch_add(1, std::memory_order_relaxed);
  const brix_host::HostEvent host =
      BuildDecisionEvent(EventKind::kLibrary, 0, event.path, hashed, digests, ActingProcess());
  const ac_wrapper_event_s record = host.Record();
  Outcome outcome;
  outcome.status = app_ctl(nullptr, &record, &outcome.response);
  outcome.reason = AnswerFor(EventKind::kLibrary, outcome.status, outcome.response, true);
  // Only the inventory's own allow: an execution rule may name a kind of
  // event, and a plain file is a script to an interpreter.
  if (outcome.reason != Reason::kEngineAllowed ||
      outcome.response.source != DAL_SOURCE_SCANNED_ITEMS)
    return;
  if (MaybeIgnore(event, EventKind::kOpen, hashed, outcome, generation) == 0) return;
  std::lock_guard<std::mutex> lock(probedMutex_);
  auto it = probed_.find(FileIdentity::Of(hashed));
  if (it != probed_.end()) it->second = true;
}

void PermissionMonitor::Remark(int fd, uint64_t mask, uint64_t generation) {
  if (!AddIgnoreMark(group_, fd, mask)) return;
  if (rulesGeneration_.load(std::memory_order_acquire) != generation)
    fanotify_mark(group_, FAN_MARK_REMOVE | FAN_MARK_IGNORED_MASK, mask, fd, nullptr);
}

bool PermissionMonitor::TrustRulesAbsent() {
  int known = trustRules_.load(std::memory_order_acquire);
  if (known == 0) {
    // Read from the engine's own count; a failure leaves it unknown, and
    // nothing is marked.
    std::string document;
    uint32_t status;
    {
      EngineCall call;
      status = brix_host::ReadMetrics(&document);
    }
    if (status != BRIX_STATUS_SUCCESS) return false;
    cJSON* root = cJSON_Parse(document.c_str());
    const cJSON* info = nullptr;
    for (const cJSON* part = root ? root->child : nullptr; part && !info; part = part->next)
      info = cJSON_GetObjectItemCaseSensitive(part, "dbinfo");
    if (info == nullptr) info = cJSON_GetObjectItemCaseSensitive(root, "dbinfo");
    const cJSON* count = cJSON_GetObjectItemCaseSensitive(info, "totalTrustRules");
    if (cJSON_IsNumber(count)) known = count->valuedouble == 0 ? 1 : 2;
    cJSON_Delete(root);
    if (known == 0) return false;
    trustRules_.store(known, std::memory_order_release);
  }
  return known == 1;
}

uint64_t PermissionMonitor::MaybeIgnore(const PendingEvent& event, EventKind kind,
                                        const struct stat& hashed, const Outcome& outcome,
                                        uint64_t generation) {
  if (!rulesWatched_ || !MayCarryIgnoreMark(event.fd, hashed)) return 0;
  // The inventory or an execution ruleset decided by digest alone.  The
  // maintenance window's approvals end with it; trust rules may name a
  // process, a user or a group.
  const uint32_t source = outcome.response.source;
  if (source < DAL_SOURCE_AGENT_RULES || source > DAL_SOURCE_PRELINK) return 0;
  if (outcome.response.isAuthorized == 1) return 0;
  if (source != DAL_SOURCE_EXECUTION_RULES && !TrustRulesAbsent()) return 0;
  // A script started by its #! line is opened next by its interpreter,
  // which must be seen: the first file of its command line that an
  // interpreter opens is its script, and the ones after it are its data.
  // The same holds for a plain file that a program merely read: marked, it
  // would hide its later run as a script, and the data file after it would
  // be taken for the script.
  char start[2] = {};
  if (kind != EventKind::kLibrary && pread(event.fd, start, sizeof(start), 0) == 2 &&
      start[0] == '#' && start[1] == '!')
    return 0;
  const uint64_t mask =
      kind == EventKind::kProgramStart ? (FAN_OPEN_EXEC_PERM | FAN_OPEN_PERM) : FAN_OPEN_PERM;
  if (!AddIgnoreMark(group_, event.fd, mask)) return 0;
  // Written between the hashing and the mark, or rules changed meanwhile:
  // the mark may cover what was not decided.
  struct stat now {};
  if (fstat(event.fd, &now) != 0 || !(FileIdentity::Of(now) == FileIdentity::Of(hashed)) ||
      rulesGeneration_.load(std::memory_order_acquire) != generation) {
    fanotify_mark(group_, FAN_MARK_REMOVE | FAN_MARK_IGNORED_MASK, mask, event.fd, nullptr);
    return 0;
  }
  stats_->ignoreMarks.fetch_add(1, std::memory_order_relaxed);
  return mask;
}

void PermissionMonitor::RulesChanged() {
  DropCaches();
  stats_->ruleChanges.fetch_add(1, std::memory_order_relaxed);
}

void PermissionMonitor::DropCaches() {
  // What depends on the rules: the verdicts (brixd's own memory, the
  // kernel's ignore marks and table of allowed versions), which files were
  // probed for marks, which programs are interpreters and what the known
  // processes were taken to run.  Digests and file kinds depend on the
  // files alone and stay.  First the generation: a verdict being decided
  // now is not remembered.
  rulesGeneration_.fetch_add(1, std::memory_order_acq_rel);
  trustRules_.store(0, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(allowedMutex_);
    allowed_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(logOnlyMutex_);
    logOnly_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(probedMutex_);
    probed_.clear();
  }
  // The rules may make another program an interpreter.
  interpreters_.Clear();
  known_.Clear();
  if (guard_ != nullptr) guard_->ForgetAllowed();
  // Every inode mark of this group is an ignore mark.
  if (group_ >= 0 && fanotify_mark(group_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr) != 0)
    g_log->Printf(BRIX_LOG_ERROR, "cannot drop the kernel's ignore marks: %s", strerror(errno));
  stats_->cacheDrops.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace brixd
