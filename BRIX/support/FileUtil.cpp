#include "FileUtil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "Event.h"

uint64_t TimevalToMillis(const struct timeval& tv) {
  return static_cast<uint64_t>(tv.tv_sec) * 1000 +
         static_cast<uint64_t>(tv.tv_usec) / 1000;
}

uint64_t GetCurrentTimeInMillis() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return TimevalToMillis(tv);
}

uint64_t convertTimeToMillis(uint64_t t) {
  if (t > 9999999999999ULL) return t / 1000;  // microseconds
  if (t <= 9999999999ULL) return t * 1000;    // seconds
  return t;                                   // milliseconds
}

void StatxTimestampToTimespec(const struct statx_timestamp& in,
                              struct timespec& out) {
  out.tv_sec = in.tv_sec;
  out.tv_nsec = in.tv_nsec;
}

void StatxToStat(const struct statx& in, struct stat& out) {
  out.st_dev = makedev(in.stx_dev_major, in.stx_dev_minor);
  out.st_ino = in.stx_ino;
  out.st_nlink = in.stx_nlink;
  out.st_mode = in.stx_mode;
  out.st_uid = in.stx_uid;
  out.st_gid = in.stx_gid;
  out.st_rdev = makedev(in.stx_rdev_major, in.stx_rdev_minor);
  out.st_size = static_cast<off_t>(in.stx_size);
  out.st_blksize = static_cast<blksize_t>(in.stx_blksize);
  out.st_blocks = static_cast<blkcnt_t>(in.stx_blocks);
  StatxTimestampToTimespec(in.stx_atime, out.st_atim);
  StatxTimestampToTimespec(in.stx_mtime, out.st_mtim);
  StatxTimestampToTimespec(in.stx_btime, out.st_ctim);
}

bool VerifyCert(std::string /*path*/) { return true; }

bool IsFileExecutable(ac_event& event) { return event.isexec; }

bool ScanFile(ac_event& /*event*/) { return true; }

namespace {

// Shared by both opens.  O_NOATIME keeps our reads from looking like use of
// the file, but the kernel allows it only to the file's owner (or a
// privileged caller); anyone else gets EPERM and is let in without it.
void OpenHandle(const std::string& path, int flags, ac_file_s& file) {
  flags |= O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags | O_NOATIME, 0666);
  int error = fd < 0 ? errno : 0;
  if (fd < 0 && error == EPERM) {
    fd = open(path.c_str(), flags, 0666);
    error = fd < 0 ? errno : 0;
  }
  file.fd = fd;
  file.error = error;
}

// What a failed read or write leaves behind.  Transient failures keep the
// handle so the caller may try again; a descriptor the kernel does not know
// is forgotten without a close that could hit a reused number.
void HandleIOError(ac_file_s* file) {
  file->error = errno;
  switch (file->error) {
    case EBADF:
      file->fd = -1;
      break;
    case EINTR:
    case EAGAIN:
    case EFAULT:
      break;
    default:
      fileclose(file);
      break;
  }
}

}  // namespace

void fileopen_read(const std::string& path, ac_file_s& file) {
  OpenHandle(path, O_RDONLY, file);
}

void fileopen_write(const std::string& path, ac_file_s& file) {
  OpenHandle(path, O_WRONLY | O_CREAT | O_TRUNC, file);
}

bool fileok(ac_file_s file) { return file.error == 0; }

bool fileend(ac_file_s file) { return file.fd < 0; }

int fileerror(ac_file_s file) { return file.error; }

void fileclose(ac_file_s* file) {
  if (file == nullptr || file->fd < 0) return;
  if (close(file->fd) != 0) file->error = errno;
  // Even a failed close releases the descriptor on Linux; never retry it.
  file->fd = -1;
}

unsigned long fileread(ac_file_s* file, void* buffer, unsigned long length) {
  if (file == nullptr) return 0;
  const ssize_t n = read(file->fd, buffer, length);
  if (n > 0) return static_cast<unsigned long>(n);
  if (n == 0)
    fileclose(file);
  else
    HandleIOError(file);
  return 0;
}

unsigned long filewrite(ac_file_s* file, const void* buffer,
                        unsigned long length) {
  if (file == nullptr) return 0;
  const ssize_t n = write(file->fd, buffer, length);
  if (n > 0) return static_cast<unsigned long>(n);
  if (n == 0)
    fileclose(file);
  else
    HandleIOError(file);
  return 0;
}
