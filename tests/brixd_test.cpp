// Tests of brixd enforcing on a real mount: decisions, drift, deadlines,
// signals and the command line.
#include <sys/wait.h>

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

TEST_F(BrixdTest, WithoutManifestLockdownOnlyLogs) {
  const std::string unknown = InMount("unknown");
  MakeProgram(unknown, "\nnew");
  StartDaemon({"--lockdown"});
  EXPECT_EQ(Run({unknown}).status, 0);
  EXPECT_EQ(StopDaemon(), 0);
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
  // A folder that does not exist is refused at start, with its name.
  const ChildRun missing = Run({BRIXD_PATH, "--db", db_, "--watch", PathIn("nowhere")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nowhere"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace brixd_test
