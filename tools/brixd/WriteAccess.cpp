#include "WriteAccess.h"

#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

namespace brixd {

namespace {

// File systems whose content may change without a write through this
// kernel: a user's FUSE daemon, or another machine.
const char* RemoteWriters(long type) {
  switch (static_cast<unsigned long>(type)) {
    case 0x65735546: return "fuse";
    case 0x6969: return "nfs";
    case 0xff534d42: return "cifs";
    case 0xfe534d42: return "smb2";
    case 0x01021997: return "9p";
    case 0x00c36400: return "ceph";
    case 0x5346414f: return "afs";
    case 0x6b414653: return "afs";
    case 0x47504653: return "gpfs";
    case 0x0bd00bd0: return "lustre";
    case 0x013111a8: return "ibrix";
    case 0x19830326: return "fhgfs";
    case 0x786f4256: return "vboxsf";
    default: return nullptr;
  }
}

}  // namespace

std::string WhoCanWrite(int fd, const struct stat& st) {
  if (st.st_uid != 0) return "owned by uid " + std::to_string(st.st_uid);
  if (st.st_mode & S_IWOTH) return "writable by everyone";
  if (st.st_mode & S_IWGRP) return "writable by its group (gid " + std::to_string(st.st_gid) + ")";
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return "on a file system that cannot be told";
  if (const char* name = RemoteWriters(fs.f_type))
    return std::string("on a ") + name + " file system";
  return std::string();
}

bool OnlyRootCanWrite(int fd, const struct stat& st) {
  // The cheap part first: most files users write are their own.
  if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  return WhoCanWrite(fd, st).empty();
}

std::string ForeignFile(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return "owned by uid " + std::to_string(st.st_uid) + ", not by brixd";
  if (st.st_mode & S_IWOTH) return "writable by everyone";
  if (st.st_mode & S_IWGRP) return "writable by its group";
  return std::string();
}

}  // namespace brixd
