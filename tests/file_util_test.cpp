// Tests of the file status conversion, StatItem, the clock helper and the
// ac_file_s handle functions, including their failure paths.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "BRIXQuery.h"
#include "FileUtil.h"
#include "test_util.h"

namespace {

struct statx RawStatx(const std::string& path) {
  struct statx stx {};
  EXPECT_EQ(statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_ALL, &stx), 0)
      << path;
  return stx;
}

TEST(StatxToStat, EveryMemberFromItsSource) {
  struct statx in {};
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
  EXPECT_EQ(static_cast<uint64_t>(out.st_dev),
            (uint64_t{0x345} << 8) | (uint64_t{0x12} << 44) | uint64_t{0x9a} |
                (uint64_t{0x678} << 20));
  EXPECT_EQ(out.st_ino, 0x1122334455667788ULL);
  EXPECT_EQ(out.st_nlink, 3u);
  EXPECT_EQ(out.st_mode, static_cast<mode_t>(S_IFREG | 0640));
  EXPECT_EQ(out.st_uid, 1001u);
  EXPECT_EQ(out.st_gid, 1002u);
  EXPECT_EQ(out.st_rdev, makedev(8, 17));
  EXPECT_EQ(out.st_size, 5000000000LL);
  EXPECT_EQ(out.st_blksize, 4096);
  EXPECT_EQ(out.st_blocks, 9765632);
  EXPECT_EQ(out.st_atim.tv_sec * 1000 + out.st_atim.tv_nsec, 1600000001101);
  EXPECT_EQ(out.st_mtim.tv_sec * 1000 + out.st_mtim.tv_nsec, 1600000002202);
  // The birth time, not the status change time.
  EXPECT_EQ(out.st_ctim.tv_sec * 1000 + out.st_ctim.tv_nsec, 1600000004404);
}

// --- StatItem ----------------------------------------------------------------------

class StatItemTest : public TempDirTest {
 protected:
  BRIXQuery query;
};

TEST_F(StatItemTest, BirthTimeSurvivesLaterChanges) {
  struct stat st;
  EXPECT_FALSE(query.StatItem(nullptr, st));
  const std::string path = PathIn("file.bin");
  WriteFileAt(path, "12345");
  const struct statx before = RawStatx(path);
  if (!(before.stx_mask & STATX_BTIME))
    GTEST_SKIP() << "file system records no birth time";
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);  // moves the change time only
  struct timespec times[2] = {{1, 0}, {2, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(query.StatItem(path.c_str(), st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(st.st_ino, before.stx_ino);
  EXPECT_EQ(st.st_ctim.tv_sec, before.stx_btime.tv_sec);
  EXPECT_EQ(st.st_ctim.tv_nsec, static_cast<long>(before.stx_btime.tv_nsec));
  EXPECT_EQ(st.st_mtim.tv_sec, 2);
  EXPECT_EQ(st.st_atim.tv_sec, 1);
}

TEST(Clock, MillisDropSubMillisecondParts) {
  const struct {
    time_t sec;
    suseconds_t usec;
    uint64_t millis;
  } kCases[] = {
      {0, 0, 0},       {0, 999, 0},
      {0, 1000, 1},    {1, 999999, 1999},
      {4102444800, 123456, 4102444800123ULL},
  };
  for (const auto& c : kCases) {
    struct timeval tv = {c.sec, c.usec};
    EXPECT_EQ(TimevalToMillis(tv), c.millis) << c.sec << "." << c.usec;
  }
}

// --- File handles -----------------------------------------------------------------

class FileHandleTest : public TempDirTest {};

TEST_F(FileHandleTest, OpenFailuresRecordErrno) {
  ASSERT_EQ(mkdir(PathIn("dir").c_str(), 0755), 0);
  WriteFileAt(PathIn("plain"), "x");
  ASSERT_EQ(symlink("plain", PathIn("link").c_str()), 0);
  const struct {
    bool write;
    std::string path;
    int error;
  } kCases[] = {
      {false, PathIn("missing/below"), ENOENT},
      {false, PathIn("link"), ELOOP},  // a final link is never followed
      {true, PathIn("link"), ELOOP},
      {true, PathIn("dir"), EISDIR},
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

TEST_F(FileHandleTest, WriteCreatesTruncatesAndHonoursUmask) {
  const mode_t old = umask(022);
  const std::string path = PathIn("out");
  for (const std::string text : {"abcdef", "xy"}) {
    ac_file_s file;
    fileopen_write(path, file);
    ASSERT_TRUE(fileok(file));
    EXPECT_EQ(filewrite(&file, text.data(), text.size()), text.size());
    fileclose(&file);
    EXPECT_TRUE(fileend(file));
    EXPECT_TRUE(fileok(file));
    EXPECT_EQ(ReadFile(path), text);
  }
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0644));
  umask(old);

  // A zero-length write closes the handle; nothing more goes through it.
  ac_file_s file;
  fileopen_write(path, file);
  EXPECT_EQ(filewrite(&file, "ignored", 0), 0u);
  EXPECT_TRUE(fileend(file));
  EXPECT_TRUE(fileok(file));
  EXPECT_EQ(filewrite(&file, "x", 1), 0u);
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(FileHandleTest, ReadToTheEndClosesAndCloseIsIdempotent) {
  WriteFileAt(PathIn("f"), "hello");
  ac_file_s file;
  fileopen_read(PathIn("f"), file);
  char buffer[8];
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 5u);
  EXPECT_FALSE(fileend(file));
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);  // a clean end
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

// A hard error closes the handle and records errno; a transient one
// (EAGAIN, EFAULT) leaves it open for the next call.
TEST_F(FileHandleTest, ErrorsCloseTheHandleUnlessTheyAreTransient) {
  ASSERT_EQ(mkdir(PathIn("dir").c_str(), 0755), 0);
  WriteFileAt(PathIn("f"), "abc");
  char buffer[8];
  const struct {
    const char* what;
    std::function<unsigned long(ac_file_s&)> fail;
    int error;
    bool staysOpen;
  } kCases[] = {
      {"directory",
       [&](ac_file_s& f) {
         fileopen_read(PathIn("dir"), f);  // opening a directory is allowed
         return fileread(&f, buffer, 4);
       },
       EISDIR, false},
      {"full device",
       [](ac_file_s& f) {
         fileopen_write("/dev/full", f);
         return filewrite(&f, "x", 1);
       },
       ENOSPC, false},
      {"descriptor closed behind the handle",
       [&](ac_file_s& f) {
         fileopen_read(PathIn("f"), f);
         close(f.fd);
         return fileread(&f, buffer, 4);
       },
       EBADF, false},
      {"bad buffer",
       [&](ac_file_s& f) {
         fileopen_read(PathIn("f"), f);
         return fileread(&f, reinterpret_cast<void*>(uintptr_t{1}), 3);
       },
       EFAULT, true},
  };
  for (const auto& c : kCases) {
    ac_file_s file;
    EXPECT_EQ(c.fail(file), 0u) << c.what;
    EXPECT_EQ(fileerror(file), c.error) << c.what;
    EXPECT_EQ(fileend(file), !c.staysOpen) << c.what;
    if (c.staysOpen) {
      EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 3u) << c.what;
      fileclose(&file);
    }
  }
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
  close(writer);
  EXPECT_EQ(fileread(&file, buffer, sizeof(buffer)), 0u);  // writer gone
  EXPECT_TRUE(fileend(file));
  EXPECT_EQ(fileerror(file), EAGAIN);
}

TEST_F(FileHandleTest, FileOfAnotherOwnerOpensWithoutNoAtime) {
  // A file of ours (root's) opened by a child that drops to nobody.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
  const std::string path = PathIn("owned");
  WriteFileAt(path, "owned by root");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        // The first attempt must really be refused, or the retry is untested.
        const int direct = open(path.c_str(), O_RDONLY | O_NOATIME);
        say("refused", std::to_string(direct < 0 && errno == EPERM));
        ac_file_s file;
        fileopen_read(path, file);
        char buffer[64];
        const unsigned long n = fileread(&file, buffer, sizeof(buffer));
        say("read", std::string(buffer, n));
        fileclose(&file);
        // The write open takes the same way round.
        fileopen_write(path, file);
        say("written", std::to_string(filewrite(&file, "x", 1)));
        fileclose(&file);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  ASSERT_EQ(child.Value("refused"), "1") << "O_NOATIME was not refused";
  EXPECT_EQ(child.Value("read"), "owned by root");
  EXPECT_EQ(child.Value("written"), "1");
  EXPECT_EQ(ReadFile(path), "x");
}

}  // namespace
