// Tests of the file status conversion, StatItem, the clock helper and the
// ac_file_s handle functions, including their failure paths.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "FileUtil.h"
#include "test_util.h"

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

struct statx RawStatx(const std::string& path) {
  struct statx stx;
  std::memset(&stx, 0, sizeof(stx));
  EXPECT_EQ(statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_ALL, &stx),
            0)
      << path;
  return stx;
}

// --- StatxToStat ---------------------------------------------------------------

TEST(StatxToStat, EveryMemberFromItsSource) {
  struct statx in;
  std::memset(&in, 0, sizeof(in));
  in.stx_dev_major = 0x12345;
  in.stx_dev_minor = 0x6789a;
  in.stx_ino = 0x1122334455667788ULL;
  in.stx_nlink = 3;
  in.stx_mode = S_IFREG | 0640;
  in.stx_uid = 1001;
  in.stx_gid = 1002;
  in.stx_rdev_major = 8;
  in.stx_rdev_minor = 17;
  in.stx_size = 5000000000ULL;
  in.stx_blksize = 4096;
  in.stx_blocks = 9765632;
  in.stx_atime = {1600000001, 101, 0};
  in.stx_mtime = {1600000002, 202, 0};
  in.stx_ctime = {1600000003, 303, 0};  // must not reach st_ctim
  in.stx_btime = {1600000004, 404, 0};

  struct stat out;
  std::memset(&out, 0xff, sizeof(out));
  StatxToStat(in, out);

  // The device encoding written out, independently of makedev: major bits
  // 0-11 at 8, the rest at 44; minor bits 0-7 at 0, the rest at 20.
  const uint64_t dev = (uint64_t{0x345} << 8) | (uint64_t{0x12} << 44) |
                       uint64_t{0x9a} | (uint64_t{0x678} << 20);
  EXPECT_EQ(static_cast<uint64_t>(out.st_dev), dev);
  EXPECT_EQ(major(out.st_dev), 0x12345u);
  EXPECT_EQ(minor(out.st_dev), 0x6789au);
  EXPECT_EQ(out.st_ino, 0x1122334455667788ULL);
  EXPECT_EQ(out.st_nlink, 3u);
  EXPECT_EQ(out.st_mode, static_cast<mode_t>(S_IFREG | 0640));
  EXPECT_EQ(out.st_uid, 1001u);
  EXPECT_EQ(out.st_gid, 1002u);
  EXPECT_EQ(major(out.st_rdev), 8u);
  EXPECT_EQ(minor(out.st_rdev), 17u);
  EXPECT_EQ(out.st_size, 5000000000LL);
  EXPECT_EQ(out.st_blksize, 4096);
  EXPECT_EQ(out.st_blocks, 9765632);
  EXPECT_EQ(out.st_atim.tv_sec, 1600000001);
  EXPECT_EQ(out.st_atim.tv_nsec, 101);
  EXPECT_EQ(out.st_mtim.tv_sec, 1600000002);
  EXPECT_EQ(out.st_mtim.tv_nsec, 202);
  // The birth time, not the status change time.
  EXPECT_EQ(out.st_ctim.tv_sec, 1600000004);
  EXPECT_EQ(out.st_ctim.tv_nsec, 404);
}

// --- StatItem ----------------------------------------------------------------------

class StatItemTest : public TempDirTest {
 protected:
  BRIXQuery query;
};

TEST_F(StatItemTest, RegularFileWithBirthTime) {
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  LogCapture::Clear();
  const std::string path = PathIn("file.bin");
  WriteFile(path, "12345");
  const struct statx raw = RawStatx(path);

  struct stat st;
  ASSERT_TRUE(query.StatItem(path.c_str(), st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(st.st_ino, raw.stx_ino);
  EXPECT_EQ(st.st_mtim.tv_sec, raw.stx_mtime.tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, static_cast<long>(raw.stx_mtime.tv_nsec));
  EXPECT_EQ(st.st_ctim.tv_sec, raw.stx_btime.tv_sec);
  EXPECT_EQ(st.st_ctim.tv_nsec, static_cast<long>(raw.stx_btime.tv_nsec));

  const auto lines = LogCapture::Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].function, "StatItem");
  EXPECT_EQ(lines[0].file, "BRIX/BRIXQuery");
  EXPECT_EQ(lines[0].level, unsigned{BRIX_TRACE});
  EXPECT_EQ(lines[0].message, "STATX timestamp being used for file " + path);
}

TEST_F(StatItemTest, BirthTimeSurvivesLaterChanges) {
  const std::string path = PathIn("file.bin");
  WriteFile(path, "1");
  const struct statx before = RawStatx(path);
  if (!(before.stx_mask & STATX_BTIME))
    GTEST_SKIP() << "file system records no birth time";
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);  // moves the change time only
  struct timespec times[2] = {{1, 0}, {2, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat st;
  ASSERT_TRUE(query.StatItem(path.c_str(), st));
  EXPECT_EQ(st.st_ctim.tv_sec, before.stx_btime.tv_sec);
  EXPECT_EQ(st.st_ctim.tv_nsec, static_cast<long>(before.stx_btime.tv_nsec));
  EXPECT_EQ(st.st_mtim.tv_sec, 2);
  EXPECT_EQ(st.st_atim.tv_sec, 1);
}

TEST_F(StatItemTest, NoBirthTimeReadsAsZero) {
  const std::string path = "/proc/self/status";
  const struct statx raw = RawStatx(path);
  if (raw.stx_mask & STATX_BTIME) GTEST_SKIP() << "procfs records birth time";
  struct stat st;
  ASSERT_TRUE(query.StatItem(path.c_str(), st));
  EXPECT_EQ(st.st_ctim.tv_sec, 0);
  EXPECT_EQ(st.st_ctim.tv_nsec, 0);
}

TEST_F(StatItemTest, SymbolicLinkIsNotFollowed) {
  WriteFile(PathIn("target"), std::string(64, 'x'));
  const std::string link = PathIn("link");
  ASSERT_EQ(symlink("target", link.c_str()), 0);
  struct stat st;
  ASSERT_TRUE(query.StatItem(link.c_str(), st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(st.st_size, 6);  // the length of "target"
}

TEST_F(StatItemTest, FailuresLeaveTheRecordAlone) {
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  LogCapture::Clear();
  struct stat st;
  std::memset(&st, 0, sizeof(st));
  st.st_size = 4242;
  for (const std::string& path :
       {PathIn("missing"), PathIn("missing/below"), std::string(""),
        std::string(5000, 'a')}) {
    EXPECT_FALSE(query.StatItem(path.c_str(), st)) << path.size();
    EXPECT_EQ(st.st_size, 4242);
  }
  EXPECT_FALSE(query.StatItem(nullptr, st));
  EXPECT_EQ(st.st_size, 4242);
  EXPECT_TRUE(LogCapture::Lines().empty());
}

TEST_F(StatItemTest, RelativePathIsTakenFromTheCurrentDirectory) {
  WriteFile(PathIn("here.txt"), "abc");  // the fixture works in dir()
  struct stat st;
  ASSERT_TRUE(query.StatItem("here.txt", st));
  EXPECT_EQ(st.st_size, 3);
}

// --- Clock and fixed answers ----------------------------------------------------

TEST(Clock, MillisDropSubMillisecondParts) {
  const struct {
    time_t sec;
    suseconds_t usec;
    uint64_t millis;
  } kCases[] = {
      {0, 0, 0},
      {0, 999, 0},
      {0, 1000, 1},
      {1, 999999, 1999},
      {1700000000, 500, 1700000000000ULL},
      {4102444800, 123456, 4102444800123ULL},
  };
  for (const auto& c : kCases) {
    struct timeval tv = {c.sec, c.usec};
    EXPECT_EQ(TimevalToMillis(tv), c.millis) << c.sec << "." << c.usec;
  }
}

TEST(Clock, FollowsTheWallClock) {
  const uint64_t before = GetCurrentTimeInMillisForTest();
  const uint64_t now = GetCurrentTimeInMillis();
  const uint64_t after = GetCurrentTimeInMillisForTest();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

// --- File handles -----------------------------------------------------------------

class FileHandleTest : public TempDirTest {};

TEST_F(FileHandleTest, FreshHandleIsClosedAndHealthy) {
  ac_file_s file;
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
  EXPECT_EQ(fileerror(file), 0);
}

TEST_F(FileHandleTest, OpenFailuresRecordErrno) {
  ASSERT_EQ(mkdir(PathIn("dir").c_str(), 0755), 0);
  WriteFile(PathIn("plain"), "x");
  ASSERT_EQ(symlink("plain", PathIn("link").c_str()), 0);
  const struct {
    bool write;
    std::string path;
    int error;
  } kCases[] = {
      {false, PathIn("missing"), ENOENT},
      {false, PathIn("missing/below"), ENOENT},
      {false, PathIn("plain/below"), ENOTDIR},
      {false, PathIn("link"), ELOOP},  // a final link is never followed
      {true, PathIn("link"), ELOOP},
      {true, PathIn("dir"), EISDIR},
      {true, PathIn("missing/new"), ENOENT},
      {false, "", ENOENT},
  };
  for (const auto& c : kCases) {
    ac_file_s file;
    if (c.write)
      fileopen_write(c.path, file);
    else
      fileopen_read(c.path, file);
    EXPECT_LT(file.fd, 0) << c.path;
    EXPECT_EQ(fileerror(file), c.error) << c.path;
    EXPECT_FALSE(fileok(file)) << c.path;
    EXPECT_TRUE(fileend(file)) << c.path;
  }
  // The link's target was not truncated through the link.
  EXPECT_EQ(ReadFile(PathIn("plain")), "x");
}

TEST_F(FileHandleTest, ShortReadsThenCleanEnd) {
  WriteFile(PathIn("five"), "hello");
  ac_file_s file;
  fileopen_read(PathIn("five"), file);
  ASSERT_TRUE(fileok(file));
  ASSERT_FALSE(fileend(file));
  char buffer[2];
  std::string got;
  const unsigned long kExpected[] = {2, 2, 1, 0};
  for (unsigned long want : kExpected) {
    const unsigned long n = fileread(&file, buffer, sizeof(buffer));
    EXPECT_EQ(n, want);
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "hello");
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
}

TEST_F(FileHandleTest, EmptyFileEndsAtOnce) {
  WriteFile(PathIn("empty"), "");
  ac_file_s file;
  fileopen_read(PathIn("empty"), file);
  char buffer[8];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
}

TEST_F(FileHandleTest, WriteCreatesTruncatesAndHonoursUmask) {
  const mode_t old = umask(022);
  const std::string path = PathIn("out");
  ac_file_s file;
  fileopen_write(path, file);
  ASSERT_TRUE(fileok(file));
  EXPECT_EQ(filewrite(&file, "abcdef", 6), 6u);
  fileclose(&file);
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
  EXPECT_EQ(ReadFile(path), "abcdef");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  fileopen_write(path, file);
  ASSERT_TRUE(fileok(file));
  EXPECT_EQ(filewrite(&file, "xy", 2), 2u);
  fileclose(&file);
  EXPECT_EQ(ReadFile(path), "xy");
  umask(old);
}

TEST_F(FileHandleTest, ZeroLengthWriteClosesTheHandle) {
  const std::string path = PathIn("out");
  WriteFile(path, "old content");
  ac_file_s file;
  fileopen_write(path, file);
  ASSERT_FALSE(fileend(file));
  EXPECT_EQ(filewrite(&file, "ignored", 0), 0u);
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
  EXPECT_EQ(ReadFile(path), "");  // truncated at open
  // Nothing more goes through the closed handle.
  EXPECT_EQ(filewrite(&file, "x", 1), 0u);
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(FileHandleTest, CloseIsIdempotent) {
  WriteFile(PathIn("f"), "x");
  ac_file_s file;
  fileopen_read(PathIn("f"), file);
  fileclose(&file);
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
  // A closed handle, even one carrying an error, is left as it is.
  file.error = EIO;
  fileclose(&file);
  EXPECT_EQ(file.fd, -1);
  EXPECT_EQ(fileerror(file), EIO);
  fileclose(nullptr);
  EXPECT_EQ(fileread(nullptr, nullptr, 1), 0u);
  EXPECT_EQ(filewrite(nullptr, "x", 1), 0u);
}

TEST_F(FileHandleTest, ReadingADirectoryFailsAndCloses) {
  ASSERT_EQ(mkdir(PathIn("dir").c_str(), 0755), 0);
  ac_file_s file;
  fileopen_read(PathIn("dir"), file);  // opening a directory is allowed
  ASSERT_TRUE(fileok(file));
  char buffer[4];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(fileerror(file), EISDIR);
  EXPECT_TRUE(fileend(file));
}

TEST_F(FileHandleTest, FullDeviceFailsTheWriteAndCloses) {
  ac_file_s file;
  fileopen_write("/dev/full", file);
  if (!fileok(file)) GTEST_SKIP() << "no /dev/full: " << fileerror(file);
  EXPECT_EQ(filewrite(&file, "x", 1), 0u);
  EXPECT_EQ(fileerror(file), ENOSPC);
  EXPECT_TRUE(fileend(file));
}

TEST_F(FileHandleTest, DescriptorClosedBehindTheHandleIsForgotten) {
  WriteFile(PathIn("f"), "abc");
  ac_file_s file;
  fileopen_read(PathIn("f"), file);
  ASSERT_EQ(close(file.fd), 0);
  char buffer[4];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(fileerror(file), EBADF);
  EXPECT_TRUE(fileend(file));
}

TEST_F(FileHandleTest, WouldBlockLeavesTheHandleOpen) {
  const std::string path = PathIn("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  ac_file_s file;
  fileopen_read(path, file);  // non-blocking: no writer needed
  ASSERT_TRUE(fileok(file));
  const int writer = open(path.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);

  char buffer[8];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(fileerror(file), EAGAIN);
  EXPECT_FALSE(fileend(file));

  // The same handle reads once data arrives; the old error stays recorded.
  ASSERT_EQ(write(writer, "abc", 3), 3);
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  close(writer);
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);  // writer gone
  EXPECT_TRUE(fileend(file));
  EXPECT_EQ(fileerror(file), EAGAIN);
}

TEST_F(FileHandleTest, BadBufferLeavesTheHandleOpen) {
  WriteFile(PathIn("f"), "abc");
  ac_file_s file;
  fileopen_read(PathIn("f"), file);
  // An address the kernel refuses to write to.
  void* bad = reinterpret_cast<void*>(uintptr_t{1});
  EXPECT_EQ(fileread(&file, bad, 3), 0u);
  EXPECT_EQ(fileerror(file), EFAULT);
  EXPECT_FALSE(fileend(file));
  char buffer[4];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 3u);
  fileclose(&file);
}

// Runs `body` in a child process under an unprivileged user id and returns
// its exit code (0 success), or -1 when it could not run.
int RunAsOtherUser(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
      _exit(100);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(FileHandleTest, FileOfAnotherOwnerOpensWithoutNoAtime) {
  // A file this test does not own: as root, one of ours opened by a child
  // that drops to nobody; otherwise a system file owned by root.
  std::string path;
  std::string content;
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    path = PathIn("owned");
    content = "owned by root";
    WriteFile(path, content);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  } else {
    path = "/etc/passwd";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_uid == geteuid())
      GTEST_SKIP() << "no file owned by another user";
  }
  const int rc = RunAsOtherUser([&]() -> int {
    // The first attempt must really be refused, or the retry is untested.
    const int direct = open(path.c_str(), O_RDONLY | O_NOATIME);
    if (direct >= 0 || errno != EPERM) return 10;
    ac_file_s file;
    fileopen_read(path, file);
    if (!fileok(file) || fileend(file)) return 11;
    char buffer[64];
    const unsigned long n = fileread(&file, buffer, sizeof(buffer));
    if (n == 0) return 12;
    if (!content.empty() && std::string(buffer, n) != content) return 13;
    fileclose(&file);
    if (!content.empty()) {
      // The write open takes the same way round.
      fileopen_write(path, file);
      if (!fileok(file)) return 14;
      if (filewrite(&file, "x", 1) != 1) return 15;
      fileclose(&file);
    }
    return 0;
  });
  ASSERT_NE(rc, 100) << "could not drop privileges";
  ASSERT_NE(rc, 10) << "O_NOATIME was not refused; nothing to retry";
  EXPECT_EQ(rc, 0);
  if (!content.empty()) {
    EXPECT_EQ(ReadFile(path), "x");
  }
}

}  // namespace
