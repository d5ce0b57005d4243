// KernelGuard.h: brixd's programs in the kernel's BPF LSM.
//
// fanotify decides the first open of a file and a program start while
// brixd runs; it sees no mapping and nothing at all once brixd is gone.
// The guard adds three kernel checks on the watched file systems: a
// mapping with execute (mmap, mprotect) and a program start are allowed
// only for a file version brixd allowed, whether brixd still runs or not.
// brixd records each allowed version before it answers the open, so the
// mapping that follows finds it.
//
// The programs and their tables are pinned in a folder of a BPF file
// system, so that they outlive brixd: a brixd started again takes them
// over (new programs are attached before the old ones are dropped, so
// nothing is ever unguarded).  Release() removes the pins; the kernel
// unloads the programs once no process holds them.
//
// Without BPF support (built without it, the LSM not active, no BTF, no
// BPF file system), Load() says why and brixd enforces with fanotify
// alone.
#ifndef BRIX_TOOLS_BRIXD_BPF_KERNELGUARD_H_
#define BRIX_TOOLS_BRIXD_BPF_KERNELGUARD_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace brixd {

class KernelGuard {
 public:
  static constexpr const char* kDefaultPinFolder = "/sys/fs/bpf/brixd";

  KernelGuard();
  ~KernelGuard();  // the pins stay
  KernelGuard(const KernelGuard&) = delete;
  KernelGuard& operator=(const KernelGuard&) = delete;

  // Loads and attaches the programs, reusing the tables pinned in
  // `pinFolder` by an earlier brixd, judges exactly the file systems of
  // `folders`, and pins everything.  Every allowed version is forgotten
  // (the rules may have changed while no brixd ran).  False with `reason`
  // when BPF LSM cannot be used; nothing is changed then.
  bool Load(const std::string& pinFolder, const std::vector<std::string>& folders,
            std::string* reason);
  bool active() const { return state_ != nullptr; }

  // Records the file version of `st` as allowed to be mapped as code and
  // started.  Call before the open is answered.  False with errno when
  // the table refused it (E2BIG: full); the mapping is then refused too.
  bool Allow(const struct stat& st);
  // Forgets every allowed version: for a change of the rules.  Mappings
  // and starts of files not opened again through brixd are refused until
  // they are.
  void ForgetAllowed();

  // Removes what `pinFolder` holds.  `report` says what was removed;
  // false with it naming what could not be.
  static bool Release(const std::string& pinFolder, std::string* report);

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::atomic<bool> fullWarned_{false};
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_BPF_KERNELGUARD_H_
