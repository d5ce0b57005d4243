// Tests of brixd enforcing on a real mount.  Each test runs in a process
// of its own that first moves into a private mount namespace and mounts a
// tmpfs there: brixd watches only that mount, and the mount vanishes with
// the test process whatever happens.  brixd runs as a child that the
// kernel kills when the test process dies, and every test stops it by its
// process id.  Needs root (fanotify and mount), as CI has.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "FileDigest.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ChildRun {
  int status = -1;  // exit status, or -errno when exec itself failed
  std::string err;
};

uint64_t NowMillis() { return GetCurrentTimeInMillisForTest(); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A copy of /bin/true; `salt` appended after the program changes its
// digests but not what it does.
void MakeProgram(const std::string& path, const std::string& salt, size_t padding = 0) {
  std::string content = ReadAll("/bin/true") + salt;
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (padding > 0) {
    std::string zeros(1 << 20, '\0');
    for (size_t done = 0; done < padding; done += zeros.size()) out << zeros;
  }
  out.close();
  ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
}

class BrixdTest : public TempDirTest {
 protected:
  // Outside /tmp/: the engine leaves drift there unrecorded.
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(geteuid(), 0u) << "brixd's tests need root for fanotify and mount";
    // A private namespace: the tmpfs is seen by this process and its
    // children only, and goes away with them.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    mnt_ = PathIn("mnt");
    ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=1g"), 0) << strerror(errno);
    mounted_ = true;
    db_ = PathIn("ac.db");
    log_ = PathIn("brixd.log");
    stats_ = PathIn("stats.json");
  }

  void TearDown() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGKILL);
      waitpid(daemon_, nullptr, 0);
      daemon_ = -1;
    }
    if (mounted_) umount2(mnt_.c_str(), MNT_DETACH);
    TempDirTest::TearDown();
  }

  std::string InMount(const std::string& name) const { return mnt_ + "/" + name; }

  // Runs `argv` and waits for it.
  ChildRun Run(const std::vector<std::string>& argv) {
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    const std::string errPath = PathIn(".err");
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, STDERR_FILENO);
      dup2(err, STDOUT_FILENO);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      const int why = errno;
      (void)!write(report[1], &why, sizeof(why));
      _exit(127);
    }
    close(report[1]);
    int why = 0;
    const bool execFailed = read(report[0], &why, sizeof(why)) == sizeof(why);
    close(report[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    ChildRun run;
    run.status = execFailed ? -why : (WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    run.err = ReadAll(errPath);
    return run;
  }

  ChildRun Brixctl(std::vector<std::string> args) {
    args.insert(args.begin(), {BRIXCTL_PATH, "--db", db_});
    return Run(args);
  }

  // The agent manifest ends lockdown's wait for one; without it blocks
  // are only logged.
  void ImportManifest() {
    const std::string path = PathIn("manifest.json");
    std::ofstream(path) << "{\"rules\": []}";
    ASSERT_EQ(Brixctl({"import", "agent-manifest", path}).status, 0);
  }

  void ImportRuleset(const std::string& name, const std::string& program,
                     const std::string& action) {
    brix_host::FileDigests digests;
    std::string error;
    ASSERT_TRUE(brix_host::HashFile(program, &digests, &error)) << error;
    const std::string path = PathIn(name + ".json");
    std::ofstream(path) << "{\"rules\": [{\"fileName\": \""
                        << std::filesystem::path(program).filename().string()
                        << "\", \"sha256\": \""
                        << brix_host::ToHex(digests.sha256.data(), digests.sha256.size())
                        << "\", \"size\": 0, \"action\": \"" << action << "\"}]}";
    const ChildRun run = Brixctl({"import", name, path});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // Starts brixd on the mount with `extra` options and waits until it
  // watches.
  void StartDaemon(const std::vector<std::string>& extra) {
    ASSERT_LE(daemon_, 0) << "brixd already runs";
    const size_t logged = ReadAll(log_).size();
    std::vector<std::string> argv = {BRIXD_PATH, "--db", db_, "--watch", mnt_,
                                     "--log-file", log_, "--stats-file", stats_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const pid_t pid = fork();
    if (pid == 0) {
      // Never outlive the test: a daemon left behind would keep deciding.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(BRIXD_PATH, args.data());
      _exit(127);
    }
    daemon_ = pid;
    const auto limit = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < limit) {
      if (ReadAll(log_).find("ready: ", logged) != std::string::npos) return;
      int status = 0;
      if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        FAIL() << "brixd ended at start: " << ReadAll(log_);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "brixd not ready in time: " << ReadAll(log_);
  }

  // SIGTERM and a wait; the exit status, or -1 when it had to be killed.
  int StopDaemon() {
    if (daemon_ <= 0) return -1;
    kill(daemon_, SIGTERM);
    const auto limit = Clock::now() + std::chrono::seconds(15);
    int status = 0;
    while (Clock::now() < limit) {
      if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
    return -1;
  }

  // A counter from the "brixd" object of the stats file.
  double Counter(const std::string& name) {
    cJSON* root = cJSON_Parse(ReadAll(stats_).c_str());
    if (root == nullptr) return -1;
    const cJSON* own = cJSON_GetObjectItem(root, "brixd");
    const cJSON* item = own ? cJSON_GetObjectItem(own, name.c_str()) : nullptr;
    const double value = cJSON_IsNumber(item) ? item->valuedouble : -1;
    cJSON_Delete(root);
    return value;
  }

  // The inventory items of one source as exported JSON lines.
  std::string Export(const std::string& source) {
    const std::string out = PathIn("export-" + source + ".jsonl");
    const ChildRun run = Brixctl({"export", "--source", source, out});
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadAll(out);
  }

  std::string mnt_, db_, log_, stats_;
  bool mounted_ = false;
  pid_t daemon_ = -1;
};

TEST_F(BrixdTest, LockdownRunsScannedProgramAndBlocksUnknownCopy) {
  const std::string known = InMount("known");
  const std::string unknown = InMount("unknown");
  MakeProgram(known, "");
  MakeProgram(unknown, "\nnot scanned");
  ASSERT_EQ(Brixctl({"scan", known}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown"});

  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({known}).status, 0);  // second start: the engine's allow cache
  EXPECT_EQ(Run({unknown}).status, -EPERM);
  EXPECT_EQ(Run({unknown}).status, -EPERM);

  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("execEvents"), 4);
  EXPECT_EQ(Counter("allowed"), 2);
  EXPECT_EQ(Counter("blocked"), 2);
  // Hashed once each; the second unknown start reuses its digests.
  EXPECT_EQ(Counter("cacheMisses"), 2);
  EXPECT_EQ(Counter("cacheHits"), 1);
  EXPECT_EQ(Counter("verdictCacheHits"), 1);
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
  EXPECT_FALSE(std::filesystem::exists(db_));
  // A folder that does not exist is refused at start, with its name.
  const ChildRun missing = Run({BRIXD_PATH, "--db", db_, "--watch", PathIn("nowhere")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nowhere"), std::string::npos) << missing.err;
}

}  // namespace
