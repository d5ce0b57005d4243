// From log-only to lockdown, as an administrator goes: brixd watches a
// workload in log-only mode and journals it, `brixctl report` lists what
// lockdown would stop, `brixctl suggest` writes rulesets, they are
// imported, and brixd under lockdown then lets the same workload run while
// a new unknown program is refused.  On a private tmpfs in a private mount
// namespace; brixd dies with the test process and is stopped by its id.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

class LockdownJourneyTest : public TempDirTest {
 protected:
  // Outside /tmp/: the engine keeps no drift there, and suggest trusts
  // nothing below a world-writable folder.
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(geteuid(), 0u) << "needs root for fanotify and mount";
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    mnt_ = PathIn("mnt");
    ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
    // mode=0755: a tmpfs root is world-writable by default, and nothing
    // below such a folder is ever suggested.
    ASSERT_EQ(mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=64m,mode=0755"), 0) << strerror(errno);
    mounted_ = true;
  }

  void TearDown() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGKILL);
      waitpid(daemon_, nullptr, 0);
    }
    if (mounted_) umount2(mnt_.c_str(), MNT_DETACH);
    TempDirTest::TearDown();
  }

  // Runs argv[0] with output to `out`; the exit status, or -errno when
  // the kernel refused to start it.
  int Spawn(std::vector<std::string> argv, const std::string& out = "/dev/null") {
    return SpawnAndWait(std::move(argv), out, PathIn("stderr"));
  }

  int Brixctl(std::vector<std::string> args, const std::string& out = "/dev/null") {
    args.insert(args.begin(), {BRIXCTL_PATH, "--db", PathIn("ac.db")});
    return Spawn(args, out);
  }

  void StartBrixd(std::vector<std::string> extra) {
    const std::string log = PathIn("brixd.log");
    const size_t before = ReadFile(log).size();
    std::vector<std::string> argv = {BRIXD_PATH, "--db", PathIn("ac.db"), "--watch", mnt_,
                                     "--log-file", log, "--journal", PathIn("journal.jsonl")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    daemon_ = fork();
    if (daemon_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      const int err = open(PathIn("brixd.stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      execv(BRIXD_PATH, args.data());
      _exit(127);
    }
    for (int i = 0; i < 1500; ++i) {
      if (ReadFile(log).find("ready: ", before) != std::string::npos) return;
      if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "brixd did not become ready: " << ReadFile(log);
  }

  void StopBrixd() {
    ASSERT_GT(daemon_, 0);
    kill(daemon_, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(daemon_, &status, 0), daemon_);
    daemon_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(PathIn("brixd.log"));
  }

  void MakeProgram(const std::string& path, const std::string& salt) {
    std::ofstream(path, std::ios::binary) << ReadFile("/bin/true") << salt;
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }

  // Starts two programs, builds a third and starts it; the exit statuses.
  std::vector<int> Workload() {
    return {Spawn({mnt_ + "/app/tool"}), Spawn({mnt_ + "/app/helper"}),
            Spawn({"/usr/bin/cc", "-o", mnt_ + "/build/hello", mnt_ + "/src/hello.c"}),
            Spawn({mnt_ + "/build/hello"})};
  }

  std::string mnt_;
  bool mounted_ = false;
  pid_t daemon_ = -1;
};

TEST_F(LockdownJourneyTest, WhatRanInLogOnlyModeRunsUnderLockdownAndNothingElse) {
  for (const char* folder : {"/app", "/src", "/build"})
    ASSERT_EQ(mkdir((mnt_ + folder).c_str(), 0755), 0);
  MakeProgram(mnt_ + "/app/tool", "\ntool");
  MakeProgram(mnt_ + "/app/helper", "\nhelper");
  std::ofstream(mnt_ + "/src/hello.c") << "int main(void) { return 0; }\n";
  // The manifest first: importing it later would replace the rulesets.
  std::ofstream(PathIn("manifest.json")) << "{\"rules\": []}";
  ASSERT_EQ(Brixctl({"import", "agent-manifest", PathIn("manifest.json")}), 0);

  // 1. Log-only: everything runs, and the journal keeps what was unknown.
  StartBrixd({});
  EXPECT_EQ(Workload(), (std::vector<int>{0, 0, 0, 0})) << ReadFile(PathIn("stderr"));
  StopBrixd();

  // 2. The report lists exactly the three unknown programs.
  ASSERT_EQ(Brixctl({"--json", "report", PathIn("journal.jsonl")}, PathIn("report.json")), 0);
  cJSON* report = cJSON_Parse(ReadFile(PathIn("report.json")).c_str());
  ASSERT_NE(report, nullptr) << ReadFile(PathIn("report.json"));
  std::set<std::string> unknown;
  for (const cJSON* file = cJSON_GetObjectItem(report, "unknown")->child; file; file = file->next) {
    EXPECT_EQ(JsonText(file, "kind"), "start");
    EXPECT_EQ(JsonText(file, "verdict"), "logged only");
    unknown.insert(JsonText(file, "path"));
  }
  EXPECT_EQ(unknown, (std::set<std::string>{mnt_ + "/app/tool", mnt_ + "/app/helper",
                                            mnt_ + "/build/hello"}));
  bool builtSeen = false;
  for (const cJSON* write = cJSON_GetObjectItem(report, "drift")->child; write; write = write->next)
    builtSeen |= JsonText(write, "path") == mnt_ + "/build/hello" &&
                 cJSON_IsTrue(cJSON_GetObjectItem(write, "ranUnknown"));
  EXPECT_TRUE(builtSeen) << "the build's output is drift that later ran";
  cJSON_Delete(report);

  // 3. Suggested rulesets, imported by hand.
  const std::string out = PathIn("suggested");
  ASSERT_EQ(Brixctl({"suggest", "--out", out, PathIn("journal.jsonl")}, PathIn("suggest.txt")), 0);
  EXPECT_NE(ReadFile(PathIn("suggest.txt")).find("3 execution rules"), std::string::npos)
      << ReadFile(PathIn("suggest.txt"));
  ASSERT_EQ(Brixctl({"import", "--append", "suggested-rules", out + "/suggested-rules.json"}), 0)
      << ReadFile(PathIn("stderr"));
  ASSERT_EQ(Brixctl({"import", "--append", "suggested-trustrules",
                     out + "/suggested-trustrules.json"}), 0)
      << ReadFile(PathIn("stderr"));

  // 4. Lockdown: the same workload, rebuild included, runs unchanged; a
  //    program nobody saw before is refused and journaled as blocked.
  MakeProgram(mnt_ + "/app/newcomer", "\nnew");
  StartBrixd({"--lockdown"});
  EXPECT_EQ(Workload(), (std::vector<int>{0, 0, 0, 0})) << ReadFile(PathIn("brixd.log"));
  EXPECT_EQ(Spawn({mnt_ + "/app/newcomer"}), -EPERM);
  StopBrixd();
  const std::string journal = ReadFile(PathIn("journal.jsonl"));
  const size_t blocked = journal.find("\"verdict\":\"blocked\",\"answer\":\"deny\",\"path\":\"" +
                                     mnt_ + "/app/newcomer\"");
  EXPECT_NE(blocked, std::string::npos) << journal;
}

}  // namespace
