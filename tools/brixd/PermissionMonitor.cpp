#include "PermissionMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "AsyncLog.h"
#include "DecisionEvent.h"
#include "DecisionJournal.h"
#include "EngineGate.h"
#include "HostEvent.h"
#include "KernelGuard.h"
#include "ProcessReader.h"
#include "ProcessTable.h"
#include "ServiceNotify.h"
#include "Stats.h"
#include "WriteAccess.h"

namespace brixd {

namespace {

// The reader's batch: up to about 2,000 events in one system call.  Each
// holds a descriptor until it is answered, which Open keeps well inside
// the limit of open files.
constexpr size_t kReadBuffer = 48 * 1024;
// Answers written by one writev; the kernel takes them one by one.
constexpr size_t kRepliesPerWrite = 256;

// Set on the reader thread while it reads a batch: its answers wait for
// the batch's end and go out together.
thread_local bool t_batching = false;
// Reads in a row before the reader looks at the deadlines again.
constexpr int kReadsPerSweep = 8;

}  // namespace

// The kernel cannot name a file deeper than a page of path; such a file
// gets no name and so the failure policy, never an empty name for the
// engine.
std::string DescriptorPathOf(int fd, std::string* error) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = readlink(link, target, sizeof(target));
  if (n < 0) {
    *error = strerror(errno);
    return std::string();
  }
  if (static_cast<size_t>(n) >= sizeof(target) || n == 0) {
    *error = "path longer than PATH_MAX";
    return std::string();
  }
  return std::string(target, static_cast<size_t>(n));
}

namespace {

const char* AnswerWord(uint32_t answer) { return answer == FAN_ALLOW ? "allowed" : "denied"; }

std::string AllowKey(const PendingEvent& event) {
  std::string key(1, static_cast<char>(event.kind));
  key += event.path;
  key += '\0';
  key += event.process.user;
  key += '\0';
  key += event.process.executable;
  return key;
}

}  // namespace

uint64_t NowNanos() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(now.tv_nsec);
}

PermissionMonitor::PermissionMonitor(const Settings& settings, Stats* stats,
                                     DigestCache* cache, ProcessReader* processes,
                                     ProcessTable* table)
    : settings_(settings), stats_(stats), cache_(cache), processes_(processes), table_(table),
      self_(getpid()) {}

PermissionMonitor::~PermissionMonitor() { Stop(UINT64_MAX); }

bool PermissionMonitor::Open(const std::vector<std::string>& folders,
                             std::string* error) {
  if (settings_.opens) {
    // Interpreters are recognised by what their files are, also under
    // another name or through the loader: learnt once, before the marks (the
    // folders are read, and brixd would wait on its own opens).
    const uint64_t began = NowNanos();
    uint64_t probes = 0;
    programs_.Learn({"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"},
                    &probes);
    stats_->interpreterProbes.fetch_add(probes, std::memory_order_relaxed);
    g_log->Printf(BRIX_LOG_INFO, "%zu interpreters and loaders known by identity (%llu probes, %llu ms)",
                  programs_.interpreters(), static_cast<unsigned long long>(probes),
                  static_cast<unsigned long long>((NowNanos() - began) / 1000000));
  }
  // An unlimited queue: an event the kernel could not queue would be let
  // through unseen, which under lockdown is an unknown program running.
  group_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK |
                             FAN_UNLIMITED_QUEUE,
                         O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (group_ < 0) {
    *error = std::string("cannot create the program-start monitor (fanotify_init): ") +
             strerror(errno);
    return false;
  }
  for (const std::string& folder : folders) {
    // The file system, not the mount: every mount of it, in every mount
    // namespace (containers, unshare -m, PrivateTmp), is covered.
    const uint64_t mask = FAN_OPEN_EXEC_PERM | (settings_.opens ? FAN_OPEN_PERM : 0);
    if (fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD,
                      folder.c_str()) != 0) {
      *error = "cannot watch program starts on the file system of " + folder + ": " +
               strerror(errno);
      if (errno == EINVAL)
        *error += " (the kernel needs FAN_OPEN_EXEC_PERM and file-system marks: "
                  "Linux 5.0 or later)";
      close(group_);
      group_ = -1;
      return false;
    }
  }
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    *error = std::string("eventfd: ") + strerror(errno);
    close(group_);
    group_ = -1;
    return false;
  }
  std::string connectorError;
  if (!known_.Open(&connectorError))
    g_log->Printf(BRIX_LOG_WARNING, "%s: every open reads the process's image from /proc",
                  connectorError.c_str());
  // Each waiting event holds a descriptor: stay well inside the limit, so
  // that the group can always be read.
  struct rlimit files {};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    maxPending_ = std::max<size_t>(16, std::min<size_t>(maxPending_, files.rlim_cur / 2));
  return true;
}

void PermissionMonitor::Start() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    workersRunning_ = settings_.threads;
  }
  // Named for top -H and perf: where brixd's time goes.
  for (unsigned i = 0; i < settings_.threads; ++i) {
    workers_.emplace_back(&PermissionMonitor::Work, this);
    pthread_setname_np(workers_.back().native_handle(), "brixd-worker");
  }
  reader_ = std::thread(&PermissionMonitor::ReadLoop, this);
  pthread_setname_np(reader_.native_handle(), "brixd-reader");
}

bool PermissionMonitor::Stop(uint64_t graceNanos) {
  if (group_ < 0) return true;
  if (reader_.joinable()) {
    stopping_.store(true);
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof(one)) != sizeof(one))
      g_log->Printf(BRIX_LOG_ERROR, "cannot wake the reader: %s", strerror(errno));
    reader_.join();
  }
  bool idle;
  {
    std::unique_lock<std::mutex> lock(queueMutex_);
    workersStopping_ = true;
    queueWake_.notify_all();
    const auto limit = graceNanos == UINT64_MAX
                           ? std::chrono::steady_clock::time_point::max()
                           : std::chrono::steady_clock::now() +
                                 std::chrono::nanoseconds(graceNanos);
    idle = workersIdle_.wait_until(lock, limit, [&] { return workersRunning_ == 0; });
  }
  if (!idle) {
    // A worker waits inside the engine (a locked database): its event is
    // answered; the process ends around it.
    g_log->Write(BRIX_LOG_ERROR, "a worker is still inside the engine at stop");
    for (std::thread& worker : workers_) worker.detach();
    workers_.clear();
    return false;
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  // Nothing is queued in the kernel any more: the reader answered all it
  // could read before it ended.
  close(group_);
  close(wake_);
  group_ = wake_ = -1;
  return true;
}

Outcome PermissionMonitor::Policy(Reason reason, std::string detail) const {
  Outcome outcome;
  outcome.answer = settings_.failOpen ? FAN_ALLOW : FAN_DENY;
  outcome.reason = reason;
  outcome.detail = std::move(detail);
  return outcome;
}

void PermissionMonitor::Respond(int fd, uint32_t answer) {
  struct fanotify_response response {};
  response.fd = fd;
  response.response = answer;
  if (t_batching) {
    replies_.push_back(response);
    return;
  }
  while (write(group_, &response, sizeof(response)) < 0) {
    if (errno == EINTR) continue;
    // ENOENT: the kernel no longer waits for this event (the process was
    // killed); nothing is lost.
    if (errno != ENOENT) {
      stats_->answerErrors.fetch_add(1, std::memory_order_relaxed);
      g_log->Printf(BRIX_LOG_ERROR, "cannot answer a program start: %s", strerror(errno));
    }
    return;
  }
}

void PermissionMonitor::FlushReplies() {
  // The kernel reads one answer per write; writev hands it many in one
  // system call and stops at the first it refuses, which then goes alone.
  size_t done = 0;
  while (done < replies_.size()) {
    struct iovec parts[kRepliesPerWrite];
    const size_t count = std::min(kRepliesPerWrite, replies_.size() - done);
    for (size_t i = 0; i < count; ++i)
      parts[i] = {&replies_[done + i], sizeof(struct fanotify_response)};
    const ssize_t wrote = writev(group_, parts, static_cast<int>(count));
    if (wrote < 0 && errno == EINTR) continue;
    const size_t taken = wrote > 0 ? static_cast<size_t>(wrote) / sizeof(struct fanotify_response) : 0;
    done += taken;
    if (taken < count) {
      Respond(replies_[done].fd, replies_[done].response);
      ++done;
    }
  }
  replies_.clear();
}

// ---- The reader -----------------------------------------------------------

void PermissionMonitor::ReadLoop() {
  std::vector<char> storage(kReadBuffer + alignof(struct fanotify_event_metadata));
  char* buffer = storage.data();
  const size_t size = kReadBuffer;
  uint64_t nextPing = 0;
  uint64_t errorsLogged = 0;
  for (;;) {
    uint64_t now = NowNanos();
    const uint64_t nextDeadline = Sweep(now);
    if (settings_.watchdogNanos != 0 && now >= nextPing) {
      NotifyService("WATCHDOG=1");
      nextPing = now + settings_.watchdogNanos;
    }
    uint64_t wakeAt = settings_.watchdogNanos != 0 ? nextPing : now + 1000000000ull;
    if (nextDeadline != 0) wakeAt = std::min(wakeAt, nextDeadline);
    // Rounded up: woken a little late rather than spinning early.
    const int timeout =
        wakeAt <= now ? 0 : static_cast<int>(std::min<uint64_t>((wakeAt - now + 999999) / 1000000, 1000));
    struct pollfd fds[2] = {{group_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) {
      // Never the end of the reader: the deadlines still need it.
      stats_->readErrors.fetch_add(1, std::memory_order_relaxed);
      if (errorsLogged++ < 10)
        g_log->Printf(BRIX_LOG_ERROR, "reader: poll: %s", strerror(errno));
      usleep(10000);
      continue;
    }
    if (stopping_.load(std::memory_order_relaxed)) break;
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      for (int i = 0; i < kReadsPerSweep && ReadBatch(buffer, size, false); ++i) {
      }
    }
  }
  // What the kernel still holds and what is waiting here gets the failure
  // policy now: nothing is left to the kernel's allow at close.  The marks
  // go first, so that the queue ends.
  if (fanotify_mark(group_, FAN_MARK_FLUSH | FAN_MARK_FILESYSTEM, 0, AT_FDCWD, nullptr) != 0)
    g_log->Printf(BRIX_LOG_ERROR, "reader: removing the marks: %s", strerror(errno));
  for (int i = 0; i < 1024 && ReadBatch(buffer, size, true); ++i) {
  }
  for (EventPtr& event : registry_)
    if (!event->answered.load()) Conclude(*event, Policy(Reason::kStopping));
  registry_.clear();
}

bool PermissionMonitor::ReadBatch(char* buffer, size_t size, bool stopping) {
  const ssize_t length = read(group_, buffer, size);
  if (length < 0) {
    if (errno == EAGAIN || errno == EINTR) return false;
    // EMFILE and the like: the kernel denies the event it could not hand
    // over; say so and go on.
    stats_->readErrors.fetch_add(1, std::memory_order_relaxed);
    g_log->Printf(BRIX_LOG_ERROR, "reader: reading events: %s", strerror(errno));
    usleep(1000);
    return false;
  }
  if (length == 0) return false;
  // Every exec and exit reported up to now is taken in before the events
  // just read: none of them can find a process's former image.
  known_.Drain();
  t_batching = true;
  ssize_t left = length;
  for (auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer);
       FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left))
    Admit(event, stopping);
  t_batching = false;
  FlushReplies();
  replied_.clear();
  for (pid_t pid : toDate_) table_->Date(pid, ReadStartTime(pid));
  toDate_.clear();
  return true;
}

void PermissionMonitor::Admit(const struct fanotify_event_metadata* metadata, bool stopping) {
  if (metadata->fd < 0) {
    // A permission event always carries a descriptor; without one there
    // is nothing to answer with.
    stats_->badEvents.fetch_add(1, std::memory_order_relaxed);
    g_log->Printf(BRIX_LOG_ERROR, "event without a descriptor (mask 0x%llx)",
                  static_cast<unsigned long long>(metadata->mask));
    return;
  }
  stats_->permissionEvents.fetch_add(1, std::memory_order_relaxed);
  auto event = std::make_shared<PendingEvent>();
  replied_.push_back(event);
  event->fd = metadata->fd;
  event->pid = metadata->pid;
  event->mask = metadata->mask;
  event->readNanos = NowNanos();
  event->deadlineNanos = event->readNanos + settings_.deadlineNanos;
  if (metadata->vers != FANOTIFY_METADATA_VERSION) {
    Conclude(*event, Policy(Reason::kBadEvent, "event version " + std::to_string(metadata->vers)));
    return;
  }
  // An execve opens its file for execution and (when FAN_OPEN_PERM is
  // marked too) for opening in one event: it is a program start.
  if (metadata->mask & FAN_OPEN_EXEC_PERM)
    event->kind = EventKind::kProgramStart;
  else if (metadata->mask & FAN_OPEN_PERM)
    event->kind = EventKind::kOpen;
  if (event->pid == self_) {
    // brixd never runs programs; should it ever, judging its own start
    // could wait on itself.
    Outcome own;
    own.answer = FAN_ALLOW;
    own.reason = Reason::kOwnEvent;
    Conclude(*event, own);
    return;
  }
  if (stopping) {
    Conclude(*event, Policy(Reason::kStopping));
    return;
  }
  if (event->kind == EventKind::kUnknown) {
    Conclude(*event, Policy(Reason::kBadEvent, "unexpected event mask"));
    return;
  }
  if (registry_.size() >= maxPending_) {
    Conclude(*event, Policy(Reason::kOverload));
    return;
  }
  if (event->kind == EventKind::kOpen && TriageOpen(event.get())) return;
  GatherFacts(event.get());
  if (!event->program.empty()) {
    event->process.executable = event->program;
    event->process.throughLoader = event->throughLoader;
  }
  registry_.push_back(event);
  uint64_t remark = 0, generation = 0;
  if (CachedAllow(*event, &remark, &generation)) {
    Outcome cached;
    cached.answer = FAN_ALLOW;
    cached.reason = Reason::kCachedVerdict;
    Conclude(*event, cached);
    if (remark != 0) Remark(event->fd, remark, generation);
    return;
  }
  Outcome logOnly;
  if (RememberedLogOnly(*event, &logOnly)) {
    stats_->logOnlyMemoryHits.fetch_add(1, std::memory_order_relaxed);
    Conclude(*event, logOnly);
    return;
  }
  Enqueue(std::move(event));
}

void PermissionMonitor::GatherFacts(PendingEvent* event) {
  // Cheap and never waiting on a disk or a name service: the path from
  // the kernel's own table, the status of the open file, the process from
  // /proc with names from the cache.
  event->path = DescriptorPathOf(event->fd, &event->pathError);
  if (fstat(event->fd, &event->st) == 0)
    event->statOk = true;
  else
    event->statErrno = errno;
  processes_->ReadIdentity(event->pid, &event->process);
}

uint64_t PermissionMonitor::Sweep(uint64_t now) {
  while (!registry_.empty()) {
    PendingEvent& front = *registry_.front();
    if (!front.answered.load(std::memory_order_acquire)) {
      if (now < front.deadlineNanos) return front.deadlineNanos;
      Conclude(front, Policy(Reason::kDeadline));
    }
    registry_.pop_front();
  }
  return 0;
}

// ---- The workers ----------------------------------------------------------

void PermissionMonitor::Enqueue(EventPtr event) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(std::move(event));
  }
  queueWake_.notify_one();
}

void PermissionMonitor::Work() {
  for (;;) {
    EventPtr event;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueWake_.wait(lock, [&] { return workersStopping_ || !queue_.empty(); });
      if (workersStopping_) {
        queue_.clear();
        if (--workersRunning_ == 0) workersIdle_.notify_all();
        return;
      }
      event = std::move(queue_.front());
      queue_.pop_front();
    }
    if (event->markProbe) {
      ProbeForMark(*event);
      continue;
    }
    // Answered at its deadline while it waited here: no work is owed.
    if (event->answered.load(std::memory_order_acquire)) {
      stats_->lateDecisions.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    const Outcome outcome = Decide(*event);
    Conclude(*event, outcome);
  }
}

Outcome PermissionMonitor::Decide(PendingEvent& event) {
  switch (event.kind) {
    case EventKind::kProgramStart:
      // The process runs this image from now on (if it is allowed).
      if (event.statOk) table_->RecordStart(event.pid, event.path, event.st);
      return AskEngine(event, EventKind::kProgramStart);
    case EventKind::kLibrary: return AskEngine(event, EventKind::kLibrary);
    case EventKind::kScript: return AskEngine(event, EventKind::kScript);
    case EventKind::kOpen: return DecideOpen(event);
    case EventKind::kUnknown: break;
  }
  return Policy(Reason::kBadEvent, "unexpected event mask");
}

Outcome PermissionMonitor::AskEngine(PendingEvent& event, EventKind kind) {
  if (event.path.empty()) return Policy(Reason::kNoPath, event.pathError);
  if (!event.statOk) return Policy(Reason::kUnreadable, strerror(event.statErrno));
  if (!S_ISREG(event.st.st_mode)) return Policy(Reason::kUnreadable, "not a regular file");

  DigestLimits limits;
  limits.hash.maxBytes = settings_.maxHashBytes;
  limits.hash.stop = &event.answered;
  brix_host::FileDigests digests;
  struct stat hashed {};
  std::string error;
  switch (DigestsOf(event.fd, cache_, stats_, limits, &digests, &hashed, &error)) {
    case DigestEnd::kDone: break;
    case DigestEnd::kFailed: return Policy(Reason::kUnreadable, error);
    case DigestEnd::kTooLarge: return Policy(Reason::kTooLarge, error);
    case DigestEnd::kUnstable: return Policy(Reason::kUnstable, error);
    case DigestEnd::kStopped: return Policy(Reason::kDeadline, "hashing stopped");
  }
  ActingProcess process = event.process;
  processes_->ReadCommandLine(event.pid, &process);
  // Of the files named on an interpreter's command line only the first it
  // opens is run; the others are its script's data.
  ArgumentRole role = ArgumentRole::kNotNamed;
  if (kind == EventKind::kScript) {
    std::string naming;
    role = scripts_.Classify(event.pid, event.process.executable, event.process.throughLoader,
                             hashed, event.path, &naming);
    if (role == ArgumentRole::kScript) process.commandLine = std::move(naming);
    if (role == ArgumentRole::kPlainRead)
      stats_->argumentReads.fetch_add(1, std::memory_order_relaxed);
  }
  const bool dataRead = role == ArgumentRole::kPlainRead;
  const uint64_t generation = rulesGeneration_.load(std::memory_order_acquire);
  const brix_host::HostEvent host =
      BuildDecisionEvent(kind, event.pid, event.path, hashed, digests, process, dataRead);
  const ac_wrapper_event_s record = host.Record();
  Outcome outcome;
  outcome.sha256 = brix_host::ToHex(digests.sha256.data(), digests.sha256.size());
  outcome.size = static_cast<uint64_t>(hashed.st_size);
  outcome.engineAsked = true;
  {
    EngineCall call;
    outcome.status = app_ctl(nullptr, &record, &outcome.response);
  }
  outcome.reason = AnswerFor(kind, outcome.status, outcome.response, settings_.lockdown);
  if (IsPolicyReason(outcome.reason)) {
    outcome.answer = Policy(outcome.reason).answer;
    char detail[64];
    snprintf(detail, sizeof(detail), "status 0x%08x, action %u, type %u", outcome.status,
             outcome.response.action, outcome.response.type);
    outcome.detail = detail;
  } else {
    outcome.answer = outcome.reason == Reason::kEngineBlocked ? FAN_DENY : FAN_ALLOW;
  }
  // Code loaded or run by an interpreter is read after the answer, and the
  // kernel keeps nobody from writing it meanwhile (it does so only for a
  // file being executed).  Under lockdown, known code that a user could
  // rewrite in that moment is refused: only code that root alone can
  // change is loaded by the answer it got.  With the kernel guard a
  // library's mapping is decided on the version mapped, so only scripts
  // need the rule then.
  const bool readAfterAnswer =
      kind == EventKind::kScript || (kind == EventKind::kLibrary && guard_ == nullptr);
  if (settings_.lockdown && outcome.reason == Reason::kEngineAllowed && readAfterAnswer) {
    std::string who = WhoCanWrite(event.fd, hashed);
    if (!who.empty()) {
      outcome.answer = FAN_DENY;
      outcome.reason = Reason::kUserWritable;
      outcome.detail = std::move(who);
      return outcome;
    }
  }
  // Allowed by a rule or the inventory: the same version opened or
  // started by the same process is allowed again without asking.
  // Logged-only verdicts are remembered for a short while only, so that
  // the engine still sees most of them.  Files named on an interpreter's
  // command line are not remembered at all: which of them is the script
  // depends on which one each run opens first, so every run's opens of
  // them must be seen.
  if (outcome.reason == Reason::kEngineAllowed && role == ArgumentRole::kNotNamed) {
    // In the kernel before an ignore mark lets other opens pass unseen.
    if (guard_ != nullptr && kind != EventKind::kScript) RecordInKernel(event.path, hashed);
    const uint64_t marked = MaybeIgnore(event, kind, hashed, outcome, generation);
    RememberAllow(event, hashed, generation, marked);
  } else if (outcome.reason == Reason::kEngineLogOnly && role == ArgumentRole::kNotNamed) {
    RememberLogOnly(event, hashed, outcome, generation);
  }
  return outcome;
}

// ---- The one end ----------------------------------------------------------

void PermissionMonitor::Conclude(PendingEvent& event, const Outcome& outcome) {
  // Taken before the answer: once it is written the started program may
  // run on this CPU before this thread does again.
  const uint64_t decidedAt = NowNanos();
  // An execve that is let through opens its file at once a second time,
  // as a plain open: that open is part of the start just judged.  Noted
  // before the answer, which lets the kernel go on to it.
  if (event.kind == EventKind::kProgramStart && outcome.answer == FAN_ALLOW && event.statOk)
    NoteStartedImage(event.pid, FileIdentity::Of(event.st));
  const uint32_t answer = KernelAnswer(event, outcome);
  const bool here = !event.answered.exchange(true, std::memory_order_acq_rel);
  if (here) Respond(event.fd, answer);

  if (outcome.reason == Reason::kOwnEvent) {
    stats_->ownEvents.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!here) {
    // Decided after the deadline or the stop had answered: counted only.
    stats_->lateDecisions.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  JournalPermissionEvent(journal_, event, outcome);
  Stats& s = *stats_;
  const bool allowed = outcome.answer == FAN_ALLOW;
  s.latency.Record(decidedAt - event.readNanos);
  if (outcome.reason == Reason::kPlainOpen || outcome.reason == Reason::kCachedVerdict)
    s.cachedLatency.Record(decidedAt - event.readNanos);
  if (outcome.reason == Reason::kPlainOpen) {
    s.plainOpens.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  switch (event.kind) {
    case EventKind::kProgramStart: s.execEvents.fetch_add(1, std::memory_order_relaxed); break;
    case EventKind::kLibrary: s.libraryEvents.fetch_add(1, std::memory_order_relaxed); break;
    case EventKind::kScript: s.scriptEvents.fetch_add(1, std::memory_order_relaxed); break;
    case EventKind::kOpen:
    case EventKind::kUnknown: break;
  }
  (allowed ? s.allowed : s.blocked).fetch_add(1, std::memory_order_relaxed);
  const char* path = event.path.empty() ? "(unknown path)" : event.path.c_str();
  const char* kind = EventKindName(event.kind);
  const char* verb = event.kind == EventKind::kProgramStart ? "started"
                     : event.kind == EventKind::kLibrary    ? "loaded"
                                                            : "run";
  // "PATH started by PROCESS (pid N, user U)": who did what, for every
  // decision line alike.
  auto what = [&] {
    char text[64];
    snprintf(text, sizeof(text), " (pid %d, user ", static_cast<int>(event.pid));
    return std::string(path) + " " + verb + " by " + event.process.executable + text +
           event.process.user + ")";
  };
  auto decision = [&](unsigned level, const char* verdict, const std::string& text,
                      const std::string& reason) {
    std::vector<std::string> fields = {
        std::string("BRIX_VERDICT=") + verdict, std::string("BRIX_KIND=") + kind,
        std::string("BRIX_PATH=") + path, "BRIX_PROCESS=" + event.process.executable,
        "BRIX_PID=" + std::to_string(event.pid), "BRIX_USER=" + event.process.user};
    if (!outcome.sha256.empty()) fields.push_back("BRIX_SHA256=" + outcome.sha256);
    if (!reason.empty()) fields.push_back("BRIX_REASON=" + reason);
    g_log->Decision(level, text, std::move(fields));
  };
  switch (outcome.reason) {
    case Reason::kCachedVerdict:
      s.verdictCacheHits.fetch_add(1, std::memory_order_relaxed);
      return;
    case Reason::kNotScript:
      s.notScripts.fetch_add(1, std::memory_order_relaxed);
      return;
    case Reason::kEngineAllowed:
    case Reason::kPlainOpen:
      return;
    case Reason::kEngineLogOnly:
      // Unknown software outside lockdown: what lockdown would stop.  A
      // verdict taken again from memory repeats a line already written
      // (the journal still has every start).
      if (outcome.response.decision == 0 && !outcome.remembered)
        decision(BRIX_LOG_INFO, "would be blocked", "would be blocked under lockdown: " + what(),
                 "unknown software, lockdown off");
      return;
    case Reason::kWaitingManifest:
      s.manifestWaits.fetch_add(1, std::memory_order_relaxed);
      decision(BRIX_LOG_WARNING, "would be blocked",
               "let through, lockdown only logs until an agent manifest is imported: " + what(),
               "no agent manifest");
      return;
    case Reason::kEngineBlocked:
      decision(BRIX_LOG_INFO, "blocked", "blocked " + what(), "");
      return;
    case Reason::kDeadline:
      s.deadlineAnswers.fetch_add(1, std::memory_order_relaxed);
      (allowed ? s.deadlineAllowed : s.deadlineDenied).fetch_add(1, std::memory_order_relaxed);
      break;
    case Reason::kEngineError: s.engineErrors.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kNoPath: s.pathErrors.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kUnreadable: s.targetErrors.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kTooLarge: s.tooLarge.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kUnstable: s.unstableFiles.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kOverload: s.slotsFull.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kStopping: s.stopAnswers.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kBadEvent: s.badEvents.fetch_add(1, std::memory_order_relaxed); break;
    case Reason::kUserWritable:
      s.writableRefused.fetch_add(1, std::memory_order_relaxed);
      g_log->Printf(BRIX_LOG_WARNING,
                    "refused %s %s by %s (pid %d, user %s): known, but %s, so it may change "
                    "before it is read",
                    kind, path, event.process.executable.c_str(), static_cast<int>(event.pid),
                    event.process.user.c_str(), outcome.detail.c_str());
      return;
    case Reason::kOwnEvent: return;
  }
  (allowed ? s.policyAllowed : s.policyDenied).fetch_add(1, std::memory_order_relaxed);
  const std::string verdict =
      std::string(allowed ? "allowed" : "denied") + " by the fail policy";
  if (outcome.reason == Reason::kDeadline) {
    char text[96];
    snprintf(text, sizeof(text), " within %llu ms: ",
             static_cast<unsigned long long>(settings_.deadlineNanos / 1000000));
    decision(BRIX_LOG_WARNING, verdict.c_str(),
             std::string("no verdict for ") + path + text + AnswerWord(outcome.answer),
             ReasonName(outcome.reason));
    return;
  }
  char text[96];
  snprintf(text, sizeof(text), " by pid %d %s by the failure policy: ",
           static_cast<int>(event.pid), AnswerWord(outcome.answer));
  decision(BRIX_LOG_WARNING, verdict.c_str(),
           std::string(kind) + " of " + path + text + ReasonName(outcome.reason) +
               (outcome.detail.empty() ? "" : ": ") + outcome.detail,
           ReasonName(outcome.reason) +
               (outcome.detail.empty() ? std::string() : ": " + outcome.detail));
}

// ---- Brixd's memory of allowed starts ------------------------------------

bool PermissionMonitor::CachedAllow(const PendingEvent& event, uint64_t* remark,
                                     uint64_t* generation) {
  if (event.kind == EventKind::kOpen || event.kind == EventKind::kUnknown ||
      event.path.empty() || !event.statOk || !OnlyRootCanWrite(event.fd, event.st))
    return false;
  const FileIdentity id = FileIdentity::Of(event.st);
  *generation = rulesGeneration_.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> lock(allowedMutex_);
    auto it = allowed_.find(AllowKey(event));
    if (it == allowed_.end()) return false;
    if (!(it->second.id == id)) {
      // Another version now: decided afresh, and the old one forgotten.
      allowed_.erase(it);
      return false;
    }
    *remark = it->second.markMask;
  }
  return true;
}

void PermissionMonitor::RememberAllow(const PendingEvent& event, const struct stat& hashed,
                                      uint64_t generation, uint64_t markMask) {
  // A file a user can write may hold other content under the same
  // identity (a write through a mapping): nothing is remembered of it.
  if (!OnlyRootCanWrite(event.fd, hashed)) return;
  std::string key = AllowKey(event);
  std::lock_guard<std::mutex> lock(allowedMutex_);
  // The reader empties the memory under this lock after raising the
  // generation: a verdict of older rules is not put back.
  if (rulesGeneration_.load(std::memory_order_acquire) != generation) return;
  if (allowed_.size() >= kMaxAllowed && allowed_.count(key) == 0)
    allowed_.erase(allowed_.begin());
  allowed_[std::move(key)] = Allowed{FileIdentity::Of(hashed), markMask};
}

}  // namespace brixd


namespace brixd {

bool PermissionMonitor::RememberedLogOnly(const PendingEvent& event, Outcome* out) {
  if (settings_.logOnlyMemoryNanos == 0 || settings_.lockdown ||
      event.kind == EventKind::kOpen || event.kind == EventKind::kUnknown ||
      event.path.empty() || !event.statOk)
    return false;
  const FileIdentity id = FileIdentity::Of(event.st);
  std::lock_guard<std::mutex> lock(logOnlyMutex_);
  auto it = logOnly_.find(AllowKey(event));
  if (it == logOnly_.end()) return false;
  if (!(it->second.id == id) || it->second.until < event.readNanos) {
    logOnly_.erase(it);
    return false;
  }
  *out = it->second.outcome;
  out->remembered = true;
  return true;
}

void PermissionMonitor::RememberLogOnly(const PendingEvent& event, const struct stat& hashed,
                                        const Outcome& outcome, uint64_t generation) {
  // As for allows: the identity of a file a user can write says nothing
  // of its content.
  if (settings_.logOnlyMemoryNanos == 0 || settings_.lockdown ||
      !OnlyRootCanWrite(event.fd, hashed))
    return;
  std::string key = AllowKey(event);
  std::lock_guard<std::mutex> lock(logOnlyMutex_);
  if (rulesGeneration_.load(std::memory_order_acquire) != generation) return;
  if (logOnly_.size() >= kMaxLogOnly && logOnly_.count(key) == 0) {
    // Expired entries first; else an arbitrary one.
    const uint64_t now = NowNanos();
    for (auto it = logOnly_.begin(); it != logOnly_.end();)
      it = it->second.until < now ? logOnly_.erase(it) : std::next(it);
    if (logOnly_.size() >= kMaxLogOnly) logOnly_.erase(logOnly_.begin());
  }
  LogOnlyVerdict& entry = logOnly_[std::move(key)];
  entry.id = FileIdentity::Of(hashed);
  entry.until = NowNanos() + settings_.logOnlyMemoryNanos;
  entry.outcome = outcome;
}

}  // namespace brixd
