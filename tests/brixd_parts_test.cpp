// Tests of the parts of brixd that decide without a kernel group: the
// table from the engine's answer to the kernel's, the recognition of code
// among opened files, the interpreter probe, the limits of hashing and
// the table of processes seen.  The engine runs in
// this process (one test per process, in a fresh folder).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "DecisionEvent.h"
#include "FileDigest.h"
#include "InterpreterCache.h"
#include "ObjectKind.h"
#include "ProcessTable.h"
#include "VerdictTable.h"
#include "brix.h"
#include "test_util.h"

namespace brixd {
namespace {

ac_wrapper_response_s Response(uint32_t action, uint32_t type, uint32_t decision) {
  ac_wrapper_response_s response{};
  response.action = action;
  response.type = type;
  response.decision = decision;
  return response;
}

TEST(VerdictTableTest, OnlyExplicitAllowsAndNonScriptsPassWithoutThePolicy) {
  const struct {
    EventKind kind;
    uint32_t status, action, type, decision;
    bool lockdown;
    Reason expected;
  } cases[] = {
      {EventKind::kProgramStart, BRIX_STATUS_BLOCK, 10, 1, 0, true, Reason::kEngineBlocked},
      {EventKind::kProgramStart, BRIX_STATUS_SUCCESS, 9, 1, 1, true, Reason::kEngineAllowed},
      {EventKind::kProgramStart, BRIX_STATUS_SUCCESS, 9, 1, 0, false, Reason::kEngineLogOnly},  // log-only
      {EventKind::kProgramStart, BRIX_STATUS_SUCCESS, 9, 1, 0, true, Reason::kEngineError},
      {EventKind::kProgramStart, BRIX_STATUS_SUCCESS, 10, 1, 0, true, Reason::kWaitingManifest},  // no manifest yet
      // The inventory lookup failed (a locked database): no verdict.
      {EventKind::kProgramStart, BRIX_STATUS_SUCCESS, 0, 1, 0, true, Reason::kEngineError},
      {EventKind::kProgramStart, BRIX_STATUS_FAILED, 8, 1, 0, false, Reason::kEngineError},
      {EventKind::kProgramStart, BRIX_STATUS_NOT_STARTED, 0, 0, 0, false, Reason::kEngineError},
      {EventKind::kLibrary, BRIX_STATUS_SUCCESS, 9, 9, 1, true, Reason::kEngineAllowed},
      {EventKind::kLibrary, BRIX_STATUS_SUCCESS, 7, 53, 0, false, Reason::kEngineError},
      // An interpreter's open of a file that is not a script for it.
      {EventKind::kScript, BRIX_STATUS_SUCCESS, 0, 15, 0, true, Reason::kNotScript},
      {EventKind::kScript, BRIX_STATUS_SUCCESS, 7, 15, 0, true, Reason::kNotScript},
      // A script start that ended without a verdict.
      {EventKind::kScript, BRIX_STATUS_SUCCESS, 0, 8, 0, true, Reason::kEngineError},
      {EventKind::kScript, BRIX_STATUS_FAILED, 8, 8, 0, false, Reason::kEngineError},
      {EventKind::kScript, BRIX_STATUS_BLOCK, 10, 8, 0, true, Reason::kEngineBlocked},
  };
  for (const auto& c : cases) {
    const Reason reason =
        AnswerFor(c.kind, c.status, Response(c.action, c.type, c.decision), c.lockdown);
    EXPECT_EQ(ReasonName(reason), std::string(ReasonName(c.expected)))
        << EventKindName(c.kind) << " status " << std::hex << c.status << std::dec
        << " action " << c.action << " type " << c.type << " decision " << c.decision
        << " lockdown " << c.lockdown;
  }
}

// An ELF header of `type`, optionally followed by a PT_INTERP segment.
std::vector<unsigned char> Elf64(uint16_t type, bool interp) {
  std::vector<unsigned char> data(64 + 56, 0);
  memcpy(data.data(), "\177ELF", 4);
  data[4] = 2;  // 64-bit
  data[5] = 1;  // little-endian
  data[16] = static_cast<unsigned char>(type);
  data[32] = 64;  // program headers right after the ELF header
  data[54] = 56;  // entry size
  data[56] = 1;   // one entry
  data[64] = interp ? 3 : 1;  // PT_INTERP or PT_LOAD
  return data;
}

TEST(ObjectKindTest, CodeIsExecutablesAndSharedObjectsOnly) {
  auto kind = [](const auto& data) {
    return ObjectKindOf(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  };
  EXPECT_EQ(kind(Elf64(2, false)), ObjectKind::kExecutable);
  EXPECT_EQ(kind(Elf64(3, true)), ObjectKind::kExecutable);  // PIE
  EXPECT_EQ(kind(Elf64(3, false)), ObjectKind::kSharedObject);
  EXPECT_EQ(kind(Elf64(1, false)), ObjectKind::kOtherElf);  // a .o file
  EXPECT_EQ(kind(Elf64(4, false)), ObjectKind::kOtherElf);  // a core dump
  EXPECT_EQ(ObjectKindOf(Elf64(3, true).data(), 12), ObjectKind::kOtherElf);  // cut short
  EXPECT_EQ(kind(std::string("#!/bin/sh\necho hi\n")), ObjectKind::kNotElf);
  EXPECT_FALSE(IsCode(ObjectKind::kOtherElf));
  EXPECT_TRUE(IsCode(ObjectKind::kSharedObject));

  // The system's own files, read through a descriptor as brixd reads them.
  const std::pair<const char*, ObjectKind> files[] = {
      {"/usr/bin/true", ObjectKind::kExecutable},
      {"/usr/lib/x86_64-linux-gnu/libm.so.6", ObjectKind::kSharedObject},
      {"/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2", ObjectKind::kSharedObject},
      {"/etc/passwd", ObjectKind::kNotElf},
  };
  for (const auto& [path, expected] : files) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    ObjectKind out = ObjectKind::kOtherElf;
    int error = 0;
    EXPECT_TRUE(ReadObjectKind(fd, std::filesystem::file_size(path), false, &out, &error)) << path;
    EXPECT_EQ(out, expected) << path;
    close(fd);
  }

  ObjectKindCache cache(1);
  struct stat a {}, b {};
  stat("/usr/bin/true", &a);
  stat("/etc/passwd", &b);
  cache.Insert(FileIdentity::Of(a), ObjectKind::kExecutable);
  cache.Insert(FileIdentity::Of(b), ObjectKind::kNotElf);  // makes room
  ObjectKind found = ObjectKind::kOtherElf;
  EXPECT_FALSE(cache.Find(FileIdentity::Of(a), &found));
  ASSERT_TRUE(cache.Find(FileIdentity::Of(b), &found));
  EXPECT_EQ(found, ObjectKind::kNotElf);
}

TEST(DecisionEventTest, OnlyCodeAndInterpretersOpensGoToTheEngine) {
  EXPECT_EQ(RouteOpen(false, ObjectKind::kSharedObject, Interpreter::kYes), OpenRoute::kAllow);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kSharedObject, Interpreter::kNo), OpenRoute::kLibrary);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kExecutable, Interpreter::kUnknown),
            OpenRoute::kLibrary);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kOtherElf, Interpreter::kNo), OpenRoute::kAllow);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kNotElf, Interpreter::kNo), OpenRoute::kAllow);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kNotElf, Interpreter::kYes), OpenRoute::kScript);
  EXPECT_EQ(RouteOpen(true, ObjectKind::kNotElf, Interpreter::kUnknown), OpenRoute::kProbe);
}

class EngineTest : public TempDirTest {
 protected:
  void TearDown() override {
    engine_stop();
    TempDirTest::TearDown();
  }
  static int Capture(unsigned level, unsigned, const char*, const char*, const char* message,
                     unsigned) {
    if (level == BRIX_LOG_ERROR) (EngineLinesMuted() ? mutedErrors : loudErrors).push_back(message);
    return 0;
  }
  static inline std::vector<std::string> mutedErrors, loudErrors;
};

TEST_F(EngineTest, ProbeLearnsInterpretersFromTheEngineOnce) {
  InterpreterCache cache(16);
  Interpreter answer = Interpreter::kUnknown;
  uint32_t status = 0;
  EXPECT_FALSE(cache.Probe("/usr/bin/python3.11", &answer, &status));
  EXPECT_EQ(status, BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(cache.Find("/usr/bin/python3.11"), Interpreter::kUnknown);

  const std::string db = PathIn("ac.db");
  ac_engine_start_s start = MakeStart(db.c_str(), &Capture, BRIX_LOG_ERROR | BRIX_LOG_WARNING);
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);
  loudErrors.clear();  // the engine's own start
  for (const char* program : {"/usr/bin/python3.11", "/usr/bin/dash", "/usr/bin/bash",
                              "/usr/bin/perl"}) {
    ASSERT_TRUE(cache.Probe(program, &answer, &status)) << program;
    EXPECT_EQ(answer, Interpreter::kYes) << program;
    EXPECT_EQ(cache.Find(program), Interpreter::kYes) << program;
  }
  for (const char* program : {"/usr/bin/cat", "/usr/bin/cc1", "/usr/bin/zsh"}) {
    ASSERT_TRUE(cache.Probe(program, &answer, &status)) << program;
    EXPECT_EQ(answer, Interpreter::kNo) << program;
  }
  // The probe's complaints about its missing digest stay among brixd's
  // muted lines.
  for (const std::string& line : loudErrors) ADD_FAILURE() << "not muted: " << line;
  EXPECT_FALSE(mutedErrors.empty());
}

// The limits brixd hashes within: a size cap, a stop flag and a time
// limit, each ending the hash early with its own outcome.
class BrixdHashLimitsTest : public TempDirTest {};

TEST_F(BrixdHashLimitsTest, EachLimitEndsTheHashWithItsOwnOutcome) {
  const std::string path = PathIn("data");
  std::ofstream(path, std::ios::binary) << std::string(3 << 20, 'x');
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  brix_host::FileDigests whole, bounded;
  std::string error;
  ASSERT_TRUE(brix_host::HashDescriptor(fd, &whole, &error)) << error;

  // Within the limits: the same digests, read from the start whatever the
  // descriptor's position.
  brix_host::HashLimits limits;
  auto hash = [&] { return brix_host::HashDescriptorBounded(fd, limits, &bounded, &error); };
  limits.maxBytes = 3 << 20;
  ASSERT_EQ(lseek(fd, 12345, SEEK_SET), 12345);
  EXPECT_EQ(hash(), brix_host::HashEnd::kDone);
  EXPECT_EQ(bounded.sha256, whole.sha256);
  EXPECT_EQ(bounded.size, 3u << 20);

  limits.maxBytes = (3 << 20) - 1;
  EXPECT_EQ(hash(), brix_host::HashEnd::kTooLarge);

  std::atomic<bool> stop{true};
  limits = brix_host::HashLimits{};
  limits.stop = &stop;
  EXPECT_EQ(hash(), brix_host::HashEnd::kStopped);

  limits = brix_host::HashLimits{};
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  limits.notAfterNanos = static_cast<uint64_t>(now.tv_sec) * 1000000000ull - 1;
  EXPECT_EQ(hash(), brix_host::HashEnd::kStopped);
  EXPECT_EQ(error, "took too long to hash");
  close(fd);
}

// True once the process or thread under `proc` is inside openat.
bool InsideOpen(const std::string& proc) {
  return ReadFile(proc + "/syscall").rfind(std::to_string(SYS_openat) + " ", 0) == 0;
}

// What OpeningAccess reads of a child that runs `opens`, which block,
// once `inside` of its threads are inside their calls.
template <typename Opens>
OpenAccess AccessOfChild(Opens opens, int inside) {
  const pid_t child = fork();
  if (child == 0) {
    opens();
    _exit(0);
  }
  const std::string tasks = "/proc/" + std::to_string(child) + "/task";
  for (int i = 0; i < 2000; ++i) {
    int waiting = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks))
      waiting += InsideOpen(task.path().string());
    if (waiting >= inside) break;
    usleep(1000);
  }
  usleep(20000);  // and for a thread to name itself
  const OpenAccess access = OpeningAccess(child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return access;
}

TEST(ProcessTableTest, RemembersWritersAfterTheyExit) {
  ProcessFacts self;
  ASSERT_TRUE(ReadProcessFacts(getpid(), &self));
  EXPECT_GT(self.startTime, 0u);
  EXPECT_EQ(self.uid, geteuid());
  EXPECT_EQ(self.executable, std::filesystem::read_symlink("/proc/self/exe").string());

  ProcessTable table(4);
  // A child recorded while it lives, then gone and reaped.
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(hold[1]);
    char byte;
    (void)!read(hold[0], &byte, 1);
    _exit(0);
  }
  ProcessFacts facts;
  ASSERT_TRUE(ReadProcessFacts(child, &facts));
  table.Record(child, facts);
  close(hold[1]);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  ProcessFacts writer;
  ASSERT_TRUE(table.WriterOf(child, &writer));
  EXPECT_EQ(writer.executable, facts.executable);
  EXPECT_EQ(writer.startTime, facts.startTime);

  // A zombie that started at another time holds the pid: not the writer.
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  ProcessFacts older = self;
  older.startTime = 1;
  table.Record(zombie, older);
  while (ReadProcessFacts(zombie, &facts)) usleep(1000);  // until it is a zombie
  EXPECT_FALSE(table.WriterOf(zombie, &writer));
  ASSERT_EQ(waitpid(zombie, nullptr, 0), zombie);

  // The live process wins over a record.
  EXPECT_TRUE(table.WriterOf(getpid(), &writer));
  EXPECT_EQ(writer.startTime, self.startTime);

  // A set-user-id program changes the recorded user.
  struct stat st {};
  st.st_mode = S_IFREG | S_ISUID | 0755;
  st.st_uid = 4321;
  ASSERT_TRUE(table.RecordStart(getpid(), "/opt/tool", st));
  ASSERT_TRUE(table.Find(getpid(), &writer));
  EXPECT_EQ(writer.uid, 4321u);
  EXPECT_EQ(writer.gid, getegid());
  EXPECT_EQ(writer.executable, "/opt/tool");

  // A record made before its start time was read is dated once, and only
  // a recorded pid is.
  constexpr pid_t kUndated = 999999;
  ProcessFacts undated = self;
  undated.startTime = 0;
  table.Record(kUndated, undated);
  table.Date(kUndated, 42);
  table.Date(kUndated, 7);
  table.Date(kUndated + 1, 42);
  ASSERT_TRUE(table.Find(kUndated, &writer));
  EXPECT_EQ(writer.startTime, 42u);
  EXPECT_FALSE(table.Find(kUndated + 1, &writer));

  // Blocked opening a FIFO (nobody at the other end): for writing, then
  // for reading.
  const std::string fifo = "/tmp/brixd-parts-fifo-" + std::to_string(getpid());
  const std::string other = fifo + "-read";
  for (const std::string& path : {fifo, other}) ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(AccessOfChild([&] { open(fifo.c_str(), O_WRONLY); }, 1), OpenAccess::kWriteOnly);
  EXPECT_EQ(AccessOfChild([&] { open(fifo.c_str(), O_RDONLY); }, 1), OpenAccess::kRead);
  EXPECT_EQ(OpeningAccess(getpid()), OpenAccess::kRead);  // running, not opening
  // A thread blocked opening for writing cannot cover another's read.
  EXPECT_EQ(AccessOfChild(
                [&] {
                  std::thread writer([&] { open(fifo.c_str(), O_WRONLY); });
                  open(other.c_str(), O_RDONLY);
                },
                2),
            OpenAccess::kRead);
  // Nor behind an io_uring thread's open, whose flags /proc cannot show.
  EXPECT_EQ(AccessOfChild(
                [&] {
                  std::thread worker([] {
                    prctl(PR_SET_NAME, "iou-wrk-1");
                    pause();
                  });
                  open(fifo.c_str(), O_WRONLY);
                },
                1),
            OpenAccess::kRead);
  for (const std::string& path : {fifo, other}) unlink(path.c_str());

  // Bounded: the oldest go first.
  for (pid_t pid = 100000; pid < 100010; ++pid) table.Record(pid, self);
  EXPECT_LE(table.size(), 4u);
  EXPECT_TRUE(table.Find(100009, &writer));
  EXPECT_FALSE(table.Find(100000, &writer));
}

}  // namespace
}  // namespace brixd
