// PendingEvent.h: one permission event between reading and answering, and
// the outcome it ends with.
//
// The reader thread fills an event's facts the moment it reads it (target
// descriptor, path and status, acting process, deadline) and never
// changes them afterwards, so every thread may read them without a lock.
// Exactly one answer reaches the kernel: whoever first flips `answered`
// (a worker with the verdict, the reader at the deadline or at stop)
// writes it; the others only count their late result.  The descriptor is
// closed when the last holder lets the event go, never before its answer.
#ifndef BRIX_TOOLS_BRIXD_PENDINGEVENT_H_
#define BRIX_TOOLS_BRIXD_PENDINGEVENT_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ProcessReader.h"
#include "VerdictTable.h"
#include "brix.h"

namespace brixd {

struct Outcome {
  uint32_t answer = 0;  // FAN_ALLOW or FAN_DENY
  Reason reason = Reason::kEngineError;
  // The engine's answer, where it was asked.
  bool engineAsked = false;
  // Taken from brixd's memory of a log-only verdict, not asked afresh.
  bool remembered = false;
  uint32_t status = 0;
  ac_wrapper_response_s response{};
  std::string detail;  // the error text, where there is one
  // The content decided on, where the target was hashed.
  std::string sha256;  // lower-case hex
  uint64_t size = 0;
};

struct PendingEvent {
  PendingEvent() = default;
  ~PendingEvent() {
    if (fd >= 0) close(fd);
  }
  PendingEvent(const PendingEvent&) = delete;
  PendingEvent& operator=(const PendingEvent&) = delete;

  // Facts, set by the reader before anyone else sees the event.
  int fd = -1;
  pid_t pid = 0;
  uint64_t mask = 0;
  EventKind kind = EventKind::kUnknown;
  uint64_t readNanos = 0;      // monotonic
  uint64_t deadlineNanos = 0;  // monotonic
  std::string path;            // empty when it could not be read
  std::string pathError;
  bool statOk = false;
  struct stat st {};
  int statErrno = 0;
  // Whether only root can write the file (OnlyRootCanWrite), as the look
  // at an open's kind found it.
  bool onlyRootWrites = false;
  ActingProcess process;  // executable, user and group; no command line
  // Not a question from the kernel: a file already answered, to be hashed
  // and marked if the engine knows it (its descriptor is a copy).
  bool markProbe = false;
  // Set when the reader recognised the program an open is made by (an
  // interpreter, perhaps run through the loader or under another name):
  // the path reported as the acting program.
  std::string program;
  bool throughLoader = false;

  // Raised by whoever answers first; hashing stops when it is up.
  std::atomic<bool> answered{false};
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_PENDINGEVENT_H_
