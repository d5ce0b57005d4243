// How an unprivileged user might run unknown code under lockdown by
// changing a file brixd has already judged, or by planting files brixd
// writes: each tried against the daemon on a private tmpfs, with the
// user's steps run as the unprivileged user.
#include <sys/mman.h>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

// Rewrites `path` with `content` (of the same size) through a shared
// writable mapping, which raises no modify event: 0 when done, 3 when
// the open was refused, 4 on any other failure.
int RewriteThroughMapping(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return 3;
  void* map = mmap(nullptr, content.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return 4;
  memcpy(map, content.data(), content.size());
  munmap(map, content.size());
  return 0;
}

class BrixdWritersTest : public BrixdTest {
 protected:
  void SetUp() override {
    BrixdTest::SetUp();
    // The unprivileged user reaches the mount through the test's folder.
    ASSERT_EQ(chmod(PathIn(".").c_str(), 0755), 0);
  }

  void Scan(const std::string& path) {
    const ChildRun run = Brixctl({"scan", path});
    ASSERT_EQ(run.status, 0) << run.err;
  }
};

// A known program or script the user owns, run once (the kernel may then
// stop asking about it) and rewritten through a mapping with other bytes
// of the same size: what runs next is never the other content.
TEST_F(BrixdWritersTest, MappingWritesNeverRunAsTheKnownFile) {
  std::string trueProgram = ReadFile("/bin/true"), falseProgram = ReadFile("/bin/false");
  const size_t size = std::max(trueProgram.size(), falseProgram.size()) + 64;
  for (std::string* program : {&trueProgram, &falseProgram}) program->resize(size, '\0');
  const struct {
    std::string name, known, other;
    std::vector<std::string> prefix;
    int otherStatus;  // the exit status of the other content
  } cases[] = {
      {"tool", trueProgram, falseProgram, {}, 1},
      {"job.sh", "exit 0\n", "exit 7\n", {"/bin/sh"}, 7},
  };
  for (const auto& c : cases) {
    MakeText(InMount(c.name), c.known, 0755);
    GiveToUser(InMount(c.name));
    Scan(InMount(c.name));
  }
  ImportManifest();
  StartDaemon({"--lockdown"});
  for (const auto& c : cases) {
    std::vector<std::string> argv = c.prefix;
    argv.push_back(InMount(c.name));
    RunAsUser(argv);
    RunAsUser(argv);
    AsUser([&] { return RewriteThroughMapping(InMount(c.name), c.other); });
    const ChildRun run = RunAsUser(argv);
    EXPECT_NE(run.status, c.otherStatus) << c.name << ": the rewritten content ran";
  }
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("ignoreMarks"), 0);  // files their user can write carry none
}

// Code a user can change between the answer and the read is never
// loaded or run by an interpreter on the strength of that answer: known
// or empty, it is decided and, under lockdown, refused.  What only root
// can write keeps the shortcuts.  With the kernel guard a library's
// mapping is decided on the version mapped, and known libraries users can
// write load.  And an interpreter is recognised by what its file is: run
// through the loader, under another name, or bind-mounted over another
// file in a user's own namespaces, it still cannot run an unknown script.
TEST_F(BrixdWritersTest, CodeAUserCanRewriteOrRunThroughADisguiseIsRefused) {
  const std::string library = ReadFile("/usr/lib/x86_64-linux-gnu/libm.so.6");
  const struct {
    std::string name, content;
    bool user;  // owned by the unprivileged user
    mode_t mode;
    bool scan;
    std::vector<std::string> argv;  // {} for LD_PRELOAD of the file
    bool allowed;
  } cases[] = {
      {"root.so", library + "a", false, 0644, true, {}, true},
      {"user.so", library + "b", true, 0644, true, {}, false},
      {"group.so", library + "c", false, 0664, true, {}, false},
      {"root.py", "print('ok')\n", false, 0644, true, {"/usr/bin/python3"}, true},
      {"user.py", "print('ok')\n", true, 0644, true, {"/usr/bin/python3"}, false},
      {"user.sh", "exit 0\n", true, 0644, true, {"/bin/sh"}, false},
      {"empty-root.py", "", false, 0644, false, {"/usr/bin/python3"}, true},
      {"empty-user.py", "", true, 0644, false, {"/usr/bin/python3"}, false},
      {"empty-user.sh", "", true, 0644, false, {"/bin/sh"}, false},
  };
  for (const auto& c : cases) {
    MakeText(InMount(c.name), c.content, c.mode);
    if (c.user) GiveToUser(InMount(c.name));
    if (c.scan) Scan(InMount(c.name));
  }
  const std::string unknown = InMount("unknown.so");
  MakeText(unknown, library + "unknown");
  GiveToUser(unknown);
  const std::string python = "/usr/bin/python3", dash = "/bin/dash";
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  const std::string evilPy = InMount("evil.py"), evilSh = InMount("evil.sh"),
                    goodPy = InMount("good.py");
  MakeText(evilPy, "print('evil')\n");
  MakeText(evilSh, "echo evil\n");
  MakeText(goodPy, "print('good')\n");
  Scan(goodPy);
  // Copies outside the watched file system: their starts are not judged.
  const std::string py = PathIn("py"), shell = PathIn("shell"), over = PathIn("over");
  MakeText(py, ReadFile(python), 0755);
  MakeText(shell, ReadFile(dash), 0755);
  MakeText(over, "", 0755);
  ImportManifest();
  StartDaemon({"--lockdown"});
  const std::string evil = "evil\n";
  ExpectRuns({{{loader, python, evilPy}, kFails, "", evil},
              {{loader, "--argv0", "x", python, evilPy}, kFails, "", evil},
              {{loader, dash, evilSh}, kFails, "", evil},
              {{loader, dash, "-c", ". " + evilSh}, kFails, "", evil},
              {{loader, python, goodPy}, 0},
              {{py, evilPy}, kFails, "", evil},
              {{shell, evilSh}, kFails, "", evil},
              {{"/usr/bin/unshare", "-rm", "/bin/sh", "-c",
                "mount --bind " + python + " " + over + " && " + over + " " + evilPy},
               kFails, "", evil}},
             true);
  // Whoever opens code with read access may map it executable: only a
  // write-only open is a writer's.
  for (const int access : {O_RDWR, O_WRONLY, O_RDONLY}) {
    // 3: the open refused (fanotify); 5: the mapping refused (the kernel
    // guard, which lets reads of code through).
    const int status = AsUser([&] {
      const int fd = open(unknown.c_str(), access | O_CLOEXEC);
      if (fd < 0) return errno == EPERM ? 3 : 4;
      if (access != O_WRONLY &&
          mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
        return errno == EPERM ? 5 : 6;
      return 0;
    });
    EXPECT_TRUE(access == O_WRONLY ? status == 0 : status == 3 || status == 5)
        << "access " << access << ": " << status;
  }
  for (const auto& c : cases) {
    std::vector<std::string> argv = c.argv;
    if (argv.empty())
      argv = {"/usr/bin/env", "LD_PRELOAD=" + InMount(c.name), "/bin/true"};
    else
      argv.push_back(InMount(c.name));
    const ChildRun run = RunAsUser(argv);
    const bool ran = run.status == 0 && run.err.find("cannot be preloaded") == std::string::npos;
    const bool library = c.argv.empty();
    EXPECT_EQ(ran, c.allowed || (library && KernelGuardActive())) << c.name << ": " << run.err;
  }
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("writableRefused"), 3);
  const std::string log = ReadFile(log_);
  // Reported to the engine as the interpreter itself.
  EXPECT_NE(log.find("blocked " + evilPy + " run by /usr/bin/python3.11"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("run by " + py), std::string::npos) << log;
}

// A log or journal file planted in a shared folder before brixd starts:
// brixd refuses to write into it, and says why.
TEST_F(BrixdWritersTest, PlantedLogAndJournalAreRefused) {
  ImportManifest();  // brixd needs its database before it opens either
  const std::string shared = PathIn("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const struct {
    std::string option;
    bool user;
    mode_t mode;
    std::string why;
  } cases[] = {
      {"--log-file", true, 0644, "owned by uid 65534"},
      {"--journal", true, 0644, "owned by uid 65534"},
      {"--journal", false, 0666, "writable by everyone"},
      {"--log-file", false, 0660, "writable by its group"},
  };
  int i = 0;
  for (const auto& c : cases) {
    const std::string planted = shared + "/planted" + std::to_string(i++);
    if (c.user)
      ASSERT_EQ(AsUser([&] { return open(planted.c_str(), O_CREAT | O_WRONLY, c.mode) < 0; }), 0);
    else
      MakeText(planted, "", c.mode);
    std::vector<std::string> argv = {"/usr/bin/timeout", "10", BRIXD_PATH, "--db", db_,
                                     "--watch", mnt_, "--log-file", log_};
    if (c.option == "--log-file")
      argv.back() = planted;
    else
      argv.insert(argv.end(), {"--journal", planted});
    const ChildRun run = Run(argv);
    EXPECT_EQ(run.status, 1) << c.option << " " << planted;
    EXPECT_NE((run.err + ReadFile(log_)).find(c.why), std::string::npos)
        << run.err << ReadFile(log_);
    EXPECT_EQ(ReadFile(planted), "") << "brixd wrote into " << planted;
  }
  // The administrator's tools say so too.
  const std::string journal = shared + "/planted1";
  const ChildRun report = Brixctl({"report", journal});
  EXPECT_NE(report.err.find("owned by uid 65534"), std::string::npos) << report.err;
  const ChildRun suggest = Brixctl({"suggest", "--out", PathIn("out"), journal});
  EXPECT_NE(suggest.err.find("owned by uid 65534"), std::string::npos) << suggest.err;
}

}  // namespace
}  // namespace brixd_test
