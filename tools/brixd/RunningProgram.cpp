#include "RunningProgram.h"

#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "FileDigest.h"
#include "ProcessTable.h"
#include "WriteAccess.h"

namespace brixd {

namespace {

// The path of the dynamic loader this process was started by: the object
// loaded at the auxiliary vector's base address.  Empty for a static
// build.
std::string OwnLoader() {
  struct Search {
    uintptr_t base;
    std::string name;
  } search{static_cast<uintptr_t>(getauxval(AT_BASE)), std::string()};
  if (search.base == 0) return std::string();
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_addr != s->base || info->dlpi_name == nullptr) return 0;
        s->name = info->dlpi_name;
        return 1;
      },
      &search);
  return search.name;
}

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// The SHA-256 of what `path` holds (hex), and whether only root can
// change it; empty when it cannot be read.
std::string Sha256Of(const std::string& path, bool* onlyRoot) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::string();
  struct stat st {};
  brix_host::FileDigests digests;
  std::string error;
  brix_host::HashLimits limits;
  limits.maxBytes = 1ull << 30;
  const bool done = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    brix_host::HashDescriptorBounded(fd, limits, &digests, &error) ==
                        brix_host::HashEnd::kDone;
  if (onlyRoot != nullptr) *onlyRoot = done && OnlyRootCanWrite(fd, st);
  close(fd);
  return done ? brix_host::ToHex(digests.sha256.data(), digests.sha256.size()) : std::string();
}

// Options of the loader run as a program that take a value.
bool LoaderOptionTakesValue(const std::string& option) {
  static const char* const kWithValue[] = {
      "--library-path", "--inhibit-rpath", "--audit", "--preload", "--argv0",
      "--glibc-hwcaps-prepend", "--glibc-hwcaps-mask"};
  for (const char* name : kWithValue)
    if (option == name) return true;
  return false;
}

}  // namespace

size_t LoaderProgramArgument(const std::vector<std::string>& argv) {
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") return i + 1 < argv.size() ? i + 1 : 0;
    if (arg.rfind("--", 0) != 0) return i;
    if (LoaderOptionTakesValue(arg)) ++i;  // "--preload LIST"; "--preload=LIST" is one word
  }
  return 0;
}

void ProgramIdentifier::Add(const std::string& path, const struct stat& st, bool loader) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  const Key key{st.st_dev, st.st_ino};
  if (known_.count(key) != 0) return;
  Known entry;
  entry.path = path;
  entry.size = static_cast<uint64_t>(st.st_size);
  entry.loader = loader;
  known_.emplace(key, entry);
  bySize_.emplace(entry.size, key);
}

void ProgramIdentifier::Learn(const std::vector<std::string>& folders, uint64_t* probes) {
  const std::string loader = OwnLoader();
  struct stat st {};
  if (!loader.empty() && stat(loader.c_str(), &st) == 0) Add(Canonical(loader), st, true);
  std::set<Key> seen;
  for (const std::string& folder : folders) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) continue;
    while (const struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const std::string path = folder + "/" + entry->d_name;
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0 ||
          !seen.insert({st.st_dev, st.st_ino}).second)
        continue;
      // The engine's answer for the file's own path, and for the name it
      // was found by (python3 is a link to python3.11).
      const std::string canonical = Canonical(path);
      std::vector<std::string> names{canonical};
      if (path != canonical) names.push_back(path);
      for (const std::string& name : names) {
        Interpreter answer = interpreters_->Find(name);
        uint32_t status = 0;
        if (answer == Interpreter::kUnknown) {
          ++*probes;
          if (!interpreters_->Probe(name, &answer, &status)) continue;
        }
        if (answer == Interpreter::kYes) {
          Add(canonical, st, false);
          break;
        }
      }
    }
    closedir(dir);
  }
}

size_t ProgramIdentifier::interpreters() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return known_.size();
}

ProgramIdentifier::Match ProgramIdentifier::Classify(const std::string& name,
                                                     const std::string& openPath,
                                                     const struct stat& st, bool mayWait,
                                                     std::string* canonical) {
  std::vector<Key> sameSize;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = known_.find({st.st_dev, st.st_ino});
    if (it != known_.end()) {
      *canonical = it->second.path;
      return it->second.loader ? Match::kLoader : Match::kInterpreter;
    }
    auto range = bySize_.equal_range(static_cast<uint64_t>(st.st_size));
    for (auto at = range.first; at != range.second; ++at) sameSize.push_back(at->second);
    if (!sameSize.empty()) {
      auto copy = copies_.find(FileIdentity::Of(st));
      if (copy != copies_.end()) {
        *canonical = copy->second.first == Match::kNone ? name : copy->second.second;
        return copy->second.first;
      }
    }
  }
  // The engine's own rule, by name.
  Interpreter byName = interpreters_->Find(name);
  if (byName == Interpreter::kUnknown) {
    if (!mayWait) return Match::kUnknown;
    uint32_t status = 0;
    if (!interpreters_->Probe(name, &byName, &status)) return Match::kUnknown;
  }
  if (byName == Interpreter::kYes) {
    *canonical = name;
    return Match::kInterpreter;
  }
  if (sameSize.empty()) return Match::kNone;
  // A copy is told by its digest.
  if (!mayWait) return Match::kUnknown;
  bool onlyRoot = false;
  const std::string digest = Sha256Of(openPath, &onlyRoot);
  Match match = Match::kNone;
  if (digest.empty()) {
    // Of an interpreter's size and unreadable: taken for the interpreter,
    // whose opens are decided, rather than waved through.
    match = Match::kInterpreter;
  }
  std::unique_lock<std::shared_mutex> lock(mutex_);
  for (const Key& key : sameSize) {
    Known& known = known_.at(key);
    if (known.sha256.empty()) {
      lock.unlock();
      const std::string original = Sha256Of(known.path, nullptr);
      lock.lock();
      known.sha256 = original;
    }
    if (match == Match::kInterpreter && digest.empty()) {
      *canonical = known.path;
      return match;
    }
    if (!known.sha256.empty() && known.sha256 == digest) {
      match = known.loader ? Match::kLoader : Match::kInterpreter;
      *canonical = known.path;
      break;
    }
  }
  if (match == Match::kNone) *canonical = name;
  // A copy a user can write may hold other bytes next time under the
  // same identity: only root's copies are remembered.
  if (onlyRoot) {
    if (copies_.size() >= 4096) copies_.clear();
    copies_[FileIdentity::Of(st)] = {match, *canonical};
  }
  return match;
}

bool ProgramIdentifier::Identify(pid_t pid, bool mayWait, RunningProgram* out, int* error,
                                 const std::string* image) {
  *error = 0;
  if (image != nullptr && !image->empty())
    out->image = *image;
  else
    out->image = ReadExecutable(pid, error);
  out->throughLoader = false;
  if (out->image.empty()) return false;
  char exe[64];
  snprintf(exe, sizeof(exe), "/proc/%d/exe", static_cast<int>(pid));
  struct stat st {};
  if (stat(exe, &st) != 0) {
    *error = errno;
    return false;
  }
  std::string canonical;
  switch (Classify(out->image, exe, st, mayWait, &canonical)) {
    case Match::kInterpreter:
      out->path = canonical;
      out->interpreter = Interpreter::kYes;
      return true;
    case Match::kNone:
      out->path = out->image;
      out->interpreter = Interpreter::kNo;
      return true;
    case Match::kUnknown:
      out->path = out->image;
      out->interpreter = Interpreter::kUnknown;
      return true;
    case Match::kLoader: break;
  }
  // The loader run as a program: the program it loaded is one of the files
  // the process maps (which the loader cannot fake), and an interpreter
  // among them makes the process that interpreter.
  out->throughLoader = true;
  out->path = out->image;
  out->interpreter = Interpreter::kNo;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/maps", static_cast<int>(pid));
  FILE* maps = fopen(path, "re");
  if (maps == nullptr) {
    *error = errno;
    return false;
  }
  std::set<Key> looked{{st.st_dev, st.st_ino}};
  char line[PATH_MAX + 256];
  bool unknown = false;
  while (fgets(line, sizeof(line), maps) != nullptr) {
    unsigned long long start = 0, end = 0;
    char name[PATH_MAX];
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    name[0] = '\0';
    if (sscanf(line, "%llx-%llx %*s %*s %x:%x %llu %4095[^\n]", &start, &end, &major, &minor,
               &inode, name) < 5 ||
        inode == 0)
      continue;
    // map_files names its entries without the zero padding of maps.
    char mapped[128];
    snprintf(mapped, sizeof(mapped), "/proc/%d/map_files/%llx-%llx", static_cast<int>(pid), start,
             end);
    struct stat file {};
    if (stat(mapped, &file) != 0 || !looked.insert({file.st_dev, file.st_ino}).second)
      continue;
    switch (Classify(name, mapped, file, mayWait, &canonical)) {
      case Match::kInterpreter:
        fclose(maps);
        out->path = canonical;
        out->interpreter = Interpreter::kYes;
        return true;
      case Match::kUnknown: unknown = true; break;
      case Match::kNone:
      case Match::kLoader: break;
    }
  }
  fclose(maps);
  if (unknown) out->interpreter = Interpreter::kUnknown;
  return true;
}

}  // namespace brixd
