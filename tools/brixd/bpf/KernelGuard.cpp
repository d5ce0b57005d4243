#include "KernelGuard.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#ifdef BRIXD_HAVE_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "guard.skel.h"
#endif

namespace brixd {

namespace {

// Names in the pin folder: the four attachments, then the two tables.
const char* const kLinkNames[] = {"mmap_file", "file_mprotect", "bprm_check", "file_release"};
const char* const kMapNames[] = {"watched", "allowed", "shared_writable"};
constexpr int kMaps = 3;

// Must match struct version_key of guard.bpf.c.
struct VersionKey {
  uint64_t ino;
  int64_t ctimeSec;
  uint32_t dev;
  uint32_t ctimeNsec;
};
static_assert(sizeof(VersionKey) == 24, "the kernel's key is 24 bytes");

// The kernel's own encoding of a device number (what inodes carry), not
// the one stat(2) reports.
uint32_t KernelDevice(dev_t device) {
  return (static_cast<uint32_t>(major(device)) << 20) | static_cast<uint32_t>(minor(device));
}

}  // namespace

#ifdef BRIXD_HAVE_BPF

namespace {

constexpr long kBpfFsMagic = 0xcafe4a11;

// libbpf's first complaint (the cause; later ones only repeat it), for
// the one line brixd logs when loading fails.
std::mutex g_libbpfMutex;
std::string g_libbpfFirst;

int CaptureLibbpf(enum libbpf_print_level level, const char* format, va_list args) {
  if (level == LIBBPF_DEBUG) return 0;
  char line[512];
  vsnprintf(line, sizeof(line), format, args);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return 0;
  std::lock_guard<std::mutex> lock(g_libbpfMutex);
  if (g_libbpfFirst.empty()) g_libbpfFirst = text;
  return 0;
}

std::string LibbpfSaid(int error) {
  std::string text = strerror(error < 0 ? -error : error);
  std::lock_guard<std::mutex> lock(g_libbpfMutex);
  if (!g_libbpfFirst.empty()) text += " (" + g_libbpfFirst + ")";
  return text;
}

bool ActiveModulesHaveBpf(std::string* reason) {
  const char* path = "/sys/kernel/security/lsm";
  std::ifstream in(path);
  std::string list;
  if (!in || !std::getline(in, list)) {
    *reason = std::string("cannot read ") + path + " (is securityfs mounted?)";
    return false;
  }
  std::istringstream names(list);
  std::string name;
  while (std::getline(names, name, ','))
    if (name == "bpf") return true;
  *reason = "bpf is not among the kernel's active security modules (" + list +
            "; boot with lsm=...,bpf)";
  return false;
}

// Pins `fd` under `path` without a moment where `path` is missing: a
// fresh pin, renamed over the old one.
bool PinOver(int fd, const std::string& path, std::string* error) {
  // A BPF file system takes no dots in names.
  const std::string fresh = path + "_new";
  unlink(fresh.c_str());
  if (bpf_obj_pin(fd, fresh.c_str()) != 0) {
    *error = "cannot pin " + fresh + ": " + strerror(errno);
    return false;
  }
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + fresh + ": " + strerror(errno);
    unlink(fresh.c_str());
    return false;
  }
  return true;
}

}  // namespace

struct KernelGuard::State {
  guard_bpf* skel = nullptr;
  int allowedFd = -1;
  ~State() { guard_bpf::destroy(skel); }
};

bool KernelGuard::Load(const std::string& pinFolder, const std::vector<std::string>& folders,
                       std::string* reason) {
  // The pin folder first: a mistake in brixd's own options is named
  // whatever the kernel offers.
  const size_t slash = pinFolder.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : slash == 0 ? "/" : pinFolder.substr(0, slash);
  struct statfs fs {};
  if (statfs(parent.c_str(), &fs) != 0 || fs.f_type != kBpfFsMagic) {
    *reason = parent + " is not a BPF file system (mount -t bpf bpf " + parent + ")";
    return false;
  }
  if (!ActiveModulesHaveBpf(reason)) return false;
  if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    *reason = "the kernel describes no types (/sys/kernel/btf/vmlinux: " +
              std::string(strerror(errno)) + ")";
    return false;
  }
  std::set<uint32_t> devices;
  for (const std::string& folder : folders) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
      *reason = "cannot examine " + folder + ": " + strerror(errno);
      return false;
    }
    devices.insert(KernelDevice(st.st_dev));
  }

  libbpf_set_print(&CaptureLibbpf);
  {
    std::lock_guard<std::mutex> lock(g_libbpfMutex);
    g_libbpfFirst.clear();
  }
  auto state = std::make_unique<State>();
  state->skel = guard_bpf::open();
  if (state->skel == nullptr) {
    *reason = "cannot open the programs: " + LibbpfSaid(errno);
    return false;
  }
  // The tables an earlier brixd pinned, so that its programs and the new
  // ones judge alike while both are attached.
  bpf_map* maps[kMaps] = {state->skel->maps.watched, state->skel->maps.allowed,
                          state->skel->maps.shared_writable};
  bool reused[kMaps] = {false, false, false};
  for (int i = 0; i < kMaps; ++i) {
    const int fd = bpf_obj_get((pinFolder + "/" + kMapNames[i]).c_str());
    if (fd < 0) continue;
    // A table of another layout (another version of brixd) is replaced.
    struct bpf_map_info info {};
    uint32_t length = sizeof(info);
    if (bpf_obj_get_info_by_fd(fd, &info, &length) == 0 &&
        info.type == static_cast<uint32_t>(bpf_map__type(maps[i])) &&
        info.key_size == bpf_map__key_size(maps[i]) &&
        info.value_size == bpf_map__value_size(maps[i]) &&
        info.max_entries == bpf_map__max_entries(maps[i]))
      reused[i] = bpf_map__reuse_fd(maps[i], fd) == 0;
    close(fd);
  }
  int error = guard_bpf::load(state->skel);
  if (error != 0) {
    *reason = "cannot load the programs: " + LibbpfSaid(error);
    return false;
  }
  bpf_program* programs[] = {state->skel->progs.brixd_mmap_file,
                             state->skel->progs.brixd_file_mprotect,
                             state->skel->progs.brixd_bprm_check,
                             state->skel->progs.brixd_file_release};
  bpf_link** links[] = {&state->skel->links.brixd_mmap_file,
                        &state->skel->links.brixd_file_mprotect,
                        &state->skel->links.brixd_bprm_check,
                        &state->skel->links.brixd_file_release};

  // The watched file systems before anything is attached: exactly these,
  // whatever an earlier brixd watched.
  const int watchedFd = bpf_map__fd(state->skel->maps.watched);
  const uint8_t one = 1;
  for (uint32_t device : devices) {
    if (bpf_map_update_elem(watchedFd, &device, &one, BPF_ANY) != 0) {
      *reason = std::string("cannot fill the table of watched file systems: ") + strerror(errno);
      return false;
    }
  }
  std::vector<uint32_t> stale;
  uint32_t device = 0;
  for (uint32_t* at = nullptr; bpf_map_get_next_key(watchedFd, at, &device) == 0; at = &device)
    if (devices.count(device) == 0) stale.push_back(device);
  for (uint32_t gone : stale) bpf_map_delete_elem(watchedFd, &gone);
  state->allowedFd = bpf_map__fd(state->skel->maps.allowed);

  for (int i = 0; i < 4; ++i) {
    *links[i] = bpf_program__attach_lsm(programs[i]);
    if (*links[i] == nullptr) {
      *reason = std::string("cannot attach ") + kLinkNames[i] + ": " + LibbpfSaid(errno);
      return false;  // destroying the skeleton detaches what was attached
    }
  }
  if (mkdir(pinFolder.c_str(), 0700) != 0 && errno != EEXIST) {
    *reason = "cannot create " + pinFolder + ": " + strerror(errno);
    return false;
  }
  state_ = std::move(state);
  ForgetAllowed();

  // Pinned last, each over its predecessor: an earlier brixd's programs
  // are dropped only once these are attached.
  for (int i = 0; i < kMaps; ++i) {
    if (reused[i]) continue;
    if (!PinOver(bpf_map__fd(maps[i]), pinFolder + "/" + kMapNames[i], reason)) {
      state_.reset();
      return false;
    }
  }
  for (int i = 0; i < 4; ++i) {
    if (!PinOver(bpf_link__fd(*links[i]), pinFolder + "/" + kLinkNames[i], reason)) {
      state_.reset();
      return false;
    }
  }
  return true;
}

bool KernelGuard::Allow(const struct stat& st) {
  if (!state_) return true;
  VersionKey key{};
  key.ino = static_cast<uint64_t>(st.st_ino);
  key.dev = KernelDevice(st.st_dev);
  key.ctimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
  key.ctimeNsec = static_cast<uint32_t>(st.st_ctim.tv_nsec);
  const uint8_t one = 1;
  return bpf_map_update_elem(state_->allowedFd, &key, &one, BPF_ANY) == 0;
}

void KernelGuard::ForgetAllowed() {
  if (!state_) return;
  // Keys first, then deletes: deleting while walking restarts the walk.
  std::vector<VersionKey> keys;
  VersionKey key{};
  for (VersionKey* at = nullptr; bpf_map_get_next_key(state_->allowedFd, at, &key) == 0;
       at = &keys.back())
    keys.push_back(key);
  for (const VersionKey& gone : keys) bpf_map_delete_elem(state_->allowedFd, &gone);
}

#else  // !BRIXD_HAVE_BPF

struct KernelGuard::State {};

bool KernelGuard::Load(const std::string&, const std::vector<std::string>&,
                       std::string* reason) {
  *reason = "brixd was built without it (clang, bpftool or libbpf-dev were missing)";
  return false;
}

bool KernelGuard::Allow(const struct stat&) { return true; }

void KernelGuard::ForgetAllowed() {}

#endif  // BRIXD_HAVE_BPF

KernelGuard::KernelGuard() = default;
KernelGuard::~KernelGuard() = default;

bool KernelGuard::Release(const std::string& pinFolder, std::string* report) {
  struct stat st {};
  if (lstat(pinFolder.c_str(), &st) != 0) {
    *report = "nothing pinned at " + pinFolder;
    return true;
  }
  int removed = 0;
  std::string failed;
  auto remove = [&](const std::string& name) {
    const std::string path = pinFolder + "/" + name;
    if (unlink(path.c_str()) == 0)
      ++removed;
    else if (errno != ENOENT)
      failed += (failed.empty() ? "" : "; ") + path + ": " + strerror(errno);
  };
  // Programs first: once they are gone nothing is refused, whatever the
  // tables hold.
  for (const char* name : kLinkNames) {
    remove(name);
    remove(std::string(name) + "_new");
  }
  for (const char* name : kMapNames) {
    remove(name);
    remove(std::string(name) + "_new");
  }
  if (rmdir(pinFolder.c_str()) != 0 && errno != ENOENT)
    failed += (failed.empty() ? "" : "; ") + pinFolder + ": " + strerror(errno);
  if (!failed.empty()) {
    *report = "cannot release " + failed;
    return false;
  }
  *report = "released " + std::to_string(removed) + " pins at " + pinFolder;
  return true;
}

}  // namespace brixd
