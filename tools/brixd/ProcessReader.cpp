#include "ProcessReader.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <vector>

namespace brixd {

void SetActingProcess(brix_host::HostEvent& event,
                      const ActingProcess& process) {
  if (!process.executable.empty())
    event.SetText(&ac_wrapper_event_s::processName, process.executable);
  if (!process.commandLine.empty())
    event.SetText(&ac_wrapper_event_s::cmdLine, process.commandLine);
  if (!process.user.empty())
    event.SetText(&ac_wrapper_event_s::user, process.user);
  if (!process.group.empty())
    event.SetText(&ac_wrapper_event_s::group, process.group);
}

namespace {

// Command lines longer than this are cut: the engine only looks for a
// file name in them, and an event must not cost a megabyte.
constexpr size_t kMaxCommandLine = 4096;

}  // namespace

void ProcessReader::Read(pid_t pid, ActingProcess* out) {
  ReadIdentity(pid, out);
  ReadCommandLine(pid, out);
}

void ProcessReader::ReadIdentity(pid_t pid, ActingProcess* out) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof(target) - 1);
  out->executable.assign(target, n > 0 ? static_cast<size_t>(n) : 0);

  // The owner of /proc/PID is the process's effective user and group.
  snprintf(path, sizeof(path), "/proc/%d", static_cast<int>(pid));
  struct stat st {};
  if (stat(path, &st) == 0) {
    out->user = UserName(st.st_uid);
    out->group = GroupName(st.st_gid);
  } else {
    out->user.clear();
    out->group.clear();
  }
}

void ProcessReader::ReadCommandLine(pid_t pid, ActingProcess* out) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/cmdline", static_cast<int>(pid));
  out->commandLine.clear();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buffer[kMaxCommandLine];
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    close(fd);
    if (got > 0) {
      size_t length = static_cast<size_t>(got);
      while (length > 0 && buffer[length - 1] == '\0') --length;
      for (size_t i = 0; i < length; ++i)
        if (buffer[i] == '\0') buffer[i] = ' ';
      out->commandLine.assign(buffer, length);
    }
  }
}

std::string ProcessReader::UserName(uid_t uid) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = users_.find(uid);
    if (it != users_.end()) return it->second;
  }
  // Resolved outside the lock: a slow directory service must not hold up
  // the other threads' lookups of ids already known.
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::string name;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    name = found->pw_name;
  else
    name = std::to_string(uid);
  std::lock_guard<std::mutex> lock(mutex_);
  users_[uid] = name;
  return name;
}

std::string ProcessReader::GroupName(gid_t gid) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = groups_.find(gid);
    if (it != groups_.end()) return it->second;
  }
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  std::string name;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    name = found->gr_name;
  else
    name = std::to_string(gid);
  std::lock_guard<std::mutex> lock(mutex_);
  groups_[gid] = name;
  return name;
}

}  // namespace brixd
