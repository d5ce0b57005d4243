// InotifyDrain.h: reads everything an inotify descriptor holds.
//
// brixd watches the rule database's folder twice, for different ends: the
// reader drops what it remembers at once on any write (PermissionMonitor),
// and the main thread restarts the engine on other processes' changes
// (RuleWatch).  Both read their queue the same way.
#ifndef BRIX_TOOLS_BRIXD_INOTIFYDRAIN_H_
#define BRIX_TOOLS_BRIXD_INOTIFYDRAIN_H_

#include <sys/inotify.h>
#include <unistd.h>

namespace brixd {

// Reads `fd` (non-blocking) until it is empty; true when any change was a
// queue overflow or one that `matters` accepts.
template <typename Matters>
bool DrainInotify(int fd, Matters matters) {
  alignas(struct inotify_event) char buffer[4096];
  bool changed = false;
  for (;;) {
    const ssize_t length = read(fd, buffer, sizeof(buffer));
    if (length <= 0) break;
    for (ssize_t at = 0; at < length;) {
      const auto* change = reinterpret_cast<const struct inotify_event*>(buffer + at);
      if ((change->mask & IN_Q_OVERFLOW) || matters(*change)) changed = true;
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + change->len);
    }
  }
  return changed;
}

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_INOTIFYDRAIN_H_
