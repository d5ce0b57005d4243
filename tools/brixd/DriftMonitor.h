// DriftMonitor.h: changes on the watched file systems, reported to the
// engine as drift.
//
// A fanotify group of class notification, reporting the directory and
// name of each change, carries a file-system mark for every watched
// folder's file system.  Written files that are closed, attribute changes,
// renames and deletes become the engine's close, mode-change, rename and
// delete events, so that new executables are recorded during a
// maintenance window and deleted ones leave the inventory.  Nothing here
// is answered or waited for: a notification group only reports, so a slow
// engine delays the inventory, never a process.  One thread, at a lower
// priority than the threads answering program starts, reads the group;
// at Stop it first takes every event already queued (within a bound).
// The queue is unlimited; should the kernel still report an overflow,
// the watched folders are rescanned for files changed since the monitor
// was last in step.  Drift digests are not kept in the digest cache, so
// bulk writes cannot push out the programs that start.  On kernels
// without name reporting it falls back to written files alone.
#ifndef BRIX_TOOLS_BRIXD_DRIFTMONITOR_H_
#define BRIX_TOOLS_BRIXD_DRIFTMONITOR_H_

#include <sys/fanotify.h>
#include <sys/types.h>

#include <ctime>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "HostEvent.h"

namespace brixd {

class DigestCache;
class Journal;
class ProcessReader;
class ProcessTable;
struct Stats;

// Host codes of the changes brixd reports.
constexpr uint32_t kHostTypeModeChange = 32;
constexpr uint32_t kHostTypeClose = 36;
constexpr uint32_t kHostTypeRename = 40;
constexpr uint32_t kHostTypeDelete = 50;

class DriftMonitor {
 public:
  // `table` names writers that are gone by the time their change is read.
  DriftMonitor(Stats* stats, DigestCache* cache, ProcessReader* processes,
               const ProcessTable* table, uint64_t maxHashBytes);
  ~DriftMonitor();
  DriftMonitor(const DriftMonitor&) = delete;
  DriftMonitor& operator=(const DriftMonitor&) = delete;

  // Creates the group and marks the file systems of `folders`.  False with
  // `error` set when the kernel refuses.
  bool Open(const std::vector<std::string>& folders, std::string* error);

  // Drift worth a line goes to `journal` (may be null); set before Start.
  void SetJournal(Journal* journal) { journal_ = journal; }

  void Start();
  // Hands the events already queued to the engine, then stops; after
  // `graceNanos` the rest is left (logged).  False when the reader is
  // still inside the engine then: its thread is left behind, and the
  // caller must end the process without unloading the engine.
  bool Stop(uint64_t graceNanos);

 private:
  struct Mount {
    uint32_t fsid[2];  // as the kernel reports it in events
    int fd;            // the watched folder, for open_by_handle_at
  };

  void Run();
  void Drain(bool last);
  // Reports the files under the watched folders changed since
  // rescanSince_: what a queue overflow may have hidden.
  void Rescan();
  void HandleBuffer(const char* buffer, ssize_t length);
  void HandleNamedEvent(const struct fanotify_event_metadata* event);
  void HandleDescriptorEvent(const struct fanotify_event_metadata* event);
  bool DirectoryPath(const void* fidInfo, std::string* path) const;
  // Sends one change of `path` (and for a rename `oldPath`) to the engine.
  void Report(uint32_t type, pid_t pid, const std::string& path,
              const std::string& oldPath, int openFd);

  // Constant after construction
  Stats* const stats_;
  DigestCache* const cache_;
  ProcessReader* const processes_;
  const ProcessTable* const table_;
  const pid_t self_;
  Journal* journal_ = nullptr;
  const uint64_t maxHashBytes_;

  // Constant between Open and Stop
  int group_ = -1;
  int wake_ = -1;
  bool named_ = false;  // directory and name reporting
  std::vector<Mount> mounts_;
  std::vector<std::string> folders_;

  // Only the reader thread touches these
  time_t syncedAt_ = 0;  // every change before it was seen
  bool rescanPending_ = false;
  time_t rescanSince_ = 0;

  std::atomic<bool> stopping_{false};
  std::atomic<bool> abandon_{false};  // the stop's grace is over
  std::mutex doneMutex_;
  std::condition_variable doneWake_;
  bool done_ = false;  // guarded by doneMutex_
  std::thread reader_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_DRIFTMONITOR_H_
