// PermissionKernel.cpp: PermissionMonitor's part in the kernel guard
// (bpf/KernelGuard.h).  fanotify still makes the first decision about
// code; the guard makes the one that counts for a mapping.
#include <fcntl.h>
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
    if (event.statOk) RecordInKernel(event.path, event.st);
    return FAN_ALLOW;
  }
  // Reading code (a copy, a checksum, a linker's input) loads nothing:
  // the open is let through and the kernel refuses the mapping, as no
  // version of the file was recorded.
  return event.kind == EventKind::kLibrary ? FAN_ALLOW : outcome.answer;
}

void PermissionMonitor::RecordInKernel(const std::string& path, const struct stat& version) {
  if (guard_->Allow(version)) return;
  if (errno == E2BIG) {
    g_log->Write(BRIX_LOG_WARNING,
                 "the kernel's table of allowed versions is full: emptied, with the ignore marks");
    guard_->ForgetAllowed();
    if (fanotify_mark(group_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr) != 0)
      g_log->Printf(BRIX_LOG_ERROR, "cannot drop the kernel's ignore marks: %s", strerror(errno));
    if (guard_->Allow(version)) return;
  }
  g_log->Printf(BRIX_LOG_WARNING, "cannot record %s as allowed in the kernel (%s): its mapping is refused",
                path.c_str(), strerror(errno));
}

}  // namespace brixd
