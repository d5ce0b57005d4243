// PermissionKernel.cpp: PermissionMonitor's part in the kernel guard
// (bpf/KernelGuard.h).  fanotify still makes the first decision about
// code; the guard makes the one that counts for a mapping.
#include <sys/fanotify.h>

#include <cstring>

#include "AsyncLog.h"
#include "KernelGuard.h"
#include "PermissionMonitor.h"

namespace brixd {

uint32_t PermissionMonitor::KernelAnswer(const PendingEvent& event, const Outcome& outcome) {
  if (guard_ == nullptr) return outcome.answer;
  const bool code = event.kind == EventKind::kProgramStart || event.kind == EventKind::kLibrary;
  if (!code || outcome.reason == Reason::kPlainOpen || outcome.reason == Reason::kOwnEvent)
    return outcome.answer;
  if (outcome.answer == FAN_ALLOW) {
    // Recorded before the answer: the mapping or the start's own check
    // follows as soon as the open returns.
    if (event.statOk && !guard_->Allow(event.st))
      g_log->Printf(BRIX_LOG_WARNING,
                    "cannot record %s as allowed in the kernel (%s): its mapping is refused",
                    event.path.c_str(), strerror(errno));
    return FAN_ALLOW;
  }
  // Reading code (a copy, a checksum, a linker's input) loads nothing:
  // the open is let through and the kernel refuses the mapping, as no
  // version of the file was recorded.
  return event.kind == EventKind::kLibrary ? FAN_ALLOW : outcome.answer;
}

}  // namespace brixd
