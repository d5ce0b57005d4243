// guard.bpf.c: the kernel's half of brixd's lockdown.  It decides what
// fanotify cannot see (a mapping with execute) and what must hold while
// brixd is not running (program starts), from a table of file versions
// that brixd allowed.
//
// Only files of the file systems in `watched` (filled by brixd from its
// --watch folders) are judged; every other file is allowed before
// anything else is looked at, so a brixd that watches one private
// file system can refuse nothing elsewhere.
//
// A version is the device, the inode and the inode's change time.  The
// change time, because the kernel sets it on every write, truncate and
// attribute change and no caller can set it (the modification time can be
// set back with utimensat, and i_version is raised only once someone has
// asked for it).  A write through a shared mapping moves the change time
// only at its first fault, so two more rules close that gap: a file that
// is open for writing (a shared writable mapping holds its file open) is
// not mapped as code at all, and once a file has been mapped shared and
// writable, the version it may have changed is forgotten when a writer
// of it is released.  Only then: a file opened for writing and closed
// unchanged keeps its version (brixd's ignore marks for it would
// otherwise hide the next open that could record it again).
#include <linux/bpf.h>
#include <linux/types.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

// Only the fields read here, relocated by name to the running kernel's
// layout when the programs are loaded (CO-RE): the object carries no
// other kernel type.
typedef struct {
  int counter;
} atomic_t;

struct super_block {
  __u32 s_dev;
} __attribute__((preserve_access_index));

struct inode {
  unsigned long i_ino;
  struct super_block *i_sb;
  __s64 i_ctime_sec;
  __u32 i_ctime_nsec;
  atomic_t i_writecount;
} __attribute__((preserve_access_index));

struct file {
  struct inode *f_inode;
  unsigned int f_mode;
} __attribute__((preserve_access_index));

struct vm_area_struct {
  unsigned long vm_flags;
  struct file *vm_file;
} __attribute__((preserve_access_index));

struct linux_binprm {
  struct file *file;
} __attribute__((preserve_access_index));

#define EPERM 1
#define PROT_EXEC 0x4
#define VM_EXEC 0x4
#define FMODE_WRITE 0x2
#define PROT_WRITE 0x2
#define MAP_SHARED 0x1
#define VM_SHARED 0x8
// The kernel keeps a flag in the top bit of the change time's nanoseconds
// (fine-grained time stamps): it is not part of the time.
#define CTIME_NSEC_MASK 0x7fffffffu

struct version_key {
  __u64 ino;
  __s64 ctime_sec;
  __u32 dev;
  __u32 ctime_nsec;
};

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 256);
  __type(key, __u32);  // the kernel's device number of a watched file system
  __type(value, __u8);
} watched SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 1 << 18);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, struct version_key);
  __type(value, __u8);
} allowed SEC(".maps");

struct inode_key {
  __u64 ino;
  __u32 dev;
  __u32 unused;
};

// Files of the watched file systems that were mapped shared and writable
// since their last writer was released.
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 1 << 16);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, struct inode_key);
  __type(value, __u8);
} shared_writable SEC(".maps");

// The inode's version when its file system is watched; 0 otherwise.
static __always_inline int watched_version(struct inode *inode, struct version_key *key) {
  if (!inode) return 0;
  __u32 dev = BPF_CORE_READ(inode, i_sb, s_dev);
  if (!bpf_map_lookup_elem(&watched, &dev)) return 0;
  key->ino = BPF_CORE_READ(inode, i_ino);
  key->dev = dev;
  key->ctime_sec = BPF_CORE_READ(inode, i_ctime_sec);
  key->ctime_nsec = BPF_CORE_READ(inode, i_ctime_nsec) & CTIME_NSEC_MASK;
  return 1;
}

static __always_inline int decide(struct file *file) {
  if (!file) return 0;  // anonymous memory is not a file's code
  struct inode *inode = BPF_CORE_READ(file, f_inode);
  struct version_key key = {};
  if (!watched_version(inode, &key)) return 0;
  // Being written: no version can be vouched for.
  if (BPF_CORE_READ(inode, i_writecount.counter) > 0) return -EPERM;
  return bpf_map_lookup_elem(&allowed, &key) ? 0 : -EPERM;
}

// A shared writable mapping of a watched file: what it writes after its
// first fault leaves the change time alone.
static __always_inline void note_shared_writer(struct file *file) {
  if (!file) return;
  struct version_key version = {};
  if (!watched_version(BPF_CORE_READ(file, f_inode), &version)) return;
  struct inode_key key = {.ino = version.ino, .dev = version.dev};
  __u8 one = 1;
  bpf_map_update_elem(&shared_writable, &key, &one, BPF_ANY);
  bpf_map_delete_elem(&allowed, &version);
}

SEC("lsm/mmap_file")
int BPF_PROG(brixd_mmap_file, struct file *file, unsigned long reqprot, unsigned long prot,
             unsigned long flags, int ret) {
  if (ret) return ret;
  if ((prot & PROT_WRITE) && (flags & MAP_SHARED)) note_shared_writer(file);
  // `prot`, not `reqprot`: what the mapping will really allow, whatever
  // the personality adds.
  if (!(prot & PROT_EXEC)) return 0;
  return decide(file);
}

SEC("lsm/file_mprotect")
int BPF_PROG(brixd_file_mprotect, struct vm_area_struct *vma, unsigned long reqprot,
             unsigned long prot, int ret) {
  if (ret) return ret;
  if ((prot & PROT_WRITE) && (BPF_CORE_READ(vma, vm_flags) & VM_SHARED))
    note_shared_writer(BPF_CORE_READ(vma, vm_file));
  if (!(prot & PROT_EXEC)) return 0;
  // Already code: judged when it became so.
  if (BPF_CORE_READ(vma, vm_flags) & VM_EXEC) return 0;
  return decide(BPF_CORE_READ(vma, vm_file));
}

SEC("lsm/bprm_check_security")
int BPF_PROG(brixd_bprm_check, struct linux_binprm *bprm, int ret) {
  if (ret) return ret;
  return decide(BPF_CORE_READ(bprm, file));
}

SEC("lsm/file_release")
int BPF_PROG(brixd_file_release, struct file *file) {
  if (!(BPF_CORE_READ(file, f_mode) & FMODE_WRITE)) return 0;
  struct inode *inode = BPF_CORE_READ(file, f_inode);
  struct version_key version = {};
  if (!watched_version(inode, &version)) return 0;
  struct inode_key key = {.ino = version.ino, .dev = version.dev};
  if (!bpf_map_lookup_elem(&shared_writable, &key)) return 0;
  bpf_map_delete_elem(&allowed, &version);
  // The last writer (this one is still counted): no mapping writes any more.
  if (BPF_CORE_READ(inode, i_writecount.counter) <= 1) bpf_map_delete_elem(&shared_writable, &key);
  return 0;
}

char LICENSE[] SEC("license") = "Dual BSD/GPL";
