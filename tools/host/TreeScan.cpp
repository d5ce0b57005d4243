#include "TreeScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "HostEvent.h"

namespace brix_host {

namespace {

// File systems whose "files" are kernel views, not content: reading them
// can block, never end, or change the system.
constexpr unsigned long kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,    SYSFS_MAGIC,       DEVPTS_SUPER_MAGIC,
    CGROUP_SUPER_MAGIC,  CGROUP2_SUPER_MAGIC, DEBUGFS_MAGIC,
    TRACEFS_MAGIC,       SECURITYFS_MAGIC,  BPF_FS_MAGIC,
    PSTOREFS_MAGIC,      EFIVARFS_MAGIC,    SELINUX_MAGIC,
    BINFMTFS_MAGIC,      0x62656570 /* configfs */,
    0x65735543 /* fusectl */, 0x19800202 /* mqueue */,
};

bool IsPseudoFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return false;
  const unsigned long type = static_cast<unsigned long>(fs.f_type);
  return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems),
                   type) != std::end(kPseudoFileSystems);
}

std::string Join(const std::string& folder, const char* name) {
  return folder == "/" ? folder + name : folder + "/" + name;
}

class Walker {
 public:
  explicit Walker(ScanPlan* plan) : plan_(plan) {}

  // Lists one folder and, in name order, everything below it.  Entries
  // are read and the folder closed before descending, so deep trees do not
  // hold one descriptor per level.
  void Folder(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      Skip(path, strerror(errno));
      return;
    }
    if (IsPseudoFileSystem(fd)) {
      ++plan_->pseudoFileSystems;
      close(fd);
      return;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      Skip(path, strerror(errno));
      close(fd);
      return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.emplace_back(entry->d_name);
      errno = 0;
    }
    if (errno != 0) Skip(path, std::string("listing stopped: ") + strerror(errno));
    std::sort(names.begin(), names.end());

    // Status of every entry while the folder is open, then the entries in
    // name order, descending into subfolders as they come: the list ends
    // up in path order.
    struct Entry {
      std::string path;
      bool folder;
    };
    std::vector<Entry> entries;
    for (const std::string& name : names) {
      struct stat st {};
      std::string child = Join(path, name.c_str());
      if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Skip(child, strerror(errno));
      } else if (S_ISREG(st.st_mode)) {
        plan_->totalBytes += static_cast<uint64_t>(st.st_size);
        entries.push_back({std::move(child), false});
      } else if (S_ISDIR(st.st_mode)) {
        entries.push_back({std::move(child), true});
      } else {
        ++plan_->notRegular;
      }
    }
    closedir(dir);
    for (Entry& entry : entries) {
      if (entry.folder) Folder(entry.path);
      else plan_->files.push_back(std::move(entry.path));
    }
  }

 private:
  void Skip(const std::string& path, std::string reason) {
    plan_->skipped.push_back({path, std::move(reason)});
  }

  ScanPlan* plan_;
};

}  // namespace

bool PlanScan(const std::vector<std::string>& roots, ScanPlan* plan,
              std::string* error) {
  ScanPlan result;
  Walker walker(&result);
  for (const std::string& root : roots) {
    std::string resolved;
    std::string why;
    if (!ResolvePath(root, &resolved, &why)) {
      *error = "cannot scan " + root + ": " + why;
      return false;
    }
    struct stat st {};
    if (stat(resolved.c_str(), &st) != 0) {
      *error = "cannot scan " + root + ": " + strerror(errno);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      // A root folder that cannot be opened at all is the caller's
      // mistake, not something to pass over.
      const int fd = open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) {
        *error = "cannot scan " + root + ": " + strerror(errno);
        return false;
      }
      close(fd);
      walker.Folder(resolved);
    } else if (S_ISREG(st.st_mode)) {
      result.files.push_back(resolved);
      result.totalBytes += static_cast<uint64_t>(st.st_size);
    } else {
      *error = "cannot scan " + root + ": not a folder or regular file";
      return false;
    }
  }
  *plan = std::move(result);
  return true;
}

void HashFiles(const std::vector<std::string>& files, unsigned threads,
               const std::function<void(const HashedFile&)>& deliver) {
  if (files.empty()) return;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, files.size()));

  std::vector<HashedFile> results(files.size());
  std::vector<char> ready(files.size(), 0);  // guarded by mutex
  std::mutex mutex;
  std::condition_variable done;
  std::atomic<size_t> next{0};

  auto work = [&] {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= files.size()) return;
      HashedFile result;
      result.path = &files[i];
      result.ok = HashFile(files[i], &result.digests, &result.error);
      {
        std::lock_guard<std::mutex> lock(mutex);
        results[i] = std::move(result);
        ready[i] = 1;
      }
      done.notify_one();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);

  for (size_t i = 0; i < files.size(); ++i) {
    HashedFile current;
    {
      std::unique_lock<std::mutex> lock(mutex);
      done.wait(lock, [&] { return ready[i] != 0; });
      current = std::move(results[i]);
    }
    deliver(current);
  }
  for (std::thread& worker : workers) worker.join();
}

std::map<std::string, size_t> CountReasons(const std::vector<ScanSkip>& skipped) {
  std::map<std::string, size_t> counts;
  for (const ScanSkip& skip : skipped) ++counts[skip.reason];
  return counts;
}

}  // namespace brix_host
