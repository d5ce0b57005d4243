// Tests of brixd's kernel programs (BPF LSM) on a private tmpfs: reading
// code is not loading it, mappings and starts are decided in the kernel,
// lockdown outlives brixd and `brixd --release` ends it; and where the
// programs cannot be used, brixd says so once and enforces as before.
// The tests that need the programs skip where the kernel refuses them.
#include "brixd_fixture.h"

namespace brixd_test {
namespace {

class KernelGuardTest : public BrixdTest {
 protected:
  void MakeFiles() {
    known_ = InMount("known");
    unknown_ = InMount("unknown");
    library_ = InMount("unknown.so");
    data_ = InMount("blob.dat");
    MakeProgram(known_, "");
    MakeProgram(unknown_, "\nnot scanned");
    MakeText(library_, ReadFile("/usr/lib/x86_64-linux-gnu/libm.so.6") + "not scanned");
    std::ofstream(data_, std::ios::binary) << std::string(8192, '\xc3');
    ASSERT_EQ(Brixctl({"scan", known_}).status, 0);
    ImportManifest();
  }

  std::string known_, unknown_, library_, data_;
};

TEST_F(KernelGuardTest, WithoutTheProgramsFanotifyAloneEnforces) {
  MakeFiles();
  const std::string plain = PathIn("plain");
  ASSERT_EQ(mkdir(plain.c_str(), 0700), 0);
  const struct {
    std::vector<std::string> options;
    std::string line;
  } cases[] = {
      {{"--no-bpf", "--lockdown"}, "BPF LSM not used (--no-bpf)"},
      {{"--bpf-pin-dir", plain + "/brixd", "--lockdown"},
       "BPF LSM not available: " + PathIn("plain") + " is not a BPF file system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t logged = ReadFile(log_).size();
    StartDaemon(c.options);
    const std::string log = ReadFile(log_).substr(logged);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_EQ(log.find("BPF LSM: "), std::string::npos) << log;
    EXPECT_EQ(Run({known_}).status, 0);
    EXPECT_EQ(Run({unknown_}).status, -EPERM);
    EXPECT_NE(Run({"/bin/cat", library_}).status, 0);  // the open of code is the load
    ASSERT_EQ(StopDaemon(), 0);
    EXPECT_FALSE(std::filesystem::exists(plain + "/brixd"));
  }
}

TEST_F(KernelGuardTest, ReleaseRemovesOnlyWhatBrixdPins) {
  const std::string empty = PathIn("none"), foreign = PathIn("foreign");
  ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
  std::ofstream(foreign + "/notes") << "not brixd's";
  const struct {
    std::string folder;
    int status;
    std::string said;
  } cases[] = {
      {empty, 0, "nothing pinned at " + empty},
      {foreign, 1, "cannot release " + foreign},
  };
  for (const auto& c : cases) {
    const ChildRun run = Run({BRIXD_PATH, "--release", "--bpf-pin-dir", c.folder});
    EXPECT_EQ(run.status, c.status) << c.folder;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
  }
  EXPECT_EQ(ReadFile(foreign + "/notes"), "not brixd's");
}

TEST_F(KernelGuardTest, ReadingCodeIsNotLoadingItAndLockdownOutlivesTheDaemon) {
  MakeFiles();
  StartDaemon({"--lockdown"});
  // Where the kernel refuses the programs, skipped with brixd's reason.
  if (!KernelGuardActive()) {
    const std::string log = ReadFile(log_);
    const size_t at = log.find("BPF LSM not available: ");
    GTEST_SKIP() << (at == std::string::npos ? log : log.substr(at, log.find('\n', at) - at));
  }
  EXPECT_EQ(Run({known_}).status, 0);
  EXPECT_EQ(Run({unknown_}).status, -EPERM);
  // Reading an unknown ELF file: copies, checksums, strip and the linker.
  EXPECT_EQ(Run({"/bin/cp", unknown_, library_, PathIn(".")}).status, 0);
  EXPECT_EQ(Run({"/usr/bin/sha256sum", unknown_, library_}).status, 0);
  EXPECT_EQ(Run({"/usr/bin/strip", "-o", PathIn("stripped"), unknown_}).status, 0);
  ChildRun run = Run({"/usr/bin/ld", "-shared", "-o", PathIn("linked.so"), library_});
  EXPECT_EQ(run.status, 0) << run.err;
  // A file that is no ELF object, mapped: readable, not executable.  The
  // name travels in the environment, so Python does not take it for its
  // script.
  const std::string map = "import mmap, os; f = open(os.environ['BLOB'], 'rb'); "
                          "mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ | ";
  setenv("BLOB", data_.c_str(), 1);
  EXPECT_EQ(Run({"/usr/bin/python3", "-c", map + "0)"}).status, 0);
  run = Run({"/usr/bin/python3", "-c", map + "mmap.PROT_EXEC)"});
  unsetenv("BLOB");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("PermissionError"), std::string::npos) << run.err;

  KillDaemon();
  EXPECT_EQ(Run({known_}).status, 0);
  EXPECT_EQ(Run({unknown_}).status, -EPERM);
  const std::string late = InMount("late");
  MakeProgram(late, "\nwritten while brixd was gone");
  EXPECT_EQ(Run({late}).status, -EPERM);

  // Taken over: the same answers, then a stop that leaves the programs.
  const size_t logged = ReadFile(log_).size();
  StartDaemon({"--lockdown"});
  EXPECT_NE(ReadFile(log_).find("BPF LSM: ", logged), std::string::npos);
  EXPECT_EQ(Run({known_}).status, 0);
  EXPECT_EQ(Run({unknown_}).status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Run({unknown_}).status, -EPERM);

  run = Run({BRIXD_PATH, "--release", "--bpf-pin-dir", pins_});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("released 7 pins"), std::string::npos) << run.err;
  // The kernel detaches the programs shortly after their last pin goes.
  EXPECT_TRUE(WaitUntil([&] { return Run({unknown_}).status == 0; }, 5, 20));
  EXPECT_EQ(Run({late}).status, 0);
}

}  // namespace
}  // namespace brixd_test
