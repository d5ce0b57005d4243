// Tests of brixd enforcing on a real mount: decisions, drift, deadlines,
// signals and the command line.
#include "brixd_fixture.h"

namespace brixd_test {
namespace {

TEST_F(BrixdTest, LockdownRunsScannedProgramAndBlocksUnknownCopy) {
  const std::string known = InMount("known"), unknown = InMount("unknown");
  MakeProgram(known, "");
  MakeProgram(unknown, "\nnot scanned");
  ASSERT_EQ(Brixctl({"scan", known}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown"});

  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({known}).status, 0);  // second start: no event (the kernel's ignore mark)
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  // The mark and brixd's memory end when the rules change: a block
  // imported while brixd runs holds at the next start.
  ImportRuleset("site-rules", known, "block");
  EXPECT_EQ(Run({known}).status, -EPERM);

  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("execEvents"), 4);
  EXPECT_EQ(Counter("allowed"), 1);
  EXPECT_EQ(Counter("blocked"), 3);
  EXPECT_EQ(Counter("ignoreMarks"), 1);
  EXPECT_GE(Counter("ruleChanges"), 1);
  // Hashed once each; later starts reuse the digests, which depend on
  // the file alone.
  EXPECT_EQ(Counter("cacheMisses"), 2);
  EXPECT_EQ(Counter("cacheHits"), 2);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
  // The stats file carries the engine's own metrics beside brixd's.
  EXPECT_NE(ReadFile(stats_).find("\"engine\""), std::string::npos);
}

// Lockdown never claims what it does not do: without an agent manifest
// it starts saying that it only logs (--require-manifest refuses to, see
// the failed starts), and with one it says that it enforces.  Log-only
// lets through what lockdown would block, seen and counted at every start
// (never remembered as an allow), while a block rule holds.
TEST_F(BrixdTest, LockdownSaysWhenItOnlyLogsAndLogOnlyLogsWhatItWouldBlock) {
  const std::string unknown = InMount("unknown"), banned = InMount("banned");
  MakeProgram(unknown, "\nnew");
  MakeProgram(banned, "\nbanned");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({unknown}).status, 0);
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_NE(ReadFile(log_).find("lockdown NOT enforced: only logging, because " + db_ +
                               " holds no agent manifest"),
            std::string::npos)
      << ReadFile(log_);
  EXPECT_EQ(Counter("manifestWaits"), 1);
  EXPECT_NE(ReadFile(stats_).find("log only: lockdown waits for an agent manifest"),
            std::string::npos);

  ImportManifest();
  ImportRuleset("site-rules", banned, "block");
  const std::string journal = PathIn("logs/brix/journal.jsonl");
  ASSERT_EQ(mkdir(PathIn("logs").c_str(), 0755), 0);
  StartDaemon({"--journal", journal});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Run({unknown}).status, 0);
  EXPECT_EQ(Run({banned}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("verdictCacheHits"), 0);
  EXPECT_EQ(Counter("logOnlyMemoryHits"), 2);
  EXPECT_EQ(Counter("blocked"), 1);
  EXPECT_NE(ReadFile(log_).find("would be blocked under lockdown: " + unknown + " started by"),
            std::string::npos)
      << ReadFile(log_);
  EXPECT_EQ(std::filesystem::status(PathIn("logs/brix")).permissions(),
            std::filesystem::perms(0750));
  EXPECT_NE(ReadFile(journal).find(unknown), std::string::npos);

  // Lockdown with the manifest: enforced, said so, each block logged once.
  const size_t before = ReadFile(log_).size();
  StartDaemon({"--lockdown", "--require-manifest"});
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
  const std::string log = ReadFile(log_).substr(before);
  EXPECT_NE(log.find("; lockdown on, "), std::string::npos) << log;
  // Once: found, and found last where it is found first.
  EXPECT_NE(log.find(unknown), std::string::npos) << log;
  EXPECT_EQ(log.find(unknown), log.rfind(unknown)) << log;
  EXPECT_NE(ReadFile(stats_).find("\"lockdown\""), std::string::npos);
}

// A clean stop leaves no error behind, and a failed start (a missing
// database or folder, one it may not read, a log file planted as a link,
// lockdown that must not only log) says why in one line, first, and
// leaves nothing behind (nor writes through the link).
TEST_F(BrixdTest, CleanStopsAreQuietAndFailedStartsSayWhyOnce) {
  MakeDatabase();
  // Standard error is the log here, as it is the system journal's under
  // the unit.
  const ChildRun clean = Run({"/usr/bin/timeout", "--preserve-status", "-s", "TERM", "3",
                              BRIXD_PATH, "--db", db_, "--watch", mnt_});
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.err.find("stopped: "), std::string::npos) << clean.err;
  EXPECT_EQ(clean.err.find("ERROR"), std::string::npos) << clean.err;

  // brixd and its engine where a user other than root may run them.
  const std::string brixd = ToolCopy(BRIXD_PATH);
  const std::string journal = PathIn("logs/journal.jsonl"), link = PathIn("log-link");
  ASSERT_EQ(symlink(log_.c_str(), link.c_str()), 0);
  const struct {
    std::vector<std::string> argv;
    std::string cause;
  } cases[] = {
      {{BRIXD_PATH, "--db", PathIn("typo.db"), "--watch", mnt_, "--journal", journal,
        "--log-file", log_},
       "no rule database at " + PathIn("typo.db")},
      {{BRIXD_PATH, "--db", db_, "--watch", PathIn("nowhere"), "--journal", journal},
       "cannot watch " + PathIn("nowhere") + ": No such file or directory"},
      {{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
        brixd, "--db", db_, "--watch", mnt_, "--journal", journal},
       db_ + ": Permission denied"},
      {{"/usr/bin/timeout", "10", BRIXD_PATH, "--db", db_, "--watch", mnt_, "--log-file", link},
       "cannot open log file " + link + ": Too many levels of symbolic links"},
      {{BRIXD_PATH, "--db", db_, "--watch", mnt_, "--lockdown", "--require-manifest",
        "--log-file", PathIn("refused.log")},
       "lockdown refused (--require-manifest): " + db_ + " holds no agent manifest"},
  };
  for (const auto& c : cases) {
    const ChildRun run = Run(c.argv);
    EXPECT_EQ(run.status, 1) << c.cause;
    EXPECT_EQ(run.err.rfind("brixd: " + c.cause, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(PathIn("typo.db")));
    EXPECT_FALSE(std::filesystem::exists(PathIn("logs"))) << c.cause;
  }
  EXPECT_FALSE(std::filesystem::exists(log_));
}

// Under systemd each decision reaches the system journal as one entry
// with fields, sent as it is made.  The journal's socket is this test's own, on a /run that
// only this test's namespace sees.
TEST_F(BrixdTest, DecisionsReachTheSystemJournalWithFields) {
  ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, "size=1m"), 0) << strerror(errno);
  std::filesystem::create_directories("/run/systemd/journal");
  const int sink = DatagramSocketAt("/run/systemd/journal/socket");
  ASSERT_GE(sink, 0) << strerror(errno);
  ASSERT_EQ(setenv("INVOCATION_ID", "0123456789abcdef0123456789abcdef", 1), 0);

  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nnew");
  ImportManifest();
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  // The entry is sent beside the decision, not before its answer.
  std::vector<std::string> blocks;  // the entries about `unknown`
  auto receive = [&] {
    char buffer[8192];
    for (ssize_t n; (n = recv(sink, buffer, sizeof(buffer), 0)) > 0;) {
      const std::string entry(buffer, static_cast<size_t>(n));
      if (entry.find("BRIX_PATH=" + unknown + "\n") != std::string::npos) blocks.push_back(entry);
    }
    return !blocks.empty();
  };
  EXPECT_TRUE(WaitUntil(receive, 5));
  // Killed, brixd takes its fanotify group along: nothing decides now.
  KillDaemon();
  EXPECT_EQ(Run({unknown}).status, 0);
  receive();
  close(sink);
  ASSERT_EQ(blocks.size(), 1u);
  for (const std::string& field :
       {"MESSAGE=blocked " + unknown + " started by", std::string("BRIX_VERDICT=blocked\n"),
        std::string("BRIX_KIND=start\n"), std::string("SYSLOG_IDENTIFIER=brixd\n"),
        std::string("PRIORITY=")})
    EXPECT_NE(blocks[0].find(field), std::string::npos) << field << " in\n" << blocks[0];
}

TEST_F(BrixdTest, MaintenanceWindowApprovesByFileTime) {
  const std::string during = InMount("during"), after = InMount("after");
  const uint64_t start = NowMillis() - 60000;
  const uint64_t end = NowMillis() + 1500;
  MakeProgram(during, "\nmade in the window");
  ImportManifest();
  StartDaemon({"--lockdown", "--maintenance", std::to_string(start), std::to_string(end)});
  EXPECT_EQ(Run({during}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);

  // File times are compared at a granularity of whole seconds: a file
  // made in the window's last second would still count as inside it.
  while (NowMillis() <= end + 1100) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  MakeProgram(after, "\nmade after the window");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({during}).status, 0);
  EXPECT_EQ(Run({after}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(BrixdTest, DriftInMaintenanceWindowIsRecordedRunsAndFollowsRenamesAndDeletes) {
  ImportManifest();
  const std::string program = InMount("fresh-tool");
  const std::string before = InMount("old-name"), after = InMount("new-name");
  const std::vector<std::string> window = {"--maintenance", std::to_string(NowMillis() - 1000),
                                           std::to_string(NowMillis() + 3600000)};
  StartDaemon(window);
  MakeProgram(program, "\nwritten in the window");
  MakeProgram(before, "\nrenamed");
  ASSERT_EQ(rename(before.c_str(), after.c_str()), 0);
  // Stopping takes every queued change first.
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("driftWrites"), 2);
  EXPECT_EQ(Counter("driftRenames"), 1);
  const std::string drift = Export("drift");
  for (const char* name : {"fresh-tool", "new-name"})
    EXPECT_NE(drift.find(name), std::string::npos) << drift;
  EXPECT_EQ(drift.find("old-name"), std::string::npos) << drift;

  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({program}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);

  StartDaemon(window);
  ASSERT_EQ(unlink(program.c_str()), 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("driftDeletes"), 1);
  EXPECT_EQ(Export("drift").find("fresh-tool"), std::string::npos);
}

TEST_F(BrixdTest, DeadlineAnswersWithTheFailurePolicy) {
  // Hashing this takes far longer than the deadline.
  const std::string big = InMount("big");
  MakeProgram(big, "\nbig", 400u << 20);
  ImportManifest();
  const struct {
    std::string policy;
    int status;
    std::string counter;
  } kPolicies[] = {
      {"--fail-closed", -EPERM, "deadlineDenied"},
      {"--fail-open", 0, "deadlineAllowed"},
  };
  for (const auto& p : kPolicies) {
    StartDaemon({"--lockdown", "--deadline", "100", p.policy, "--max-hash-size", "1G"});
    const auto begin = Clock::now();
    EXPECT_EQ(Run({big}).status, p.status) << p.policy;
    EXPECT_LT(MillisSince(begin), 1000) << p.policy;
    ASSERT_EQ(StopDaemon(), 0);
    EXPECT_EQ(Counter("deadlineAnswers"), 1) << p.policy;
    EXPECT_EQ(Counter(p.counter), 1) << p.policy;
  }
}

TEST_F(BrixdTest, BadCommandLinesChangeNothing) {
  const ChildRun noWatch = Run({BRIXD_PATH, "--db", db_});
  EXPECT_EQ(noWatch.status, 2);
  EXPECT_NE(noWatch.err.find("--watch"), std::string::npos) << noWatch.err;
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--deadline", "0"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--threads", "x"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--fail-open", "--fail-closed"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--maintenance", "5", "4"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--bogus"}).status, 2);
  // A flag given a value is refused, not taken as the flag.
  const ChildRun valued = Run({BRIXD_PATH, "--watch", mnt_, "--lockdown=no"});
  EXPECT_EQ(valued.status, 2);
  EXPECT_NE(valued.err.find("--lockdown takes no value"), std::string::npos) << valued.err;
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--fail-closed=0"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--max-hash-size", "12X"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--watch", mnt_, "--bpf-pin-dir", "pins"}).status, 2);
  EXPECT_EQ(Run({BRIXD_PATH, "--release=yes"}).status, 2);
  EXPECT_FALSE(std::filesystem::exists(db_));
  const ChildRun version = Run({BRIXD_PATH, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err.rfind("brixd " BRIX_HOST_VERSION "\n", 0), 0u) << version.err;
}

}  // namespace
}  // namespace brixd_test
