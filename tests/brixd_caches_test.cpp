// Tests of what brixd remembers to spare the kernel and the engine work,
// each shown to end when the answer could change: ignore marks on plain
// files the inventory knows (and only on files no user can write), the
// memory of log-only verdicts and of probed files across a change of the
// inventory, and the program of a known process across an exec.
#include <ctime>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

// Files written moments ago are not probed for marks (a build's own
// outputs): these stand for files that have lain unchanged for a while.
void Backdate(const std::string& path) {
  const struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), hourAgo, 0), 0);
}

TEST_F(BrixdTest, PlainFilesKnownByDigestStopCausingEventsUntilWritten) {
  struct Case {
    const char* name;
    uid_t owner;
    mode_t mode;
    bool marked;
  };
  const Case cases[] = {
      {"root.h", 0, 0644, true},
      {"group-writable.h", 0, 0664, false},  // a group member could write it through a mapping
      {"user.h", 65534, 0644, false},
  };
  for (const Case& c : cases) {
    const std::string path = InMount(c.name);
    std::ofstream(path) << "#define " << c.name[0] << " 1\n";
    ASSERT_EQ(chown(path.c_str(), c.owner, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    Backdate(path);
    ASSERT_EQ(Brixctl({"scan", path}).status, 0);
  }
  ImportManifest();
  StartDaemon({"--stats-interval", "1"});
  auto readAll = [&] {
    for (int i = 0; i < 5; ++i)
      for (const Case& c : cases) ASSERT_EQ(Run({"/bin/cat", InMount(c.name)}).status, 0);
  };
  readAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the probe runs after the answer
  readAll();
  ASSERT_EQ(StopDaemon(), 0);
  const double events = Counter("openEvents");
  EXPECT_EQ(Counter("ignoreMarks"), 1);
  EXPECT_EQ(Counter("markProbes"), 1);  // only the file no user can write is hashed for it
  // Ten opens of each unmarked file, one or two of the marked one.
  EXPECT_LE(events, 23);
  EXPECT_GE(events, 21);

  // A write drops the mark; the new content is not in the inventory, so
  // every open is an event again.
  StartDaemon({"--stats-interval", "1"});
  readAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::ofstream(InMount("root.h"), std::ios::app) << "#define CHANGED 1\n";
  readAll();
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("ignoreMarks"), 1);
  EXPECT_GE(Counter("openEvents"), 26);  // 20 + 5 after the write, at least
}

TEST_F(BrixdTest, LogOnlyVerdictsAndProbesAreForgottenWhenTheInventoryChanges) {
  // An unknown program's log-only verdict and an unknown header's probe
  // are remembered; scanning both while brixd runs makes it ask again,
  // and both then carry marks.
  const std::string program = InMount("tool"), header = InMount("late.h");
  MakeProgram(program, "\nlog only");
  std::ofstream(header) << "#define LATE 1\n";
  Backdate(header);
  ImportManifest();
  StartDaemon({"--stats-interval", "1"});
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Run({program}).status, 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Run({"/bin/cat", header}).status, 0);
  ASSERT_EQ(Brixctl({"scan", program, header}).status, 0);
  // The change is seen (by the writer's fanotify event) before the next start.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Run({program}).status, 0);
  ASSERT_EQ(Run({"/bin/cat", header}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(Run({"/bin/cat", header}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("logOnlyMemoryHits"), 3);
  EXPECT_EQ(Counter("execEvents"), 5);
  EXPECT_EQ(Counter("markProbes"), 2);
  EXPECT_EQ(Counter("ignoreMarks"), 2);
  EXPECT_GE(Counter("cacheDrops"), 1);
}

TEST_F(BrixdTest, OwnWritesAndReadersOfTheDatabaseKeepTheMarks) {
  // brixd's engine writes the database itself (here a new program is
  // recorded as drift in the maintenance window): that changes no rule,
  // and must not cost every file its mark; nor must a reader of the
  // database (this test, brixctl status), which opens it read-write.
  const std::string program = InMount("tool");
  MakeProgram(program, "\nkept");
  ASSERT_EQ(Brixctl({"scan", program}).status, 0);
  ImportManifest();
  StartDaemon({"--stats-interval", "1", "--maintenance", std::to_string(NowMillis() - 1000),
               std::to_string(NowMillis() + 600000)});
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Run({program}).status, 0);
  const std::string items = "SELECT COUNT(*) FROM InventoryItems";
  const std::string before = Db(db_).One(items);
  MakeProgram(InMount("new-tool"), "\ndrift");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_NE(Db(db_).One(items), before) << "no drift was written";
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Run({program}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("execEvents"), 1);
  EXPECT_EQ(Counter("cacheDrops"), 0);
}

TEST_F(BrixdTest, KnownProcessIsLookedUpAgainAfterItsExec) {
  // A process that read a plain file is known as what it was; once it
  // runs an interpreter, the interpreter's open of an unknown script is
  // decided, and refused under lockdown.  The interpreter lives outside
  // the watched mount, so its exec raises no event of its own there.
  const std::string data = InMount("data.txt"), script = InMount("evil.py");
  std::ofstream(data) << "plain\n";
  std::ofstream(script) << "print('ran')\n";
  ImportManifest();
  StartDaemon({"--lockdown", "--stats-interval", "1"});
  const pid_t child = fork();
  if (child == 0) {
    for (int i = 0; i < 3; ++i)
      if (!std::ifstream(data)) _exit(2);
    execl("/usr/bin/python3", "python3", script.c_str(), static_cast<char*>(nullptr));
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "the unknown script ran";
  EXPECT_GE(Counter("knownProcessOpens"), 1);  // the second and third reads
  EXPECT_GE(Counter("scriptEvents"), 1);
}

}  // namespace
}  // namespace brixd_test
