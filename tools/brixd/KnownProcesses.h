// KnownProcesses.h: the program each process runs, once brixd has looked
// it up, so that an ordinary open by a known process costs no /proc read.
//
// A pid is no proof of identity: it is reused after its process ends, and
// a process changes its image with every execve.  So every entry is
// dropped by the kernel's own account of those moments: the process
// connector (netlink) reports each fork, exec and exit as it happens, in
// the acting process's context, before that process can open anything
// else.  The reader drains those reports after each read of the
// permission group and before it looks at the events it read; an event
// queued after an exec therefore always finds the entry gone, and a /proc
// read made while an exec was still on its way is dropped by the report
// that follows it.  When a report is lost (the socket's buffer overran)
// every entry goes.  Without the connector (not in the kernel, another
// network namespace) the cache stays empty and every open reads /proc, as
// before.  Bounded; safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_KNOWNPROCESSES_H_
#define BRIX_TOOLS_BRIXD_KNOWNPROCESSES_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "RunningProgram.h"

namespace brixd {

class KnownProcesses {
 public:
  explicit KnownProcesses(size_t capacity) : capacity_(capacity) {}
  ~KnownProcesses();
  KnownProcesses(const KnownProcesses&) = delete;
  KnownProcesses& operator=(const KnownProcesses&) = delete;

  // Subscribes to the process connector; false with `error` when the
  // kernel offers none (the cache then stays off).
  bool Open(std::string* error);
  bool enabled() const { return socket_ >= 0; }

  // Reads every report waiting and drops the entries they concern.
  // Returns the number of execs seen (for the stats).
  uint64_t Drain();

  bool Find(pid_t pid, RunningProgram* program) const;
  void Insert(pid_t pid, const RunningProgram& program);
  void Forget(pid_t pid);
  void Clear();
  size_t size() const;

 private:
  // Constant between Open and the destructor
  int socket_ = -1;
  const size_t capacity_;

  // State below is protected by mutex_
  mutable std::mutex mutex_;
  std::unordered_map<pid_t, RunningProgram> images_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_KNOWNPROCESSES_H_
