#include "RuleWatch.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InotifyDrain.h"

namespace brixd {

namespace {

// The file name behind an event's descriptor.
std::string NameOf(int fd) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof(target));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) return std::string();
  const std::string path(target, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

RuleWatch::~RuleWatch() {
  if (writes_ >= 0) close(writes_);
  if (names_ >= 0) close(names_);
}

bool RuleWatch::Open(const std::string& dbPath, std::string* error) {
  self_ = getpid();
  const size_t slash = dbPath.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : dbPath.substr(0, slash);
  name_ = slash == std::string::npos ? dbPath : dbPath.substr(slash + 1);
  // A notification group: it never holds a writer back.  Its queue is
  // limited; an overflow counts as a change.  Writes only: every reader
  // (brixctl status, export, metrics) opens the database for reading and
  // writing and closes it unchanged, which is no change of the rules.
  writes_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
  if (writes_ < 0 ||
      fanotify_mark(writes_, FAN_MARK_ADD, FAN_MODIFY | FAN_EVENT_ON_CHILD, AT_FDCWD,
                    folder.c_str()) != 0) {
    *error = "cannot watch " + folder + " for writes (fanotify): " + strerror(errno);
    return false;
  }
  names_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (names_ < 0 ||
      inotify_add_watch(names_, folder.c_str(), IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) < 0) {
    *error = "cannot watch " + folder + " (inotify): " + strerror(errno);
    return false;
  }
  return true;
}

bool RuleWatch::Drain() {
  // Both are read to the end, whatever the first says.
  const bool written = writes_ >= 0 && DrainWrites();
  const bool renamed = names_ >= 0 && DrainNames();
  return written || renamed;
}

bool RuleWatch::DrainWrites() {
  alignas(struct fanotify_event_metadata) char buffer[8192];
  bool changed = false;
  for (;;) {
    const ssize_t length = read(writes_, buffer, sizeof(buffer));
    if (length <= 0) break;
    ssize_t left = length;
    for (auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer);
         FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->mask & FAN_Q_OVERFLOW) changed = true;
      if (event->fd >= 0) {
        // The database and its journal or WAL files, written by another.
        if (event->pid != self_ && NameOf(event->fd).compare(0, name_.size(), name_) == 0)
          changed = true;
        close(event->fd);
      }
    }
  }
  return changed;
}

bool RuleWatch::DrainNames() {
  // The database itself only: its journal comes and goes with every
  // transaction, brixd's own included.
  return DrainInotify(names_, [this](const struct inotify_event& change) {
    return change.len > 0 && name_ == change.name;
  });
}

}  // namespace brixd
