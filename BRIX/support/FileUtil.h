// FileUtil.h: time, file status and file I/O helpers shared across the
// engine.
//
// The file helpers wrap one descriptor in an ac_file_s record and keep the
// last error in it instead of reporting it: a read or write that returns 0
// means "stop", and the caller then asks fileend (descriptor gone) and
// fileok (no error recorded) how it stopped.  The usual loop is
//
//   ac_file_s f;
//   fileopen_read(path, f);
//   while ((n = fileread(&f, buf, sizeof buf)) != 0) ...;
//   fileclose(&f);
//   if (!fileok(f)) ...failed...
//
// Threads: every function is reentrant; one ac_file_s belongs to one caller
// at a time.
#ifndef BRIX_FILEUTIL_H_
#define BRIX_FILEUTIL_H_

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <string>

struct ac_event;

// Milliseconds since the Unix epoch, from the wall clock.
uint64_t GetCurrentTimeInMillis();
// The same for a given clock reading: sub-millisecond parts are dropped.
uint64_t TimevalToMillis(const struct timeval& tv);

// A time in seconds, milliseconds or microseconds, told apart by its number
// of decimal digits (at most 10: seconds; 14 or more: microseconds), in
// milliseconds.
uint64_t convertTimeToMillis(uint64_t t);

// --- File status ------------------------------------------------------------

void StatxTimestampToTimespec(const struct statx_timestamp& in,
                              struct timespec& out);
// Fills every member of `out` from `in`.  st_ctim receives the birth time,
// not the status change time: the engine reads it as the file's creation
// time, and it is 0 where the file system records none.
void StatxToStat(const struct statx& in, struct stat& out);

// --- Fixed answers ----------------------------------------------------------

// Signatures are verified by the host before events reach the engine.
bool VerifyCert(std::string path);
// The host's executable flag on the event; the file is not examined.
bool IsFileExecutable(ac_event& event);
// Content scanning is the host's; every file passes here.
bool ScanFile(ac_event& event);

// --- File handles -----------------------------------------------------------

struct ac_file_s {
  int32_t fd = -1;    // negative when not open (closed, failed or ended)
  int32_t error = 0;  // last errno recorded on the handle; 0 when none
};

// Open without following a final symbolic link and, where the caller owns
// the file, without touching its access time.  The result is only in the
// record; an open handle in `file` is overwritten, not closed.
void fileopen_read(const std::string& path, ac_file_s& file);
// Creates (mode 0666 less the umask) or truncates.
void fileopen_write(const std::string& path, ac_file_s& file);

bool fileok(ac_file_s file);    // no error recorded
bool fileend(ac_file_s file);   // not open
int fileerror(ac_file_s file);  // the recorded errno
void fileclose(ac_file_s* file);

// One system call each; the count may be short.  0 on end of file, on a
// zero-length request (both close the handle) and on failure (error set;
// EINTR, EAGAIN and EFAULT leave the handle open for another try).
unsigned long fileread(ac_file_s* file, void* buffer, unsigned long length);
unsigned long filewrite(ac_file_s* file, const void* buffer,
                        unsigned long length);

#endif  // BRIX_FILEUTIL_H_
