// The ways a local user might get an unknown program past brixd under
// lockdown, or make a start wait beyond the deadline, each tried against
// the daemon on a private tmpfs.
#include <sqlite3.h>

#include <future>
#include <regex>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

class BrixdRouteTest : public BrixdTest {
 protected:
  // A scanned program and the agent manifest: lockdown enforces.
  void KnownProgramAndManifest(const std::string& known) {
    MakeProgram(known, "");
    ASSERT_EQ(Brixctl({"scan", known}).status, 0);
    ImportManifest();
  }

  std::future<ChildRun> RunLater(const std::vector<std::string>& argv) {
    return std::async(std::launch::async, [this, argv] { return Run(argv); });
  }
};

// What brixd cannot judge gets the failure policy: a program it has no
// path for, and any start while the database is locked or failing.
TEST_F(BrixdRouteTest, NoPathOrALockedOrFailingDatabaseGetsTheFailurePolicy) {
  const std::string known = InMount("known");
  KnownProgramAndManifest(known);
  const std::vector<std::string> unknown = {InMount("unknown0"), InMount("unknown1"),
                                            InMount("unknown2")};
  for (const std::string& program : unknown) MakeProgram(program, "\n" + program);
  // Folders nested past PATH_MAX: made, and the program started, from
  // relative names.
  const std::string part(200, 'd');
  int folder = open(mnt_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int depth = 0; depth < 25; ++depth) {
    ASSERT_EQ(mkdirat(folder, part.c_str(), 0755), 0) << strerror(errno);
    const int inner = openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(folder);
    ASSERT_GE(inner, 0);
    folder = inner;
  }
  const std::string source = InMount("deep");
  MakeProgram(source, "\ndeep");
  ASSERT_EQ(renameat(AT_FDCWD, source.c_str(), folder, "prog"), 0) << strerror(errno);
  StartDaemon({"--lockdown", "--deadline", "400"});
  EXPECT_EQ(Run({"./prog"}, folder).status, -EPERM);
  close(folder);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);

  // Locked: more starts than workers, each answered at its deadline
  // while the workers wait inside the engine.
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto begin = Clock::now();
  std::vector<std::future<ChildRun>> runs;
  for (const std::string& program : unknown) runs.push_back(RunLater({program}));
  for (auto& run : runs) EXPECT_EQ(run.get().status, -EPERM);
  EXPECT_LT(MillisSince(begin), 400 + 600);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);

  // Failing: the engine's lookup errors at once and gives no verdict;
  // even the known program is refused until it works again.  The rename
  // is another process's write: brixd's restart of its engine fails, and
  // is tried again until the table is back.
  ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE InventoryItems RENAME TO Hidden", nullptr, nullptr,
                         nullptr), SQLITE_OK);
  EXPECT_EQ(Run({known}).status, -EPERM);
  ASSERT_TRUE(WaitLogged("but the engine did not restart")) << ReadFile(log_);
  const size_t logged = ReadFile(log_).size();
  ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE Hidden RENAME TO InventoryItems", nullptr, nullptr,
                         nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(WaitLogged("rules reloaded (database written)", logged)) << ReadFile(log_);
  EXPECT_EQ(Run({known}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("pathErrors"), 1);
  EXPECT_EQ(Counter("deadlineDenied"), 3);
  EXPECT_EQ(Counter("engineErrors"), 1);
  EXPECT_EQ(Counter("policyDenied"), 5);
  EXPECT_GE(Counter("reloadFailures"), 1);
}

// A file rewritten while brixd hashes it is hashed again; a stop ends
// the hashing of another within two seconds.
TEST_F(BrixdRouteTest, RewriteDuringHashingIsHashedAgainAndAStopEndsHashing) {
  // A known program large enough that hashing it takes a while; its head
  // is replaced by another program once brixd is reading it.
  const std::string program = InMount("big-known"), big = InMount("big");
  MakeProgram(program, "\nbig", 96u << 20);
  MakeSparseProgram(big, "\nbig", 900ll << 20);
  ASSERT_EQ(Brixctl({"scan", program}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown", "--deadline", "30000", "--max-hash-size", "1G"});
  uint64_t base = DaemonReadBytes();
  auto started = RunLater({program});
  ASSERT_TRUE(WaitDaemonReads(base, 16u << 20));
  const std::string other = ReadFile("/bin/false");
  const int fd = open(program.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()))
      << strerror(errno);
  close(fd);
  EXPECT_EQ(started.get().status, -EPERM);

  base = DaemonReadBytes();
  started = RunLater({big});
  ASSERT_TRUE(WaitDaemonReads(base, 16u << 20));
  const auto begin = Clock::now();
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_LT(MillisSince(begin), 2000);
  EXPECT_EQ(started.get().status, -EPERM);
  EXPECT_GE(Counter("hashRepeats"), 1);
  EXPECT_EQ(Counter("stopAnswers"), 1);
}

TEST_F(BrixdRouteTest, HugeFilesDoNotDelayAKnownProgram) {
  const std::string known = InMount("known");
  KnownProgramAndManifest(known);
  const std::string huge1 = InMount("huge1"), huge2 = InMount("huge2");
  const std::string big1 = InMount("big1"), big2 = InMount("big2");
  MakeSparseProgram(huge1, "\nh1", 4ll << 30);
  MakeSparseProgram(huge2, "\nh2", 4ll << 30);
  MakeSparseProgram(big1, "\nb1", 200ll << 20);
  MakeSparseProgram(big2, "\nb2", 200ll << 20);
  StartDaemon({"--lockdown", "--deadline", "1000"});
  ASSERT_EQ(Run({known}).status, 0);

  // The huge files are refused unread; the big ones (under the cap)
  // keep both workers hashing.
  const auto begin = Clock::now();
  auto h1 = RunLater({huge1});
  auto h2 = RunLater({huge2});
  EXPECT_EQ(h1.get().status, -EPERM);
  EXPECT_EQ(h2.get().status, -EPERM);
  EXPECT_LT(MillisSince(begin), 500);
  const uint64_t base = DaemonReadBytes();
  auto b1 = RunLater({big1});
  auto b2 = RunLater({big2});
  ASSERT_TRUE(WaitDaemonReads(base, 32u << 20));
  const auto knownBegin = Clock::now();
  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_LT(MillisSince(knownBegin), 1000 + 300);
  EXPECT_EQ(b1.get().status, -EPERM);
  EXPECT_EQ(b2.get().status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("tooLarge"), 2);
}

TEST_F(BrixdRouteTest, PlantedSymlinksAreNotFollowed) {
  // A planted log file is refused (see the failed starts); the stats
  // file's link is replaced, not followed.
  const std::string victim = PathIn("victim");
  std::ofstream(victim) << "precious";
  ASSERT_EQ(symlink(victim.c_str(), stats_.c_str()), 0);
  StartDaemon({});
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(stats_)));
  for (const std::string& file : {stats_, log_})
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0640)) << file;
}

// What the systemd unit takes away (capabilities beyond its bounding set,
// new privileges) leaves enforcement and drift whole, and the reader keeps
// the unit's watchdog fed.
TEST_F(BrixdRouteTest, HardenedAsTheUnitRunsIt) {
  const std::string unit =
      ReadFile(std::string(BRIX_EXAMPLES_DIR) + "/../tools/brixd/brixd.service");
  std::smatch line;
  ASSERT_TRUE(std::regex_search(unit, line, std::regex("\nCapabilityBoundingSet=(.*)")));
  std::string bounding = "-all";
  std::istringstream words(line[1].str());
  for (std::string cap; words >> cap;) {
    std::transform(cap.begin(), cap.end(), cap.begin(), ::tolower);
    bounding += ",+" + cap.substr(4);  // without "cap_"
  }
  const std::string notify = PathIn("notify");
  const int listener = DatagramSocketAt(notify);
  ASSERT_GE(listener, 0) << strerror(errno);
  // brixd alone is given the unit's notify socket and watchdog.
  launcher_ = {"/usr/bin/setpriv", "--bounding-set", bounding, "--no-new-privs", "/usr/bin/env",
               "NOTIFY_SOCKET=" + notify, "WATCHDOG_USEC=200000"};

  const std::string known = InMount("known"), unknown = InMount("unknown");
  KnownProgramAndManifest(known);
  MakeProgram(unknown, "\nunknown");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  MakeProgram(InMount("written"), "\nwritten");

  // The socket keeps every message since the start.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  int ready = 0, pings = 0;
  char message[256];
  for (ssize_t n; (n = recv(listener, message, sizeof(message), 0)) > 0;) {
    ready += std::string(message, static_cast<size_t>(n)) == "READY=1";
    pings += std::string(message, static_cast<size_t>(n)) == "WATCHDOG=1";
  }
  close(listener);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(ready, 1);
  EXPECT_GE(pings, 3);
  EXPECT_GE(Counter("driftWrites"), 1);
  EXPECT_EQ(Counter("driftSkipped"), 0);
}

}  // namespace
}  // namespace brixd_test
