// WriteAccess.h: whether anyone but root can change a file's content.
//
// brixd remembers what it decided by file identity (device, inode, size,
// modification and change time): the digest cache, the kinds of files,
// the verdicts of the reader, and the kernel's ignore marks, which the
// kernel drops at the next write(2).  None of that holds for a file that
// an unprivileged user can write.  A write through a shared writable
// mapping (mmap with PROT_WRITE and MAP_SHARED) raises no fanotify event,
// so an ignore mark survives it; on tmpfs it leaves the modification time
// alone, and on other file systems only the first write after a writeback
// moves it, so the identity survives too.  And nothing keeps such a user
// from rewriting a file between brixd's answer and the read that loads
// or runs it.
//
// So identity stands for content only where the kernel lets nobody but
// root write: a file owned by root, with no write bit for group or
// others, on a file system whose every write goes through this kernel
// (not FUSE, whose daemon may be a user's, nor a network file system,
// whose server writes unseen).  Root can do anything anyway, so such a
// file changes only as the administrator changes it.
#ifndef BRIX_TOOLS_BRIXD_WRITEACCESS_H_
#define BRIX_TOOLS_BRIXD_WRITEACCESS_H_

#include <sys/stat.h>

#include <string>

namespace brixd {

// True when only root can change the content of the open file `fd`
// (status `st`): the rule above.  False too when the file system cannot be
// told.  The one rule for the kernel's ignore marks (MayCarryIgnoreMark)
// and for every cache keyed by file identity.
bool OnlyRootCanWrite(int fd, const struct stat& st);

// Which files may carry a kernel ignore mark: those only root can write.
// A mark on any other file would outlive a write through a mapping.
inline bool MayCarryIgnoreMark(int fd, const struct stat& st) { return OnlyRootCanWrite(fd, st); }

// Why a user can write the file, for logs and journals: "owned by uid
// 1000", "writable by its group", "on a fuse file system" ...; empty when
// only root can.
std::string WhoCanWrite(int fd, const struct stat& st);

// Why brixd must not append to the existing file with status `st` (its
// log, its journal): owned by someone other than root or brixd's own
// user, or writable by group or others.  Such a file may have been planted
// in a shared folder by a user who then reads what brixd writes, or forges
// lines among them.  Empty when brixd may use it.
std::string ForeignFile(const struct stat& st);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_WRITEACCESS_H_
