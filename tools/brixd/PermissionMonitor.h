// PermissionMonitor.h: program starts, library loads and script runs on
// the watched file systems, answered with the engine's verdicts within a
// deadline.
//
// One fanotify group of class content carries FAN_OPEN_EXEC_PERM and
// FAN_OPEN_PERM marks on the file systems of the watched folders
// (file-system marks, so that a copy of a mount in another mount
// namespace is watched as well): the kernel holds each execve and each
// open of a file there until brixd answers.  Most opens are neither code
// nor an interpreter's (DecisionEvent.h): the reader answers them at once
// from the file's kind and the process's image, without hashing.
//
// One reader thread owns the group.  It drains it in batches, fills each
// event's facts, registers it with its deadline at once and answers
// what needs no work itself: brixd's own events, ordinary opens, a file
// version already allowed for the same process, and anything it cannot
// take (overload, an event of an unknown version).  Everything else goes to a pool of
// workers that hash the target and ask the engine.  Between reads the
// reader answers every event whose deadline passed with the failure
// policy; a worker's hashing stops as soon as its event is answered.  So
// no event waits longer than the deadline, whatever the workers are
// doing, and SIGTERM answers all that is pending at once.
//
// Every event ends in Conclude, which knows the verdict, the reason and
// the event's facts: counters, latency, log lines (and any later record
// of decisions) hang there.
#ifndef BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_
#define BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_

#include <sys/fanotify.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DigestCache.h"
#include "InterpreterCache.h"
#include "KnownProcesses.h"
#include "ObjectKind.h"
#include "PendingEvent.h"
#include "RunningProgram.h"
#include "ScriptArguments.h"

namespace brixd {

class Journal;
class KernelGuard;
class ProcessReader;
class ProcessTable;
struct Stats;

class PermissionMonitor {
 public:
  struct Settings {
    unsigned threads = 2;
    uint64_t deadlineNanos = 1000000000;
    bool failOpen = true;  // the answer at the deadline and on errors
    bool lockdown = false;  // the engine's mode: a log-only allow is then no verdict
    bool opens = true;      // libraries and scripts too, not only program starts
    uint64_t maxHashBytes = 256ull << 20;
    // Every this often the reader tells systemd it is alive; 0: never.
    uint64_t watchdogNanos = 0;
    // How long a log-only verdict of one file version is taken again for
    // the same process and user without asking the engine; 0: never.
    uint64_t logOnlyMemoryNanos = 30ull * 1000000000;
  };

  // `table` learns every process seen starting a program or opening a
  // file, for drift to name writers that are gone.
  PermissionMonitor(const Settings& settings, Stats* stats, DigestCache* cache,
                    ProcessReader* processes, ProcessTable* table);
  ~PermissionMonitor();
  PermissionMonitor(const PermissionMonitor&) = delete;
  PermissionMonitor& operator=(const PermissionMonitor&) = delete;

  // Creates the group and marks the file systems that hold `folders`.
  // False with `error` naming the folder and the kernel's reason.
  bool Open(const std::vector<std::string>& folders, std::string* error);

  // Decisions that matter go to `journal` (may be null); set before Start.
  void SetJournal(Journal* journal) { journal_ = journal; }
  // The kernel's own checks of mappings and starts (may be null); set
  // before Start.  With it, allowed versions of code are recorded there
  // before the answer, and an ELF open is a read: the kernel decides the
  // mapping.
  void SetKernelGuard(KernelGuard* guard) { guard_ = guard; }
  // Whether another process's change of the rule database reaches
  // RulesChanged (RuleWatch.h); without that nothing that outlives an
  // answer may be left in the kernel.  Set before Start.
  void SetRulesWatched(bool watched) { rulesWatched_ = watched; }

  void Start();
  // Answers every pending event with the failure policy, stops the reader
  // and waits up to `graceNanos` for the workers.  False when a worker is
  // still inside the engine then: its thread is left behind, and the
  // caller must end the process without unloading the engine.
  bool Stop(uint64_t graceNanos);

  // Forgets everything brixd remembers that an engine answer went into:
  // the verdicts of file versions (allowed and log-only), which files may
  // carry ignore marks, which processes are interpreters, and the
  // kernel's ignore marks themselves.  Verdicts being decided meanwhile
  // are not remembered.  For anything that may change what the engine
  // answers; the reader calls it on every change of the rule database.
  // Safe from any thread once Open has succeeded.
  void DropCaches();
  // Another process wrote the rule database: DropCaches, counted.  At
  // once, not when the engine is restarted on the new rules: an ignore
  // mark would let a start pass unseen that the new rules may block.
  void RulesChanged();

 private:
  using EventPtr = std::shared_ptr<PendingEvent>;

  void ReadLoop();
  // Reads what the group holds; false when nothing was there.
  bool ReadBatch(char* buffer, size_t size, bool stopping);
  void Admit(const struct fanotify_event_metadata* event, bool stopping);
  void GatherFacts(PendingEvent* event);
  // The reader's look at a plain open: true when it answered it.  Else
  // the event's kind says what the workers do with it.
  bool TriageOpen(PendingEvent* event);
  // The kind of an opened regular file, for the reader (`nowait`: from
  // the page cache only) or a worker.  kPlain: an empty file only root
  // can fill, answered at once; kUnread: not read, `error` says why.
  enum class KindEnd { kKnown, kPlain, kUnread };
  KindEnd KindOfOpen(PendingEvent& event, bool nowait, ObjectKind* kind, int* error);
  // The image of a start just allowed, and the open that follows it.
  void NoteStartedImage(pid_t pid, const FileIdentity& id);
  bool TakeStartedImage(pid_t pid, const FileIdentity& id);
  // Records a process in the table the first time it is seen with this
  // image.
  void RememberProcess(pid_t pid, const std::string& executable);
  // Answers the events whose deadline has passed and forgets the
  // answered ones; the monotonic time of the next deadline, or 0.
  uint64_t Sweep(uint64_t now);

  void Work();
  void Enqueue(EventPtr event);
  Outcome Decide(PendingEvent& event);
  // A plain open the reader could not settle without waiting.
  Outcome DecideOpen(PendingEvent& event);
  // Hashes the target and asks the engine about an event of `kind`.
  Outcome AskEngine(PendingEvent& event, EventKind kind);
  Outcome Policy(Reason reason, std::string detail = std::string()) const;

  // The one end of every event: answers it unless it was answered, then
  // counts and logs.
  void Conclude(PendingEvent& event, const Outcome& outcome);
  void Respond(int fd, uint32_t answer);
  // The reader's answers of one batch, in one system call.
  void FlushReplies();
  // What fanotify is told when the kernel guard holds the mapping
  // decision; records an allowed version of code there first.
  uint32_t KernelAnswer(const PendingEvent& event, const Outcome& outcome);
  // Records a version allowed to be mapped and started; a full table is
  // emptied together with the ignore marks, which would otherwise hide
  // the opens that fill it again.
  void RecordInKernel(const std::string& path, const struct stat& version);

  // The kernel's ignore marks: a file whose verdict cannot depend on the
  // process (allowed by the inventory or an execution ruleset, with no
  // trust rule that could name a process, user or group) and that only
  // root can write (MayCarryIgnoreMark) causes no event for any process
  // until it is written (the kernel then drops the mark) or the rules
  // change (brixd drops them all).  Returns the mask of the mark set, 0
  // when none was.
  uint64_t MaybeIgnore(const PendingEvent& event, EventKind kind, const struct stat& hashed,
                   const Outcome& outcome, uint64_t generation);
  bool TrustRulesAbsent();
  // A plain file answered at once may still be known by digest (a header
  // under a scanned /usr/include): a worker asks, and marks it if so.
  void OfferForMark(const PendingEvent& event);
  void ProbeForMark(PendingEvent& event);

  // Brixd's memory of allowed starts: a file version (identity) that the
  // engine allowed by rule or inventory for this process and user.
  // `*remark`: the mask of a mark the kernel evicted, to be set again
  // once the event is answered (and its version recorded in the kernel).
  bool CachedAllow(const PendingEvent& event, uint64_t* remark, uint64_t* generation);
  void RememberAllow(const PendingEvent& event, const struct stat& hashed,
                     uint64_t generation, uint64_t markMask);
  // Sets an evicted mark again, unless the rules changed since `generation`.
  void Remark(int fd, uint64_t mask, uint64_t generation);
  // The same for log-only verdicts, for settings_.logOnlyMemoryNanos.
  bool RememberedLogOnly(const PendingEvent& event, Outcome* out);
  void RememberLogOnly(const PendingEvent& event, const struct stat& hashed,
                       const Outcome& outcome, uint64_t generation);

  // Constant after construction
  const Settings settings_;
  Stats* const stats_;
  DigestCache* const cache_;
  ProcessReader* const processes_;
  ProcessTable* const table_;
  const pid_t self_;
  Journal* journal_ = nullptr;
  KernelGuard* guard_ = nullptr;
  bool rulesWatched_ = false;

  // Safe from any thread
  ObjectKindCache kinds_{65536};
  InterpreterCache interpreters_{4096};
  KnownProcesses known_{16384};
  ProgramIdentifier programs_{&interpreters_};
  ScriptArguments scripts_{4096};

  // Constant between Open and Stop
  int group_ = -1;
  int wake_ = -1;  // eventfd: readable once Stop begins
  size_t maxPending_ = 4096;

  // Only the reader thread touches the registry: events in the order they
  // were read, which is the order of their deadlines.
  std::deque<EventPtr> registry_;
  // The answers the reader gave while reading one batch, written at its
  // end, and the events they belong to (their descriptors stay open
  // until then, so that no later event can take the same number).
  std::vector<struct fanotify_response> replies_;
  std::vector<EventPtr> replied_;
  // The processes first recorded in that batch, dated after its answers.
  std::vector<pid_t> toDate_;

  // State below is protected by allowedMutex_
  std::mutex allowedMutex_;
  // With the mask of the ignore mark the file was given (0: none): an
  // event for it means the kernel evicted the mark, which is set again.
  struct Allowed {
    FileIdentity id;
    uint64_t markMask = 0;
  };
  std::unordered_map<std::string, Allowed> allowed_;
  static constexpr size_t kMaxAllowed = 65536;

  // State below is protected by logOnlyMutex_
  struct LogOnlyVerdict {
    FileIdentity id;
    uint64_t until;  // monotonic
    Outcome outcome;
  };
  std::mutex logOnlyMutex_;
  std::unordered_map<std::string, LogOnlyVerdict> logOnly_;
  static constexpr size_t kMaxLogOnly = 16384;

  // State below is protected by probedMutex_: file versions already
  // offered for a mark, so that each is hashed once.
  std::mutex probedMutex_;
  // True for the versions that were marked.
  std::unordered_map<FileIdentity, bool, FileIdentityHash> probed_;
  static constexpr size_t kMaxProbed = 65536;

  // State below is protected by startedMutex_
  std::mutex startedMutex_;
  std::unordered_map<pid_t, FileIdentity> started_;
  static constexpr size_t kMaxStarted = 4096;

  // State below is protected by queueMutex_
  std::mutex queueMutex_;
  std::condition_variable queueWake_;
  std::condition_variable workersIdle_;
  std::deque<EventPtr> queue_;
  bool workersStopping_ = false;
  unsigned workersRunning_ = 0;

  // Raised by the reader on every change of the rule database; verdicts
  // taken under an older value are not remembered.
  std::atomic<uint64_t> rulesGeneration_{0};
  // 0 not known (since the last change), 1 no trust rules, 2 some.
  std::atomic<int> trustRules_{0};

  std::atomic<bool> stopping_{false};
  std::thread reader_;
  std::vector<std::thread> workers_;
};

// Monotonic nanoseconds.
uint64_t NowNanos();

// The path of the open file `fd`, or empty with `error` set.
std::string DescriptorPathOf(int fd, std::string* error);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_
