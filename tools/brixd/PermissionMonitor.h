// PermissionMonitor.h: program starts on the watched mounts, answered with
// the engine's verdicts.
//
// One fanotify group of class content carries FAN_OPEN_EXEC_PERM marks on
// the watched mounts: the kernel holds each execve of a file there until
// brixd writes FAN_ALLOW or FAN_DENY for it.  Worker threads read the
// group directly (no hand-over between threads on the hot path), hash the
// target through the digest cache, build a program-start event and let
// app_ctl decide.  A watchdog answers every event still undecided at its
// deadline with the failure policy, so a slow hash or a stuck engine
// delays a program start by the deadline at most; the worker's late
// verdict is then only counted.  Each event waits in a slot that records
// whether it was answered; the slot's lock makes sure exactly one answer is
// written and the event's descriptor is closed only after it.  Closing the
// group (on Stop, or when the process dies) makes the kernel allow every
// event still queued.
#ifndef BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_
#define BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "DigestCache.h"

namespace brixd {

class ProcessReader;
struct ActingProcess;
struct Stats;

class PermissionMonitor {
 public:
  struct Settings {
    unsigned threads = 2;
    uint64_t deadlineNanos = 1000000000;
    bool failOpen = true;  // the answer at the deadline and on errors
  };

  PermissionMonitor(const Settings& settings, Stats* stats, DigestCache* cache,
                    ProcessReader* processes);
  ~PermissionMonitor();
  PermissionMonitor(const PermissionMonitor&) = delete;
  PermissionMonitor& operator=(const PermissionMonitor&) = delete;

  // Creates the group and marks the mounts that hold `folders`.  False
  // with `error` naming the folder and the kernel's reason.
  bool Open(const std::vector<std::string>& folders, std::string* error);

  void Start();
  // Answers what the workers hold, stops them and closes the group.
  void Stop();

 private:
  // One event between reading and answering.
  struct Slot {
    std::mutex mutex;
    // Guarded by mutex
    bool busy = false;
    bool answered = false;
    int fd = -1;
    uint64_t startNanos = 0;
  };

  static constexpr size_t kBatch = 32;  // events a worker reads at once

  void Work(unsigned index);
  void Watch();
  void Handle(Slot* slot, pid_t pid);
  uint32_t Decide(int fd, pid_t pid);
  // True when the engine's allow cache vouches for this start and the
  // file is still the version the engine allowed.
  bool AllowedFromCache(const std::string& path, const FileIdentity& id,
                        const ActingProcess& process);
  void RememberAllowed(const std::string& path, const FileIdentity& id);
  void Respond(int fd, uint32_t answer);
  uint32_t PolicyAnswer() const;

  // Constant after construction
  const Settings settings_;
  Stats* const stats_;
  DigestCache* const cache_;
  ProcessReader* const processes_;
  const pid_t self_;

  // Constant between Open and Stop
  int group_ = -1;
  int wake_ = -1;  // eventfd: readable once Stop begins
  std::unique_ptr<Slot[]> slots_;  // kBatch per worker

  // The version of each file whose start the engine allowed by rule or
  // inventory (and so put in its allow cache).  The engine forgets a path
  // when it hears of a change to it, but drift reaches it after the fact:
  // a file replaced and started at once must not ride on the old verdict.
  // State below is protected by allowedMutex_
  std::mutex allowedMutex_;
  std::unordered_map<std::string, FileIdentity> allowedVersions_;
  static constexpr size_t kMaxAllowedVersions = 65536;

  std::atomic<bool> stopping_{false};
  // The watchdog outlives the workers: a worker still hashing during Stop
  // keeps its event under the deadline.
  std::atomic<bool> watchdogStopping_{false};
  std::vector<std::thread> workers_;
  std::thread watchdog_;
  std::mutex watchdogMutex_;
  std::condition_variable watchdogWake_;
};

// Monotonic nanoseconds.
uint64_t NowNanos();

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PERMISSIONMONITOR_H_
