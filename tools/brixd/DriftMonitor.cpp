#include "DriftMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <cstring>
#include <vector>

#include "AsyncLog.h"
#include "DecisionJournal.h"
#include "DigestCache.h"
#include "EngineGate.h"
#include "PermissionMonitor.h"
#include "ProcessReader.h"
#include "ProcessTable.h"
#include "Stats.h"
#include "TreeScan.h"
#include "brix.h"

namespace brixd {

namespace {

constexpr uint64_t kNamedMask = FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_DELETE | FAN_RENAME;
// Before FAN_RENAME (Linux 5.17) a rename is its two halves: the old name
// leaves (a delete) and the new one arrives (hashed like a write).
constexpr uint64_t kNamedMaskWithoutRename =
    FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO;
// A rescan after a lost event looks at files changed this long before the
// last moment the monitor was known to be in step.
constexpr time_t kRescanSlackSeconds = 2;
// A written file that takes longer to hash is skipped (logged), so that
// one huge file cannot hold up the drift of every other.
constexpr uint64_t kDriftHashNanos = 5000000000ull;

std::string LinkTarget(int fd) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case kHostTypeModeChange: return "attribute change";
    case kHostTypeClose: return "write";
    case kHostTypeRename: return "rename";
    case kHostTypeDelete: return "delete";
    default: return "change";
  }
}

}  // namespace

DriftMonitor::DriftMonitor(Stats* stats, DigestCache* cache, ProcessReader* processes,
                           const ProcessTable* table, uint64_t maxHashBytes)
    : stats_(stats), cache_(cache), processes_(processes), table_(table), self_(getpid()),
      maxHashBytes_(maxHashBytes) {}

DriftMonitor::~DriftMonitor() { Stop(UINT64_MAX); }

bool DriftMonitor::Open(const std::vector<std::string>& folders, std::string* error) {
  folders_ = folders;
  const unsigned eventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC;
  // Unlimited queues: a change the kernel could not queue would be lost to
  // the inventory.
  group_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE |
                             FAN_REPORT_DFID_NAME,
                         eventFlags);
  named_ = group_ >= 0;
  if (!named_) {
    // Before Linux 5.9 a group reports file descriptors only: written
    // files can still be followed, renames and deletes cannot.
    group_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE,
                           eventFlags);
    if (group_ < 0) {
      *error = std::string("cannot create the drift monitor (fanotify_init): ") +
               strerror(errno);
      return false;
    }
    g_log->Write(BRIX_LOG_WARNING,
                 "the kernel does not report names: drift is followed for written "
                 "files only, not for renames and deletes");
  }
  for (const std::string& folder : folders) {
    int marked;
    if (named_) {
      marked = fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kNamedMask,
                             AT_FDCWD, folder.c_str());
      if (marked != 0 && errno == EINVAL) {
        // FAN_RENAME arrived in Linux 5.17; without it a rename is seen
        // as a delete of the old name only.
        marked = fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                               kNamedMaskWithoutRename,
                               AT_FDCWD, folder.c_str());
      }
    } else {
      marked = fanotify_mark(group_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_CLOSE_WRITE,
                             AT_FDCWD, folder.c_str());
    }
    if (marked != 0) {
      *error = "cannot watch changes on the file system of " + folder + ": " +
               strerror(errno);
      return false;
    }
    if (named_) {
      Mount mount{};
      // Not O_PATH: open_by_handle_at refuses such a descriptor (EBADF).
      mount.fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      struct statfs fs {};
      if (mount.fd < 0 || fstatfs(mount.fd, &fs) != 0) {
        *error = "cannot open " + folder + ": " + strerror(errno);
        if (mount.fd >= 0) close(mount.fd);
        return false;
      }
      static_assert(sizeof(mount.fsid) == sizeof(fs.f_fsid), "fsid is two 32-bit words");
      memcpy(mount.fsid, &fs.f_fsid, sizeof(mount.fsid));
      mounts_.push_back(mount);
    }
  }
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    *error = std::string("eventfd: ") + strerror(errno);
    return false;
  }
  return true;
}

void DriftMonitor::Start() {
  reader_ = std::thread(&DriftMonitor::Run, this);
  pthread_setname_np(reader_.native_handle(), "brixd-drift");
}

bool DriftMonitor::Stop(uint64_t graceNanos) {
  if (reader_.joinable()) {
    stopping_.store(true);
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof(one)) != sizeof(one))
      g_log->Printf(BRIX_LOG_ERROR, "cannot wake the drift reader: %s", strerror(errno));
    std::unique_lock<std::mutex> lock(doneMutex_);
    if (graceNanos != UINT64_MAX &&
        !doneWake_.wait_for(lock, std::chrono::nanoseconds(graceNanos), [&] { return done_; })) {
      // Out of time: the hash in progress stops, the rest of the queue
      // is left, and a moment later the thread must be out of the engine.
      abandon_.store(true);
      if (!doneWake_.wait_for(lock, std::chrono::milliseconds(200), [&] { return done_; })) {
        g_log->Write(BRIX_LOG_ERROR, "drift: the reader is still inside the engine at stop");
        lock.unlock();
        reader_.detach();
        return false;
      }
    }
    lock.unlock();
    reader_.join();
  }
  for (const Mount& mount : mounts_) close(mount.fd);
  mounts_.clear();
  if (group_ >= 0) close(group_);
  if (wake_ >= 0) close(wake_);
  group_ = wake_ = -1;
  return true;
}

void DriftMonitor::Run() {
  // Hashing written files must never take the processor from the threads
  // that answer program starts.
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10) != 0)
    g_log->Printf(BRIX_LOG_WARNING, "drift: cannot lower the reader's priority: %s",
                  strerror(errno));
  syncedAt_ = time(nullptr);
  while (!stopping_.load(std::memory_order_relaxed)) {
    struct pollfd fds[2] = {{group_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      // Never the end of the reader: changes would go unseen.
      stats_->readErrors.fetch_add(1, std::memory_order_relaxed);
      g_log->Printf(BRIX_LOG_ERROR, "drift: poll: %s", strerror(errno));
      usleep(10000);
      continue;
    }
    Drain(false);
    if (rescanPending_) Rescan();
  }
  // Changes made before the stop still reach the inventory.
  Drain(true);
  std::lock_guard<std::mutex> lock(doneMutex_);
  done_ = true;
  doneWake_.notify_all();
}

void DriftMonitor::Drain(bool last) {
  alignas(struct fanotify_event_metadata) char buffer[64 * 1024];
  const time_t started = time(nullptr);
  for (;;) {
    if (last && abandon_.load()) {
      g_log->Write(BRIX_LOG_WARNING, "drift: changes still queued at stop were not recorded");
      return;
    }
    const ssize_t length = read(group_, buffer, sizeof(buffer));
    if (length < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        stats_->readErrors.fetch_add(1, std::memory_order_relaxed);
        g_log->Printf(BRIX_LOG_ERROR, "drift: reading events: %s", strerror(errno));
      } else if (!rescanPending_) {
        // Everything changed before `started` has been seen.
        syncedAt_ = started;
      }
      return;
    }
    HandleBuffer(buffer, length);
  }
}

void DriftMonitor::HandleBuffer(const char* buffer, ssize_t length) {
  // An event that carries a name need not end on an 8-byte boundary, so the
  // next one may start unaligned: each is copied to aligned storage before
  // its fields are read.
  std::vector<uint64_t> storage;
  size_t offset = 0;
  const size_t total = length > 0 ? static_cast<size_t>(length) : 0;
  while (total - offset >= FAN_EVENT_METADATA_LEN) {
    struct fanotify_event_metadata head;
    memcpy(&head, buffer + offset, sizeof(head));
    if (head.event_len < FAN_EVENT_METADATA_LEN || head.event_len > total - offset)
      break;
    storage.assign((head.event_len + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    memcpy(storage.data(), buffer + offset, head.event_len);
    offset += head.event_len;
    const auto* event =
        reinterpret_cast<const struct fanotify_event_metadata*>(storage.data());
    if (event->vers != FANOTIFY_METADATA_VERSION) {
      stats_->badEvents.fetch_add(1, std::memory_order_relaxed);
      g_log->Printf(BRIX_LOG_ERROR, "drift: event version %u, expected %u", event->vers,
                    FANOTIFY_METADATA_VERSION);
      if (event->fd >= 0) close(event->fd);
      continue;
    }
    if (event->mask & FAN_Q_OVERFLOW) {
      // The queue is unlimited, so this takes the kernel running out of
      // memory; what was lost is found again by a rescan.
      stats_->driftOverflows.fetch_add(1, std::memory_order_relaxed);
      g_log->Write(BRIX_LOG_WARNING,
                   "drift: the kernel's queue overflowed; changes were lost and the "
                   "watched folders will be rescanned");
      const time_t since = syncedAt_ - kRescanSlackSeconds;
      rescanSince_ = rescanPending_ ? std::min(rescanSince_, since) : since;
      rescanPending_ = true;
      continue;
    }
    if (event->pid == self_) {
      // The database, the log and the stats file: never drift to judge.
      if (event->fd >= 0) close(event->fd);
      continue;
    }
    if (named_)
      HandleNamedEvent(event);
    else
      HandleDescriptorEvent(event);
  }
}

void DriftMonitor::Rescan() {
  rescanPending_ = false;
  stats_->driftRescans.fetch_add(1, std::memory_order_relaxed);
  brix_host::ScanPlan plan;
  std::string error;
  if (!brix_host::PlanScan(folders_, &plan, &error)) {
    g_log->Printf(BRIX_LOG_ERROR, "drift: cannot rescan: %s", error.c_str());
    return;
  }
  size_t reported = 0;
  for (const std::string& path : plan.files) {
    if (stopping_.load(std::memory_order_relaxed)) {
      g_log->Write(BRIX_LOG_WARNING, "drift: rescan cut short by the stop");
      return;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_ctime < rescanSince_ && st.st_mtime < rescanSince_) continue;
    Report(kHostTypeClose, 0, path, "", -1);
    ++reported;
  }
  g_log->Printf(BRIX_LOG_INFO, "drift: rescan found %zu files changed since the overflow",
                reported);
}

bool DriftMonitor::DirectoryPath(const void* fidInfo, std::string* path) const {
  const auto* info = static_cast<const struct fanotify_event_info_fid*>(fidInfo);
  uint32_t fsid[2];
  static_assert(sizeof(fsid) == sizeof(info->fsid), "fsid is two 32-bit words");
  memcpy(fsid, &info->fsid, sizeof(fsid));
  const Mount* mount = nullptr;
  for (const Mount& candidate : mounts_)
    if (candidate.fsid[0] == fsid[0] && candidate.fsid[1] == fsid[1]) mount = &candidate;
  if (mount == nullptr) return false;
  const auto* handle = reinterpret_cast<const struct file_handle*>(info->handle);
  // open_by_handle_at wants a writable, aligned handle.
  alignas(struct file_handle) char copy[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  if (handle->handle_bytes > MAX_HANDLE_SZ) return false;
  memcpy(copy, handle, sizeof(struct file_handle) + handle->handle_bytes);
  const int dir = open_by_handle_at(mount->fd, reinterpret_cast<struct file_handle*>(copy),
                                    O_PATH | O_CLOEXEC);
  if (dir < 0) return false;  // the folder went away meanwhile
  *path = LinkTarget(dir);
  close(dir);
  static const char kDeleted[] = " (deleted)";
  if (path->empty() ||
      (path->size() > sizeof(kDeleted) - 1 &&
       path->compare(path->size() - (sizeof(kDeleted) - 1), std::string::npos, kDeleted) == 0))
    return false;
  return true;
}

void DriftMonitor::HandleNamedEvent(const struct fanotify_event_metadata* event) {
  std::string path, oldPath, newPath;
  const char* base = reinterpret_cast<const char*>(event);
  for (uint32_t offset = event->metadata_len; offset + sizeof(struct fanotify_event_info_header) <= event->event_len;) {
    const auto* header = reinterpret_cast<const struct fanotify_event_info_header*>(base + offset);
    if (header->len == 0 || offset + header->len > event->event_len) break;
    const uint8_t kind = header->info_type;
    if (kind == FAN_EVENT_INFO_TYPE_DFID_NAME || kind == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
        kind == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) {
      const auto* info = reinterpret_cast<const struct fanotify_event_info_fid*>(header);
      const auto* handle = reinterpret_cast<const struct file_handle*>(info->handle);
      const char* name = reinterpret_cast<const char*>(handle->f_handle) + handle->handle_bytes;
      std::string folder;
      if (DirectoryPath(info, &folder)) {
        std::string full;
        full.reserve(folder.size() + 1 + strlen(name));
        full.append(folder);
        if (folder.size() != 1) full.push_back('/');  // "/" ends in one already
        full.append(name);
        if (kind == FAN_EVENT_INFO_TYPE_DFID_NAME) path = std::move(full);
        else if (kind == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME) oldPath = std::move(full);
        else newPath = std::move(full);
      }
    }
    offset += header->len;
  }
  const pid_t pid = event->pid;
  if (event->mask & FAN_CLOSE_WRITE) Report(kHostTypeClose, pid, path, "", -1);
  if (event->mask & FAN_ATTRIB) Report(kHostTypeModeChange, pid, path, "", -1);
  if (event->mask & FAN_RENAME) Report(kHostTypeRename, pid, newPath, oldPath, -1);
  if (event->mask & FAN_DELETE) Report(kHostTypeDelete, pid, path, "", -1);
  if (event->mask & FAN_MOVED_FROM) Report(kHostTypeDelete, pid, path, "", -1);
  if (event->mask & FAN_MOVED_TO) Report(kHostTypeClose, pid, path, "", -1);
}

void DriftMonitor::HandleDescriptorEvent(const struct fanotify_event_metadata* event) {
  if (event->fd < 0) return;
  if (event->mask & FAN_CLOSE_WRITE)
    Report(kHostTypeClose, event->pid, LinkTarget(event->fd), "", event->fd);
  close(event->fd);
}

void DriftMonitor::Report(uint32_t type, pid_t pid, const std::string& path,
                          const std::string& oldPath, int openFd) {
  if (path.empty() || (type == kHostTypeRename && oldPath.empty())) {
    stats_->driftSkipped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  stats_->driftEvents.fetch_add(1, std::memory_order_relaxed);
  brix_host::HostEvent event;
  ac_wrapper_event_s& numbers = event.numbers();
  numbers.type = type;
  numbers.pid = static_cast<uint64_t>(pid);
  numbers.result = 0;  // the kernel reports changes that happened
  event.SetText(&ac_wrapper_event_s::name, path);
  if (!oldPath.empty()) event.SetText(&ac_wrapper_event_s::oldName, oldPath);

  if (type == kHostTypeDelete) {
    stats_->driftDeletes.fetch_add(1, std::memory_order_relaxed);
  } else {
    (type == kHostTypeClose ? stats_->driftWrites
     : type == kHostTypeRename ? stats_->driftRenames
                               : stats_->driftAttributes)
        .fetch_add(1, std::memory_order_relaxed);
    // The new content: the engine recognises a changed file by its
    // digests.  Non-blocking, so that a FIFO never holds the reader.
    const int fd = openFd >= 0 ? openFd
                               : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW |
                                                        O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      // Gone again, a symbolic link or not a file: nothing to record.
      if (fd >= 0 && fd != openFd) close(fd);
      stats_->driftSkipped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    brix_host::FileDigests digests;
    std::string error;
    DigestLimits limits;
    limits.hash.maxBytes = maxHashBytes_;
    limits.hash.stop = &abandon_;
    limits.hash.notAfterNanos = NowNanos() + kDriftHashNanos;
    limits.remember = false;
    const bool hashed =
        DigestsOf(fd, cache_, stats_, limits, &digests, &st, &error) == DigestEnd::kDone;
    if (fd != openFd) close(fd);
    if (!hashed) {
      g_log->Printf(BRIX_LOG_WARNING, "drift: cannot read %s: %s", path.c_str(), error.c_str());
      stats_->driftSkipped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    event.SetFileDigests(digests);
    numbers.size = static_cast<uint64_t>(st.st_size);
    numbers.mode = st.st_mode;
    numbers.isexec = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    numbers.dirty = type == kHostTypeClose;
  }
  ActingProcess process;
  processes_->Read(pid, &process);
  ProcessFacts gone;
  if (process.executable.empty() && table_ != nullptr && table_->WriterOf(pid, &gone)) {
    // The writer has ended (a linker, an installer's helper): named as
    // brixd saw it while it ran, so that process trust rules still apply
    // to what it wrote.
    process.executable = gone.executable;
    process.commandLine.clear();
    if (gone.uid != static_cast<uid_t>(-1)) process.user = processes_->UserName(gone.uid);
    if (gone.gid != static_cast<gid_t>(-1)) process.group = processes_->GroupName(gone.gid);
    stats_->driftWritersRemembered.fetch_add(1, std::memory_order_relaxed);
  }
  SetActingProcess(event, process);

  const ac_wrapper_event_s record = event.Record();
  ac_wrapper_response_s response{};
  uint32_t status;
  {
    EngineCall call;
    status = app_ctl(nullptr, &record, &response);
  }
  if (type != kHostTypeDelete) JournalDrift(journal_, record, status, response);
  if (status != BRIX_STATUS_SUCCESS && status != BRIX_STATUS_BLOCK)
    g_log->Printf(BRIX_LOG_WARNING, "drift: engine could not take the %s of %s (status 0x%08x)",
                  TypeName(type), path.c_str(), status);
}

}  // namespace brixd
