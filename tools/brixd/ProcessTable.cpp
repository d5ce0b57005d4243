#include "ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

namespace brixd {

namespace {

// Reads a small /proc file; empty when it cannot be read.
std::string ReadSmall(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof(buffer) - 1);
  close(fd);
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

}  // namespace

std::string ReadExecutable(pid_t pid, int* error) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof(target) - 1);
  if (error != nullptr) *error = n > 0 ? 0 : n == 0 ? ENOENT : errno;
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

namespace {

// What one thread's /proc/.../syscall says of an open in progress.
enum class OpenCall { kNone, kRead, kReadWrite, kWriteOnly, kUnknown };

OpenCall OpenCallOf(const char* path) {
  const std::string call = ReadSmall(path);
  // "NR ARG0 ARG1 ARG2 ...", arguments in hexadecimal; "running" or a
  // short line when the thread is not inside a system call.
  unsigned long long number = 0, args[3] = {0, 0, 0};
  if (sscanf(call.c_str(), "%llu %llx %llx %llx", &number, &args[0], &args[1], &args[2]) != 4)
    return OpenCall::kNone;
  unsigned long long flags;
  switch (number) {
#ifdef SYS_open
    case SYS_open: flags = args[1]; break;
#endif
#ifdef SYS_creat
    case SYS_creat: return OpenCall::kWriteOnly;
#endif
    case SYS_openat: flags = args[2]; break;
#ifdef SYS_openat2
    case SYS_openat2: return OpenCall::kUnknown;  // flags behind a pointer
#endif
#ifdef SYS_open_by_handle_at
    case SYS_open_by_handle_at: flags = args[2]; break;
#endif
#ifdef SYS_io_uring_enter
    case SYS_io_uring_enter: return OpenCall::kUnknown;  // its opens run elsewhere
#endif
    default: return OpenCall::kNone;
  }
  switch (flags & O_ACCMODE) {
    case O_WRONLY: return OpenCall::kWriteOnly;
    case O_RDWR: return OpenCall::kReadWrite;
    default: return OpenCall::kRead;
  }
}

// io_uring's kernel threads ("iou-wrk-PID", "iou-sqp-PID") belong to the
// process and open files for it; what they open cannot be told from /proc.
bool IoUringThread(pid_t pid, const char* task) {
  char path[96];
  snprintf(path, sizeof(path), "/proc/%d/task/%.16s/comm", static_cast<int>(pid), task);
  return ReadSmall(path).rfind("iou-", 0) == 0;
}

}  // namespace

OpenAccess OpeningAccess(pid_t pid) {
  char path[96];
  snprintf(path, sizeof(path), "/proc/%d/task", static_cast<int>(pid));
  DIR* tasks = opendir(path);
  if (tasks == nullptr) return OpenAccess::kRead;
  bool writeOnly = false, readWrite = false, reading = false;
  while (const struct dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    snprintf(path, sizeof(path), "/proc/%d/task/%.16s/syscall", static_cast<int>(pid),
             entry->d_name);
    switch (OpenCallOf(path)) {
      case OpenCall::kNone: reading = IoUringThread(pid, entry->d_name); break;
      case OpenCall::kWriteOnly: writeOnly = true; break;
      case OpenCall::kReadWrite: readWrite = true; break;
      case OpenCall::kRead:
      case OpenCall::kUnknown: reading = true; break;
    }
    if (reading) break;
  }
  closedir(tasks);
  if (reading || (!writeOnly && !readWrite)) return OpenAccess::kRead;
  return readWrite ? OpenAccess::kReadWrite : OpenAccess::kWriteOnly;
}

uint64_t ReadStartTime(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  const std::string stat = ReadSmall(path);
  // The command name in parentheses may hold blanks and parentheses: the
  // fields are counted from the last ')'.  Start time is field 22; the
  // field after ')' is field 3.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  const char* p = stat.c_str() + close + 1;
  for (int field = 3; field < 22; ++field) {
    p = strchr(p + 1, ' ');
    if (p == nullptr) return 0;
  }
  return strtoull(p + 1, nullptr, 10);
}

bool ReadProcessFacts(pid_t pid, ProcessFacts* out, const std::string* executable) {
  ProcessFacts facts;
  facts.startTime = ReadStartTime(pid);
  if (facts.startTime == 0) return false;
  facts.executable = executable != nullptr ? *executable : ReadExecutable(pid);
  const bool ids = ReadProcessOwner(pid, &facts);
  *out = facts;
  return !facts.executable.empty() && ids;
}

bool ReadProcessOwner(pid_t pid, ProcessFacts* out) {
  // The owner of /proc/PID is the effective user and group (root for a
  // process that made itself undumpable): one status call instead of the
  // text of /proc/PID/status, on a path every new process takes.
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d", static_cast<int>(pid));
  struct stat st {};
  if (stat(path, &st) != 0) return false;
  out->uid = st.st_uid;
  out->gid = st.st_gid;
  return true;
}

void ProcessTable::Record(pid_t pid, const ProcessFacts& facts) {
  if (capacity_ == 0 || pid <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= capacity_ && entries_.find(pid) == entries_.end()) {
    // The oldest half goes: one pass now and then instead of an order
    // kept up on every record.
    std::vector<uint64_t> orders;
    orders.reserve(entries_.size());
    for (const auto& [_, entry] : entries_) orders.push_back(entry.order);
    std::nth_element(orders.begin(), orders.begin() + orders.size() / 2, orders.end());
    const uint64_t middle = orders[orders.size() / 2];
    for (auto it = entries_.begin(); it != entries_.end();)
      it = it->second.order < middle ? entries_.erase(it) : std::next(it);
  }
  entries_[pid] = Entry{facts, next_++};
}

void ProcessTable::Date(pid_t pid, uint64_t startTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(pid);
  if (it != entries_.end() && it->second.facts.startTime == 0)
    it->second.facts.startTime = startTime;
}

bool ProcessTable::RecordStart(pid_t pid, const std::string& target, const struct stat& st) {
  ProcessFacts facts;
  ReadProcessFacts(pid, &facts);
  if (facts.startTime == 0) return false;
  facts.executable = target;
  if (st.st_mode & S_ISUID) facts.uid = st.st_uid;
  if (st.st_mode & S_ISGID) facts.gid = st.st_gid;
  Record(pid, facts);
  return true;
}

bool ProcessTable::Find(pid_t pid, ProcessFacts* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(pid);
  if (it == entries_.end()) return false;
  *out = it->second.facts;
  return true;
}

bool ProcessTable::WriterOf(pid_t pid, ProcessFacts* out) const {
  ProcessFacts live;
  if (ReadProcessFacts(pid, &live)) {
    *out = live;
    return true;
  }
  ProcessFacts recorded;
  if (!Find(pid, &recorded)) return false;
  // live.startTime is 0 when nothing holds the pid, or the start time of a
  // zombie that can no longer show its executable.
  if (live.startTime != 0 && recorded.startTime != 0 && live.startTime != recorded.startTime)
    return false;  // another process holds the pid now
  *out = recorded;
  return true;
}

size_t ProcessTable::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace brixd
