// Tests of brixd enforcing on a real mount: decisions, drift, deadlines,
// signals and the command line.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

TEST_F(BrixdTest, LockdownRunsScannedProgramAndBlocksUnknownCopy) {
  const std::string known = InMount("known");
  const std::string unknown = InMount("unknown");
  MakeProgram(known, "");
  MakeProgram(unknown, "\nnot scanned");
  ASSERT_EQ(Brixctl({"scan", known}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown"});

  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({known}).status, 0);  // second start: no event (the kernel's ignore mark)
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(Run({unknown}).status, -EPERM);

  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("execEvents"), 3);
  EXPECT_EQ(Counter("allowed"), 1);
  EXPECT_EQ(Counter("blocked"), 2);
  EXPECT_EQ(Counter("ignoreMarks"), 1);
  // Hashed once each; the second unknown start reuses its digests.
  EXPECT_EQ(Counter("cacheMisses"), 2);
  EXPECT_EQ(Counter("cacheHits"), 1);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
  EXPECT_NE(ReadAll(log_).find("blocked " + unknown), std::string::npos);
  // The stats file carries the engine's own metrics beside brixd's.
  EXPECT_NE(ReadAll(stats_).find("\"engine\""), std::string::npos);
}

size_t LineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

// Lockdown never claims what it does not do: without a database brixd
// does not start (and makes none); without an agent manifest it starts
// saying that it only logs, or refuses to with --require-manifest.
TEST_F(BrixdTest, LockdownSaysWhenItOnlyLogs) {
  const std::vector<std::string> command = {BRIXD_PATH, "--db",       db_,       "--watch",
                                            mnt_,       "--log-file", log_,      "--lockdown",
                                            "--stats-file", stats_};
  const ChildRun missing = Run(command);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.rfind("brixd: no rule database at " + db_, 0), 0u) << missing.err;
  EXPECT_EQ(LineCount(missing.err), 1u) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(db_));
  EXPECT_FALSE(std::filesystem::exists(log_));

  MakeDatabase();
  std::vector<std::string> strict = command;
  strict.push_back("--require-manifest");
  const ChildRun refused = Run(strict);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("brixd: lockdown refused (--require-manifest): " + db_ +
                                  " holds no agent manifest",
                              0),
            0u)
      << refused.err;
  EXPECT_EQ(LineCount(refused.err), 1u) << refused.err;

  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nnew");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({unknown}).status, 0);
  EXPECT_EQ(StopDaemon(), 0);
  std::string log = ReadAll(log_);
  EXPECT_NE(log.find("lockdown NOT enforced: only logging, because " + db_ +
                     " holds no agent manifest"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("let through, lockdown only logs until an agent manifest is imported: " +
                     unknown + " started by"),
            std::string::npos)
      << log;
  EXPECT_EQ(Counter("manifestWaits"), 1);
  EXPECT_NE(ReadAll(stats_).find("log only: lockdown waits for an agent manifest"),
            std::string::npos);

  // With the manifest: enforced, said so, and each block logged once.
  ImportManifest();
  const size_t before = ReadAll(log_).size();
  StartDaemon({"--lockdown", "--require-manifest"});
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
  log = ReadAll(log_).substr(before);
  EXPECT_NE(log.find("; lockdown on, "), std::string::npos) << log;
  EXPECT_EQ(Occurrences(log, unknown), 1u) << log;
  EXPECT_NE(ReadAll(stats_).find("\"lockdown\""), std::string::npos);
}

// A clean stop leaves no error behind, and a failed start says why in
// one line, first, and leaves nothing behind.
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
  const std::string copy = PathIn("bin");
  ASSERT_EQ(mkdir(copy.c_str(), 0755), 0);
  for (const std::string file : {BRIXD_PATH, BRIX_LIBRARY_PATH})
    std::filesystem::copy_file(file, copy + "/" + std::filesystem::path(file).filename().string());
  ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
  const std::string journal = PathIn("logs/journal.jsonl");
  const struct {
    std::vector<std::string> argv;
    std::string cause;
  } cases[] = {
      {{BRIXD_PATH, "--db", PathIn("typo.db"), "--watch", mnt_, "--journal", journal},
       "no rule database at " + PathIn("typo.db")},
      {{BRIXD_PATH, "--db", db_, "--watch", PathIn("nowhere"), "--journal", journal},
       "cannot watch " + PathIn("nowhere") + ": No such file or directory"},
      {{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
        copy + "/brixd", "--db", db_, "--watch", mnt_, "--journal", journal},
       db_ + ": Permission denied"},
  };
  for (const auto& c : cases) {
    const ChildRun run = Run(c.argv);
    EXPECT_EQ(run.status, 1) << c.cause;
    EXPECT_EQ(run.err.rfind("brixd: " + c.cause, 0), 0u) << run.err;
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    EXPECT_FALSE(std::filesystem::exists(PathIn("typo.db")));
    EXPECT_FALSE(std::filesystem::exists(PathIn("logs"))) << c.cause;
  }
}

TEST_F(BrixdTest, LogOnlyLogsWhatLockdownWouldBlockAndMakesTheJournalFolder) {
  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nnew");
  const std::string journal = PathIn("logs/brix/journal.jsonl");
  ASSERT_EQ(mkdir(PathIn("logs").c_str(), 0755), 0);
  StartDaemon({"--journal", journal});
  EXPECT_EQ(Run({unknown}).status, 0);
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_NE(ReadAll(log_).find("would be blocked under lockdown: " + unknown + " started by"),
            std::string::npos)
      << ReadAll(log_);
  struct stat st {};
  ASSERT_EQ(stat(PathIn("logs/brix").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_NE(ReadAll(journal).find(unknown), std::string::npos);
}

// Under systemd each decision reaches the system journal as one entry
// with fields.  The journal's socket is this test's own, on a /run that
// only this test's namespace sees.
TEST_F(BrixdTest, DecisionsReachTheSystemJournalWithFields) {
  ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, "size=1m"), 0) << strerror(errno);
  std::filesystem::create_directories("/run/systemd/journal");
  const int sink = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(sink, 0);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, "/run/systemd/journal/socket");
  ASSERT_EQ(bind(sink, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0)
      << strerror(errno);
  ASSERT_EQ(setenv("INVOCATION_ID", "0123456789abcdef0123456789abcdef", 1), 0);

  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nnew");
  ImportManifest();
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
  std::vector<std::string> entries;
  char buffer[8192];
  for (ssize_t n; (n = recv(sink, buffer, sizeof(buffer), 0)) > 0;)
    entries.emplace_back(buffer, static_cast<size_t>(n));
  close(sink);
  size_t blocked = 0;
  for (const std::string& entry : entries) {
    if (entry.find("BRIX_PATH=" + unknown + "\n") == std::string::npos) continue;
    ++blocked;
    for (const std::string& field :
         {"MESSAGE=blocked " + unknown + " started by", std::string("BRIX_VERDICT=blocked\n"),
          std::string("BRIX_KIND=start\n"), std::string("SYSLOG_IDENTIFIER=brixd\n"),
          std::string("PRIORITY=")})
      EXPECT_NE(entry.find(field), std::string::npos) << field << " in\n" << entry;
  }
  EXPECT_EQ(blocked, 1u) << entries.size() << " entries";
}

TEST_F(BrixdTest, ChangedProgramIsHashedAgain) {
  // Same path and inode, new content: the cached digests must not be
  // used for it.
  const std::string program = InMount("tool");
  MakeProgram(program, "");
  ASSERT_EQ(Brixctl({"scan", program}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({program}).status, 0);
  {
    std::ofstream append(program, std::ios::app | std::ios::binary);
    append << "changed";
  }
  EXPECT_EQ(Run({program}).status, -EPERM);
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(BrixdTest, MaintenanceWindowApprovesByFileTime) {
  const std::string during = InMount("during");
  const std::string after = InMount("after");
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

TEST_F(BrixdTest, ExecutionRulesetAllowsHashUnderLockdown) {
  const std::string program = InMount("allowed-by-rule");
  MakeProgram(program, "\nruleset");
  ImportManifest();
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({program}).status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);

  ImportRuleset("site-rules", program, "allow");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({program}).status, 0);
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(BrixdTest, BlockedHashFailsOutsideLockdown) {
  const std::string banned = InMount("banned");
  const std::string other = InMount("other");
  MakeProgram(banned, "\nbanned");
  MakeProgram(other, "\nunknown but not banned");
  ImportManifest();
  ImportRuleset("site-rules", banned, "block");
  StartDaemon({});
  EXPECT_EQ(Run({banned}).status, -EPERM);
  EXPECT_EQ(Run({other}).status, 0);  // unknown: logged only
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(BrixdTest, ScriptStartedDirectlyIsDecided) {
  const std::string script = InMount("x.sh");
  std::ofstream(script) << "#!/bin/sh\nexit 3\n";
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  ImportManifest();
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({script}).status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);

  ASSERT_EQ(Brixctl({"scan", script}).status, 0);
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({script}).status, 3);
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(BrixdTest, DriftInMaintenanceWindowIsRecordedRunsAndLeavesOnDelete) {
  ImportManifest();
  const std::string program = InMount("fresh-tool");
  StartDaemon({"--maintenance", std::to_string(NowMillis() - 1000),
               std::to_string(NowMillis() + 3600000)});
  MakeProgram(program, "\nwritten in the window");
  // Stopping takes every queued change first.
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("driftWrites"), 1);
  const std::string drift = Export("drift");
  EXPECT_NE(drift.find("fresh-tool"), std::string::npos) << drift;

  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({program}).status, 0);
  ASSERT_EQ(StopDaemon(), 0);

  StartDaemon({"--maintenance", std::to_string(NowMillis() - 1000),
               std::to_string(NowMillis() + 3600000)});
  ASSERT_EQ(unlink(program.c_str()), 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("driftDeletes"), 1);
  EXPECT_EQ(Export("drift").find("fresh-tool"), std::string::npos);
}

TEST_F(BrixdTest, RenameInMaintenanceWindowMovesTheItem) {
  ImportManifest();
  const std::string before = InMount("old-name");
  const std::string after = InMount("new-name");
  StartDaemon({"--maintenance", std::to_string(NowMillis() - 1000),
               std::to_string(NowMillis() + 3600000)});
  MakeProgram(before, "\nrenamed");
  ASSERT_EQ(rename(before.c_str(), after.c_str()), 0);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("driftRenames"), 1);
  const std::string drift = Export("drift");
  EXPECT_NE(drift.find("new-name"), std::string::npos) << drift;
  EXPECT_EQ(drift.find("old-name"), std::string::npos) << drift;
}

TEST_F(BrixdTest, DeadlineAnswersWithTheFailurePolicy) {
  // Hashing this takes far longer than the deadline.
  const std::string big = InMount("big");
  MakeProgram(big, "\nbig", 400u << 20);
  ImportManifest();
  StartDaemon({"--lockdown", "--deadline", "100", "--fail-closed", "--max-hash-size", "1G"});
  const auto begin = Clock::now();
  EXPECT_EQ(Run({big}).status, -EPERM);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  EXPECT_LT(took.count(), 1000) << "answered after " << took.count() << " ms";
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("deadlineAnswers"), 1);
  EXPECT_EQ(Counter("deadlineDenied"), 1);
  EXPECT_NE(ReadAll(log_).find("within 100 ms: denied"), std::string::npos);
}

TEST_F(BrixdTest, DeadlineFailOpenLetsTheProgramRun) {
  const std::string big = InMount("big");
  MakeProgram(big, "\nbig", 400u << 20);
  ImportManifest();
  StartDaemon({"--lockdown", "--deadline", "100", "--fail-open", "--max-hash-size", "1G"});
  const auto begin = Clock::now();
  EXPECT_EQ(Run({big}).status, 0);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  EXPECT_LT(took.count(), 1000) << "answered after " << took.count() << " ms";
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("deadlineAllowed"), 1);
}

TEST_F(BrixdTest, KilledDaemonLeavesTheMountUsable) {
  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nunknown");
  ImportManifest();
  StartDaemon({"--lockdown"});
  ASSERT_EQ(Run({unknown}).status, -EPERM);
  ASSERT_EQ(kill(daemon_, SIGKILL), 0);
  ASSERT_EQ(waitpid(daemon_, nullptr, 0), daemon_);
  daemon_ = -1;
  // The kernel dropped the group with the process: nothing decides now.
  EXPECT_EQ(Run({unknown}).status, 0);
}

TEST_F(BrixdTest, HangupReopensTheLog) {
  StartDaemon({});
  const std::string moved = PathIn("brixd.log.1");
  ASSERT_EQ(rename(log_.c_str(), moved.c_str()), 0);
  ASSERT_EQ(kill(daemon_, SIGHUP), 0);
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < limit && ReadAll(log_).find("reopened") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(ReadAll(log_).find("reopened"), std::string::npos);
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_NE(ReadAll(log_).find("stopped:"), std::string::npos);
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
