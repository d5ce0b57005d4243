#include "ScriptArguments.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RunningProgram.h"

namespace brixd {

namespace {

// Longer command lines are cut: the operands that matter come first.
constexpr size_t kMaxCommandLine = 64 * 1024;

std::string ReadFileText(const char* path, size_t limit) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  while (text.size() < limit) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  if (text.size() > limit) text.resize(limit);
  return text;
}

std::string ReadLinkText(const char* path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof(target));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) return std::string();
  return std::string(target, static_cast<size_t>(n));
}

// Fields 4 (parent), 22 (start time) and 28 (start of the stack) of
// /proc/PID/stat, counted from the last ')': the command name may hold
// anything.
bool ReadStatFields(pid_t pid, pid_t* parent, uint64_t* startTime, uint64_t* stack) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  const std::string stat = ReadFileText(path, 4096);
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  const char* p = stat.c_str() + close + 1;
  for (int field = 3; field <= 28; ++field) {
    p = strchr(p + 1, ' ');
    if (p == nullptr) return false;
    if (field + 1 == 4) *parent = static_cast<pid_t>(strtol(p + 1, nullptr, 10));
    if (field + 1 == 22) *startTime = strtoull(p + 1, nullptr, 10);
    if (field + 1 == 28) *stack = strtoull(p + 1, nullptr, 10);
  }
  return *startTime != 0;
}

// An O_PATH descriptor opens nothing for reading: no fanotify event, and
// it works on files no one may read.
int OpenPath(int root, const std::string& path) {
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, root, path.c_str(), &how, sizeof(how));
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  // Before Linux 5.6: resolved from brixd's root, which is the process's
  // own unless it is in a container.
  return open(path.c_str(), O_PATH | O_CLOEXEC);
}

}  // namespace

bool ReadProcessImage(pid_t pid, const std::string& executable, ProcessImage* out) {
  *out = ProcessImage();
  if (!ReadStatFields(pid, &out->parent, &out->startTime, &out->stack)) return false;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/cmdline", static_cast<int>(pid));
  out->commandLine = ReadFileText(path, kMaxCommandLine);
  if (out->commandLine.empty()) return false;
  if (out->commandLine.back() != '\0') out->commandLine.push_back('\0');
  snprintf(path, sizeof(path), "/proc/%d/cwd", static_cast<int>(pid));
  out->cwd = ReadLinkText(path);
  out->executable = executable;
  return true;
}

std::vector<std::pair<dev_t, ino_t>> ResolveOperands(pid_t pid, const ProcessImage& image,
                                                     size_t limit) {
  std::vector<std::pair<dev_t, ino_t>> operands;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/root", static_cast<int>(pid));
  const int root = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return operands;
  const std::string& line = image.commandLine;
  // The program's own name comes first; the operands follow.
  size_t at = line.find('\0');
  while (at != std::string::npos && at + 1 < line.size() && operands.size() < limit) {
    const size_t end = line.find('\0', at + 1);
    const std::string operand = line.substr(at + 1, end - at - 1);
    at = end;
    std::pair<dev_t, ino_t> identity{0, 0};
    if (!operand.empty() && operand.size() < PATH_MAX) {
      // A relative operand is relative to the working folder; a working
      // folder outside the process's root has no name there.
      std::string full = operand;
      if (operand[0] != '/') full = image.cwd.empty() || image.cwd[0] != '/' ? "" : image.cwd + "/" + operand;
      const int fd = full.empty() ? -1 : OpenPath(root, full);
      struct stat st {};
      if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) identity = {st.st_dev, st.st_ino};
      if (fd >= 0) close(fd);
    }
    operands.push_back(identity);
  }
  close(root);
  return operands;
}

namespace {

std::vector<std::string> Arguments(const std::string& raw) {
  std::vector<std::string> argv;
  for (size_t at = 0; at < raw.size();) {
    size_t end = raw.find('\0', at);
    if (end == std::string::npos) end = raw.size();
    argv.push_back(raw.substr(at, end - at));
    at = end + 1;
  }
  return argv;
}

// The arguments joined by blanks, operand `index` (argument index + 1)
// replaced by `path`.  Through the loader (`program` not 0) the command
// line starts with the program, as the engine hears it.
std::string CommandLineNaming(const std::string& raw, size_t index, const std::string& path,
                              const std::string& executable, size_t program) {
  const std::vector<std::string> argv = Arguments(raw);
  std::string text = program != 0 ? executable : std::string();
  for (size_t i = program != 0 ? program + 1 : 0; i < argv.size(); ++i) {
    if (!text.empty()) text += ' ';
    text += i == index + 1 ? path : argv[i];
  }
  return text;
}

}  // namespace

ArgumentRole ScriptArguments::Classify(pid_t pid, const std::string& executable,
                                       bool throughLoader, const struct stat& opened,
                                       const std::string& path, std::string* commandLine) {
  ProcessImage image;
  if (!ReadProcessImage(pid, executable, &image)) return ArgumentRole::kNotNamed;
  std::vector<std::pair<dev_t, ino_t>> operands;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(pid);
    if (it != processes_.end() && it->second.image.SameAs(image)) {
      operands = it->second.operands;
      known = true;
    }
  }
  // Resolved once per image, outside the lock: a path may be slow.  Names
  // that change meanwhile then match no operand, which is the stricter
  // side.
  size_t program = 0;
  if (!known) {
    operands = ResolveOperands(pid, image, kMaxOperands);
    if (throughLoader) {
      // The loader's own options and the program it runs are no operands
      // of the interpreter; with no program named, nothing is.
      program = LoaderProgramArgument(Arguments(image.commandLine));
      const size_t last = program == 0 ? operands.size() : std::min(program, operands.size());
      for (size_t i = 0; i < last; ++i) operands[i] = {0, 0};
    }
  }
  size_t index = SIZE_MAX;
  for (size_t i = 0; i < operands.size() && index == SIZE_MAX; ++i)
    if (operands[i].second != 0 && operands[i].first == opened.st_dev &&
        operands[i].second == opened.st_ino)
      index = i;

  std::lock_guard<std::mutex> lock(mutex_);
  auto it = processes_.find(pid);
  if (it == processes_.end() || !it->second.image.SameAs(image)) {
    // A new process or a new image of the pid: nothing opened yet.  When
    // full, every process starts again, which is never less strict.
    if (it == processes_.end() && processes_.size() >= capacity_) processes_.clear();
    size_t script = SIZE_MAX;
    auto parent = processes_.find(image.parent);
    if (parent != processes_.end() && image.ForkOf(parent->second.image))
      script = parent->second.script;
    Entry& entry = processes_[pid];
    entry.image = std::move(image);
    entry.operands = std::move(operands);
    entry.script = script;
    entry.program = program;
    it = processes_.find(pid);
  }
  if (index == SIZE_MAX) return ArgumentRole::kNotNamed;
  Entry& entry = it->second;
  if (entry.script == SIZE_MAX) entry.script = index;
  if (entry.script != index) return ArgumentRole::kPlainRead;
  *commandLine =
      CommandLineNaming(entry.image.commandLine, index, path, executable, entry.program);
  return ArgumentRole::kScript;
}

void ScriptArguments::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  processes_.clear();
}

}  // namespace brixd
