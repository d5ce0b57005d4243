#include "PermissionMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "AsyncLog.h"
#include "DigestCache.h"
#include "HostEvent.h"
#include "ProcessReader.h"
#include "Stats.h"
#include "brix.h"

namespace brixd {

namespace {

std::string DescriptorPath(int fd) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

}  // namespace

uint64_t NowNanos() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(now.tv_nsec);
}

PermissionMonitor::PermissionMonitor(const Settings& settings, Stats* stats,
                                     DigestCache* cache, ProcessReader* processes)
    : settings_(settings), stats_(stats), cache_(cache), processes_(processes),
      self_(getpid()) {}

PermissionMonitor::~PermissionMonitor() { Stop(); }

bool PermissionMonitor::Open(const std::vector<std::string>& folders,
                             std::string* error) {
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
    if (fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM,
                      AT_FDCWD, folder.c_str()) != 0) {
      *error = "cannot watch program starts on the mount of " + folder + ": " +
               strerror(errno);
      if (errno == EINVAL)
        *error += " (the kernel needs FAN_OPEN_EXEC_PERM: Linux 5.0 or later)";
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
  slots_ = std::make_unique<Slot[]>(kBatch * settings_.threads);
  return true;
}

void PermissionMonitor::Start() {
  for (unsigned i = 0; i < settings_.threads; ++i)
    workers_.emplace_back(&PermissionMonitor::Work, this, i);
  watchdog_ = std::thread(&PermissionMonitor::Watch, this);
}

void PermissionMonitor::Stop() {
  if (group_ < 0) return;
  stopping_.store(true);
  const uint64_t one = 1;
  // Stays readable: every worker's poll returns.
  if (write(wake_, &one, sizeof(one)) != sizeof(one))
    g_log->Printf(BRIX_LOG_ERROR, "cannot wake the workers: %s", strerror(errno));
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  {
    std::lock_guard<std::mutex> lock(watchdogMutex_);
    watchdogStopping_.store(true);
    watchdogWake_.notify_all();
  }
  if (watchdog_.joinable()) watchdog_.join();
  // Whatever is still queued in the kernel is allowed when the group
  // closes.
  close(group_);
  close(wake_);
  group_ = wake_ = -1;
}

uint32_t PermissionMonitor::PolicyAnswer() const {
  return settings_.failOpen ? FAN_ALLOW : FAN_DENY;
}

void PermissionMonitor::Respond(int fd, uint32_t answer) {
  struct fanotify_response response {};
  response.fd = fd;
  response.response = answer;
  while (write(group_, &response, sizeof(response)) < 0) {
    if (errno == EINTR) continue;
    // ENOENT: the kernel no longer waits for this event (the process was
    // killed); nothing is lost.
    if (errno != ENOENT)
      g_log->Printf(BRIX_LOG_ERROR, "cannot answer a program start: %s", strerror(errno));
    return;
  }
}

void PermissionMonitor::Work(unsigned index) {
  Slot* mine = &slots_[index * kBatch];
  alignas(struct fanotify_event_metadata) char buffer[kBatch * sizeof(struct fanotify_event_metadata)];
  pid_t pids[kBatch];
  while (!stopping_.load(std::memory_order_relaxed)) {
    struct pollfd fds[2] = {{group_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      g_log->Printf(BRIX_LOG_ERROR, "worker %u: poll: %s", index, strerror(errno));
      return;
    }
    if (stopping_.load(std::memory_order_relaxed)) break;
    const ssize_t length = read(group_, buffer, sizeof(buffer));
    if (length < 0) {
      // Another worker took the events first.
      if (errno == EAGAIN || errno == EINTR) continue;
      g_log->Printf(BRIX_LOG_ERROR, "worker %u: reading events: %s", index, strerror(errno));
      // EMFILE and the like pass; do not spin while they last.
      usleep(1000);
      continue;
    }
    const uint64_t readAt = NowNanos();
    size_t count = 0;
    ssize_t left = length;
    for (auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer);
         FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->vers != FANOTIFY_METADATA_VERSION) {
        g_log->Printf(BRIX_LOG_ERROR, "fanotify event version %u, expected %u",
                      event->vers, FANOTIFY_METADATA_VERSION);
        if (event->fd >= 0) close(event->fd);
        continue;
      }
      if (event->fd < 0) continue;
      if ((event->mask & FAN_OPEN_EXEC_PERM) == 0) {
        close(event->fd);
        continue;
      }
      // Registered before any is decided: the watchdog covers the events
      // that wait behind a slow one in this batch.
      Slot* slot = &mine[count];
      {
        std::lock_guard<std::mutex> lock(slot->mutex);
        slot->busy = true;
        slot->answered = false;
        slot->fd = event->fd;
        slot->startNanos = readAt;
      }
      pids[count] = event->pid;
      ++count;
    }
    for (size_t i = 0; i < count; ++i) Handle(&mine[i], pids[i]);
  }
}

void PermissionMonitor::Handle(Slot* slot, pid_t pid) {
  int fd;
  uint64_t start;
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    fd = slot->fd;
    start = slot->startNanos;
  }
  uint32_t answer = FAN_ALLOW;
  const bool own = pid == self_;
  if (own) {
    // brixd never runs programs; should it ever, judging its own start
    // could wait on itself.
    stats_->ownEvents.fetch_add(1, std::memory_order_relaxed);
  } else {
    stats_->execEvents.fetch_add(1, std::memory_order_relaxed);
    answer = Decide(fd, pid);
  }
  bool answeredHere = false;
  // Taken before the answer: once it is written the started program may
  // run on this CPU before this thread does again.
  const uint64_t decidedAt = NowNanos();
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (!slot->answered) {
      Respond(fd, answer);
      slot->answered = true;
      answeredHere = true;
    }
  }
  if (!own) {
    if (answeredHere) {
      stats_->latency.Record(decidedAt - start);
      (answer == FAN_ALLOW ? stats_->allowed : stats_->blocked)
          .fetch_add(1, std::memory_order_relaxed);
    } else {
      stats_->lateDecisions.fetch_add(1, std::memory_order_relaxed);
    }
  }
  std::lock_guard<std::mutex> lock(slot->mutex);
  close(fd);
  slot->fd = -1;
  slot->busy = false;
}

bool PermissionMonitor::AllowedFromCache(const std::string& path, const FileIdentity& id,
                                         const ActingProcess& process) {
  {
    std::lock_guard<std::mutex> lock(allowedMutex_);
    auto it = allowedVersions_.find(path);
    if (it == allowedVersions_.end()) return false;
    if (!(it->second == id)) {
      allowedVersions_.erase(it);
      return false;
    }
  }
  // An event without a type asks the engine's allow cache alone: no
  // lookup in the database, no rule walk.
  ac_wrapper_event_s probe{};
  probe.name = path.c_str();
  probe.processName = process.executable.empty() ? nullptr : process.executable.c_str();
  probe.user = process.user.empty() ? nullptr : process.user.c_str();
  ac_wrapper_response_s response{};
  return app_ctl(nullptr, &probe, &response) == BRIX_STATUS_SUCCESS &&
         response.action == BRIX_ACTION_ALLOW;
}

void PermissionMonitor::RememberAllowed(const std::string& path, const FileIdentity& id) {
  std::lock_guard<std::mutex> lock(allowedMutex_);
  if (allowedVersions_.size() >= kMaxAllowedVersions && allowedVersions_.count(path) == 0)
    allowedVersions_.erase(allowedVersions_.begin());
  allowedVersions_[path] = id;
}

uint32_t PermissionMonitor::Decide(int fd, pid_t pid) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int why = errno;
    stats_->targetErrors.fetch_add(1, std::memory_order_relaxed);
    const uint32_t answer = PolicyAnswer();
    g_log->Printf(BRIX_LOG_ERROR, "cannot examine %s to decide its start (pid %d): %s; %s",
                  DescriptorPath(fd).c_str(), static_cast<int>(pid), strerror(why),
                  answer == FAN_ALLOW ? "allowed" : "denied");
    return answer;
  }
  const FileIdentity id = FileIdentity::Of(st);
  const std::string path = DescriptorPath(fd);
  ActingProcess process;
  processes_->ReadIdentity(pid, &process);
  if (AllowedFromCache(path, id, process)) {
    stats_->verdictCacheHits.fetch_add(1, std::memory_order_relaxed);
    return FAN_ALLOW;
  }

  std::string error;
  brix_host::FileDigests digests;
  if (!DigestsOf(fd, st, cache_, stats_, &digests, &error)) {
    stats_->targetErrors.fetch_add(1, std::memory_order_relaxed);
    const uint32_t answer = PolicyAnswer();
    g_log->Printf(BRIX_LOG_ERROR, "cannot read %s to decide its start (pid %d): %s; %s",
                  path.c_str(), static_cast<int>(pid), error.c_str(),
                  answer == FAN_ALLOW ? "allowed" : "denied");
    return answer;
  }
  processes_->ReadCommandLine(pid, &process);

  brix_host::HostEvent event;
  ac_wrapper_event_s& numbers = event.numbers();
  numbers.type = brix_host::kHostTypeProgramStart;
  numbers.pid = static_cast<uint64_t>(pid);
  numbers.size = static_cast<uint64_t>(st.st_size);
  numbers.mode = st.st_mode;
  numbers.isexec = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  event.SetFileDigests(digests);
  event.SetText(&ac_wrapper_event_s::name, path);
  SetActingProcess(event, process);

  const ac_wrapper_event_s record = event.Record();
  ac_wrapper_response_s response{};
  const uint32_t status = app_ctl(nullptr, &record, &response);
  if (status == BRIX_STATUS_BLOCK) {
    g_log->Printf(BRIX_LOG_INFO, "blocked %s started by %s (pid %d, user %s)",
                  path.c_str(), process.executable.c_str(), static_cast<int>(pid),
                  process.user.c_str());
    return FAN_DENY;
  }
  if (status != BRIX_STATUS_SUCCESS) {
    // The engine could not judge the file; only its explicit block stops
    // a program.
    stats_->engineErrors.fetch_add(1, std::memory_order_relaxed);
    g_log->Printf(BRIX_LOG_WARNING, "engine could not decide the start of %s (status 0x%08x); allowed",
                  path.c_str(), status);
    return FAN_ALLOW;
  }
  // Allowed by a rule or the inventory: the engine now holds it in its
  // allow cache.  Logged-only starts are not remembered, so each one
  // still reaches the engine.
  if (response.action == BRIX_ACTION_ALLOW && response.decision == 1)
    RememberAllowed(path, id);
  return FAN_ALLOW;
}

void PermissionMonitor::Watch() {
  // Ten looks per deadline keep the answer within a tenth of it.
  const uint64_t tick = std::max<uint64_t>(1000000, std::min<uint64_t>(
                                                        settings_.deadlineNanos / 10, 50000000));
  const size_t total = kBatch * settings_.threads;
  std::unique_lock<std::mutex> wait(watchdogMutex_);
  while (!watchdogStopping_.load()) {
    watchdogWake_.wait_for(wait, std::chrono::nanoseconds(tick));
    const uint64_t now = NowNanos();
    for (size_t i = 0; i < total; ++i) {
      Slot& slot = slots_[i];
      std::lock_guard<std::mutex> lock(slot.mutex);
      if (!slot.busy || slot.answered || now - slot.startNanos < settings_.deadlineNanos)
        continue;
      const uint32_t answer = PolicyAnswer();
      Respond(slot.fd, answer);
      slot.answered = true;
      stats_->deadlineAnswers.fetch_add(1, std::memory_order_relaxed);
      (answer == FAN_ALLOW ? stats_->deadlineAllowed : stats_->deadlineDenied)
          .fetch_add(1, std::memory_order_relaxed);
      g_log->Printf(BRIX_LOG_WARNING, "no verdict for %s within %llu ms: %s",
                    DescriptorPath(slot.fd).c_str(),
                    static_cast<unsigned long long>(settings_.deadlineNanos / 1000000),
                    answer == FAN_ALLOW ? "allowed" : "denied");
    }
  }
}

}  // namespace brixd
