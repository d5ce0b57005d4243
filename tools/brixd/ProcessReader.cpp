#include "ProcessReader.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "RunningProgram.h"

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
    if (got > 0 && out->throughLoader) {
      // "ld.so [options] PROGRAM ARGS": the process is PROGRAM.
      std::vector<std::string> argv;
      for (size_t at = 0; at < static_cast<size_t>(got);) {
        const size_t end = std::find(buffer + at, buffer + got, '\0') - buffer;
        argv.emplace_back(buffer + at, end - at);
        at = end + 1;
      }
      const size_t program = LoaderProgramArgument(argv);
      out->commandLine = out->executable;
      for (size_t i = program == 0 ? argv.size() : program + 1; i < argv.size(); ++i)
        out->commandLine += " " + argv[i];
    } else if (got > 0) {
      size_t length = static_cast<size_t>(got);
      while (length > 0 && buffer[length - 1] == '\0') --length;
      for (size_t i = 0; i < length; ++i)
        if (buffer[i] == '\0') buffer[i] = ' ';
      out->commandLine.assign(buffer, length);
    }
  }
}

namespace {

// Reads "name:x:id:..." lines of a local account file into `names`.
void LoadIdFile(const char* path, std::unordered_map<unsigned, std::string>* names) {
  FILE* file = fopen(path, "re");
  if (file == nullptr) return;
  char line[4096];
  while (fgets(line, sizeof(line), file) != nullptr) {
    const char* name = line;
    char* colon = strchr(line, ':');
    if (colon == nullptr) continue;
    *colon = '\0';
    char* second = strchr(colon + 1, ':');
    if (second == nullptr) continue;
    char* end = nullptr;
    const unsigned long id = strtoul(second + 1, &end, 10);
    if (end == second + 1 || *end != ':' || name[0] == '\0') continue;
    names->emplace(static_cast<unsigned>(id), name);
  }
  fclose(file);
}

// Ids waiting for the name service at most; more are sent as numbers.
constexpr size_t kMaxRequests = 1024;

}  // namespace

ProcessReader::ProcessReader() : names_(std::make_shared<Names>()) {
  LoadIdFile("/etc/passwd", &names_->users);
  LoadIdFile("/etc/group", &names_->groups);
  std::thread(&ProcessReader::Resolve, names_).detach();
}

ProcessReader::~ProcessReader() {
  {
    std::lock_guard<std::mutex> lock(names_->mutex);
    names_->stopping = true;
  }
  names_->wake.notify_all();
}

std::string ProcessReader::UserName(uid_t uid) { return Name(true, uid); }

std::string ProcessReader::GroupName(gid_t gid) { return Name(false, gid); }

std::string ProcessReader::Name(bool user, unsigned id) {
  std::lock_guard<std::mutex> lock(names_->mutex);
  auto& names = user ? names_->users : names_->groups;
  auto it = names.find(id);
  if (it != names.end()) return it->second;
  // Asked once: the number stands in until the answer is in.
  const std::string number = std::to_string(id);
  names.emplace(id, number);
  if (names_->requests.size() < kMaxRequests) {
    names_->requests.push_back({user, id});
    names_->wake.notify_one();
  }
  return number;
}

void ProcessReader::Resolve(std::shared_ptr<Names> names) {
  std::vector<char> buffer(16384);
  for (;;) {
    Request request;
    {
      std::unique_lock<std::mutex> lock(names->mutex);
      names->wake.wait(lock, [&] { return names->stopping || !names->requests.empty(); });
      if (names->stopping) return;
      request = names->requests.front();
      names->requests.pop_front();
    }
    std::string name;
    if (request.user) {
      struct passwd entry {};
      struct passwd* found = nullptr;
      if (getpwuid_r(request.id, &entry, buffer.data(), buffer.size(), &found) == 0 &&
          found != nullptr)
        name = found->pw_name;
    } else {
      struct group entry {};
      struct group* found = nullptr;
      if (getgrgid_r(request.id, &entry, buffer.data(), buffer.size(), &found) == 0 &&
          found != nullptr)
        name = found->gr_name;
    }
    if (name.empty()) continue;
    std::lock_guard<std::mutex> lock(names->mutex);
    (request.user ? names->users : names->groups)[request.id] = name;
  }
}

}  // namespace brixd
