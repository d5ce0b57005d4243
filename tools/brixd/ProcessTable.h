// ProcessTable.h: the processes brixd has seen, remembered after they end.
//
// Drift names the writer of each changed file, so that process trust
// rules (a trusted compiler, a trusted updater) apply to what it wrote.
// By the time brixd reads a change its writer may be gone (a linker, a
// package manager's helper): /proc no longer knows it.  The table keeps,
// for each pid brixd saw starting a program or opening a file, the
// process's executable, effective user and group (as the owner of
// /proc/PID shows them) and its start time; a
// writer missing from /proc is taken from here.  The start time tells
// processes that shared a pid apart: a recorded process is used only when
// no other process holds its pid now (or only a zombie with the same start
// time does).  Bounded: when full, the oldest half goes.  Safe from any
// thread.
#ifndef BRIX_TOOLS_BRIXD_PROCESSTABLE_H_
#define BRIX_TOOLS_BRIXD_PROCESSTABLE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace brixd {

// One process as seen while it lived.
struct ProcessFacts {
  uint64_t startTime = 0;  // clock ticks after boot; 0: unknown
  std::string executable;  // empty: unknown
  uid_t uid = static_cast<uid_t>(-1);  // effective ids; -1: unknown
  gid_t gid = static_cast<gid_t>(-1);
};

// The image `pid` runs, from /proc; empty for a kernel thread or when the
// process is gone (`*error` ENOENT then), or when /proc refuses (EACCES
// without CAP_SYS_PTRACE for another user's process).
std::string ReadExecutable(pid_t pid, int* error = nullptr);

// The start time of `pid` from /proc, or 0 when it is gone.
uint64_t ReadStartTime(pid_t pid);

// What /proc shows of `pid`; `executable`, when given, is its image as
// already read.  False when it is gone; a zombie (no executable any more)
// gives its start time and false.
bool ReadProcessFacts(pid_t pid, ProcessFacts* out, const std::string* executable = nullptr);

// The effective user and group of `pid` (the owner of /proc/PID) into
// `out`; false when it is gone.
bool ReadProcessOwner(pid_t pid, ProcessFacts* out);

// How `pid` is opening the file the kernel asks about, as
// /proc/PID/task/*/syscall shows its threads.  The kernel names the
// process, not the thread: the opener is one of the threads inside an open
// call (open, openat, creat), and a thread cannot hide a read behind a
// sibling's write.  So the open counts as write-only only when every
// thread inside an open call opens write-only, and as read-write only
// when every one of them asks for write access.  Anything that might be
// the opener but whose flags cannot be read (openat2, io_uring: a thread
// inside io_uring_enter, or one of its worker threads) makes it a read,
// and so does a process that cannot be examined.
enum class OpenAccess { kRead, kReadWrite, kWriteOnly };
OpenAccess OpeningAccess(pid_t pid);

class ProcessTable {
 public:
  explicit ProcessTable(size_t capacity) : capacity_(capacity) {}
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  void Record(pid_t pid, const ProcessFacts& facts);
  // Gives the record of `pid` made without a start time this one.
  void Date(pid_t pid, uint64_t startTime);

  // At a program start: `pid` is about to run `target` (status `st`).
  // Its ids are read from /proc now and changed as a set-user-id or
  // set-group-id target changes them.  False when the process is gone.
  bool RecordStart(pid_t pid, const std::string& target, const struct stat& st);

  // The recorded process, if any.
  bool Find(pid_t pid, ProcessFacts* out) const;

  // The writer behind a change reported for `pid`: the live process when
  // /proc shows it, else the recorded one unless another process has
  // taken the pid since.  False when neither can be told.
  bool WriterOf(pid_t pid, ProcessFacts* out) const;

  size_t size() const;

 private:
  struct Entry {
    ProcessFacts facts;
    uint64_t order;  // when recorded, for the eviction of the oldest
  };

  // Constant after construction
  const size_t capacity_;

  // State below is protected by mutex_
  mutable std::mutex mutex_;
  std::unordered_map<pid_t, Entry> entries_;
  uint64_t next_ = 0;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PROCESSTABLE_H_
