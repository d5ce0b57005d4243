// ServiceNotify.h: telling systemd (Type=notify) how brixd is doing.
//
// READY=1 once it watches, STOPPING=1 when it stops, and WATCHDOG=1 from
// the thread that reads the kernel's events, so that systemd restarts a
// brixd whose reader hangs.  Without NOTIFY_SOCKET nothing is sent.
#ifndef BRIX_TOOLS_BRIXD_SERVICENOTIFY_H_
#define BRIX_TOOLS_BRIXD_SERVICENOTIFY_H_

#include <cstdint>

namespace brixd {

void NotifyService(const char* state);

// Half the watchdog interval systemd asks for (WATCHDOG_USEC, when
// WATCHDOG_PID is ours or unset), in nanoseconds; 0 without a watchdog.
uint64_t ServiceWatchdogNanos();

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_SERVICENOTIFY_H_
