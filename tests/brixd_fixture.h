// brixd_fixture.h: brixd running on a private tmpfs, for the tests that
// start the built daemon.  Each test runs in a process of its own that
// first moves into a private mount namespace and mounts a tmpfs there:
// brixd watches only that file system, and the mount vanishes with the
// test process whatever happens.  brixd runs as a child that the kernel
// kills when the test process dies, and every test stops it by its
// process id.  Needs root (fanotify and mount), as CI has.
//
// brixd's kernel programs are pinned on a BPF file system mounted in the
// same private namespace: no other test or brixd can see or replace
// them, and when the namespace ends the kernel drops the pins and so the
// programs, whatever happened.  TearDown removes them first anyway.
#ifndef BRIX_TESTS_BRIXD_FIXTURE_H_
#define BRIX_TESTS_BRIXD_FIXTURE_H_

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "FileDigest.h"
#include "test_util.h"

namespace brixd_test {

using Clock = std::chrono::steady_clock;

struct ChildRun {
  int status = -1;  // exit status, or -errno when exec itself failed
  std::string err;
};

inline uint64_t NowMillis() { return GetCurrentTimeInMillisForTest(); }

// A copy of /bin/true; `salt` appended after the program changes its
// digests but not what it does.
inline void MakeProgram(const std::string& path, const std::string& salt, size_t padding = 0) {
  std::ofstream out(path, std::ios::binary);
  out << ReadFile("/bin/true") + salt;
  if (padding > 0) {
    std::string zeros(1 << 20, '\0');
    for (size_t done = 0; done < padding; done += zeros.size()) out << zeros;
  }
  out.close();
  ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
}

// A copy of /bin/true grown to `size` bytes by a hole: huge on paper,
// cheap on a tmpfs.
inline void MakeSparseProgram(const std::string& path, const std::string& salt, off_t size) {
  MakeProgram(path, salt);
  ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

// A text file, by default without the execute bit: run by an interpreter
// only.
inline void MakeText(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// An execution ruleset naming `program` by hash, made now (under
// lockdown the test itself could not read an unknown program later).
inline std::string RulesetFor(const std::string& program, const std::string& action) {
  brix_host::FileDigests digests;
  std::string error;
  EXPECT_TRUE(brix_host::HashFile(program, &digests, &error)) << error;
  return "{\"rules\": [{\"fileName\": \"" + std::filesystem::path(program).filename().string() +
         "\", \"sha256\": \"" + brix_host::ToHex(digests.sha256.data(), digests.sha256.size()) +
         "\", \"size\": 0, \"action\": \"" + action + "\"}]}";
}

// A datagram socket bound at `path`, as systemd's journal and notify
// sockets are; -1 on failure.
inline int DatagramSocketAt(const std::string& path) {
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  memcpy(address.sun_path, path.c_str(), path.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline long MillisSince(Clock::time_point begin) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
}

// Polls `done` every `stepMillis` until it holds (true) or `seconds` pass.
template <typename Done>
bool WaitUntil(Done done, int seconds = 10, int stepMillis = 10) {
  for (const auto limit = Clock::now() + std::chrono::seconds(seconds); !done();) {
    if (Clock::now() >= limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMillis));
  }
  return true;
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
    bpf_ = PathIn("bpf");
    ASSERT_EQ(mkdir(bpf_.c_str(), 0700), 0);
    // Without a BPF file system brixd reports the guard as not available.
    mount("bpf", bpf_.c_str(), "bpf", 0, nullptr);
    pins_ = bpf_ + "/brixd";
    db_ = PathIn("ac.db");
    log_ = PathIn("brixd.log");
    stats_ = PathIn("stats.json");
  }

  void TearDown() override {
    KillDaemon();
    // What brixd pinned: unlinking a pin ends its program once no brixd
    // holds it.
    std::error_code ignored;
    std::filesystem::remove_all(pins_, ignored);
    // Either may not be mounted (or named yet): then this fails harmlessly.
    umount2(bpf_.c_str(), MNT_DETACH);
    umount2(mnt_.c_str(), MNT_DETACH);
    TempDirTest::TearDown();
  }

  std::string InMount(const std::string& name) const { return mnt_ + "/" + name; }

  // A copy of a built tool with the engine beside it, in a folder other
  // users may enter: the build tree may lie below a private folder.
  std::string ToolCopy(const std::string& tool) {
    const std::string bin = PathIn("bin");
    std::filesystem::create_directories(bin);
    chmod(bin.c_str(), 0755);
    chmod(dir().c_str(), 0755);
    for (const std::string& file : {tool, std::string(BRIX_LIBRARY_PATH)}) {
      const std::string to = bin + "/" + std::filesystem::path(file).filename().string();
      if (!std::filesystem::exists(to)) std::filesystem::copy_file(file, to);
    }
    return bin + "/" + std::filesystem::path(tool).filename().string();
  }

  // brixd said it loaded its kernel programs.
  bool KernelGuardActive() const {
    return ReadFile(log_).find("BPF LSM: ") != std::string::npos;
  }

  // Runs `argv` and waits for it; with `folder` open, from that folder;
  // with `unprivileged`, as the unprivileged user and group.  Safe from
  // several threads at once.
  ChildRun Run(const std::vector<std::string>& argv, int folder = -1, bool unprivileged = false) {
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    const std::string errPath = PathIn(".err" + std::to_string(runs_.fetch_add(1)));
    const pid_t pid = fork();
    if (pid == 0) {
      if (folder >= 0 && fchdir(folder) != 0) _exit(126);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, STDERR_FILENO);
      dup2(err, STDOUT_FILENO);
      if (unprivileged && !DropToUnprivileged()) _exit(125);
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
    return {execFailed ? -why : (WIFEXITED(status) ? WEXITSTATUS(status) : 128),
            ReadFile(errPath)};
  }

  ChildRun RunAsUser(const std::vector<std::string>& argv) { return Run(argv, -1, true); }

  // Runs `step` in a child as the unprivileged user; its exit status.
  template <typename Step>
  int AsUser(Step step) {
    const pid_t pid = fork();
    if (pid == 0) _exit(DropToUnprivileged() ? step() : 125);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

  static bool DropToUnprivileged() {
    return setgroups(0, nullptr) == 0 && setgid(kUnprivilegedId) == 0 &&
           setuid(kUnprivilegedId) == 0;
  }

  // Gives `path` to the unprivileged user: a file it may rewrite.
  static void GiveToUser(const std::string& path) {
    ASSERT_EQ(chown(path.c_str(), kUnprivilegedId, kUnprivilegedId), 0) << path;
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
    const std::string path = PathIn(name + ".json");
    std::ofstream(path) << RulesetFor(program, action);
    const ChildRun run = Brixctl({"import", name, path});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // brixd never creates a database: an empty one, made as an
  // administrator would, by a scan (of an empty folder).
  void MakeDatabase() {
    if (std::filesystem::exists(db_)) return;
    const std::string empty = PathIn("empty-folder");
    std::filesystem::create_directories(empty);
    const ChildRun run = Brixctl({"scan", empty});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // Starts brixd on the mount with `extra` options and waits until it
  // watches; makes the database first when there is none.
  void StartDaemon(const std::vector<std::string>& extra) {
    ASSERT_LE(daemon_, 0) << "brixd already runs";
    MakeDatabase();
    const size_t logged = ReadFile(log_).size();
    std::vector<std::string> argv = launcher_;
    argv.insert(argv.end(), {BRIXD_PATH, "--db", db_, "--watch", mnt_, "--log-file", log_,
                             "--stats-file", stats_});
    // Never the machine's own pin folder.
    if (std::find(extra.begin(), extra.end(), "--bpf-pin-dir") == extra.end())
      argv.insert(argv.end(), {"--bpf-pin-dir", pins_});
    argv.insert(argv.end(), extra.begin(), extra.end());
    const pid_t pid = fork();
    if (pid == 0) {
      // Never outlive the test: a daemon left behind would keep deciding.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    daemon_ = pid;
    bool ended = false;
    const bool ready = WaitUntil([&] {
      return ReadFile(log_).find("ready: ", logged) != std::string::npos ||
             (ended = waitpid(daemon_, nullptr, WNOHANG) == daemon_);
    }, 15);
    if (ready && !ended) return;
    if (ended) daemon_ = -1;
    FAIL() << (ended ? "brixd ended at start: " : "brixd not ready in time: ") << ReadFile(log_);
  }

  // SIGTERM and a wait; the exit status, or -1 when it had to be killed.
  int StopDaemon() {
    if (daemon_ <= 0) return -1;
    kill(daemon_, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(daemon_, &status, WNOHANG) == daemon_; }, 15)) {
      KillDaemon();
      return -1;
    }
    daemon_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // As a crash or an OOM kill ends it: no stop, no last stats.
  void KillDaemon() {
    if (daemon_ <= 0) return;
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
  }

  // Starts or commands, each with the exit status it must end with
  // (kFails: any but 0), a text its output must hold and one it must not
  // ("EXECUTED" marks data run as code).
  struct Expected {
    std::vector<std::string> argv;
    int status;
    std::string said = "";
    std::string unsaid = "EXECUTED";
  };
  static constexpr int kFails = 1000;
  void ExpectRuns(const std::vector<Expected>& rows, bool unprivileged = false) {
    for (const Expected& row : rows) {
      const ChildRun run = Run(row.argv, -1, unprivileged);
      SCOPED_TRACE(testing::PrintToString(row.argv) + " ended " + std::to_string(run.status) +
                   ":\n" + run.err);
      EXPECT_TRUE(row.status == kFails ? run.status != 0 : run.status == row.status);
      EXPECT_NE(run.err.find(row.said), std::string::npos);
      EXPECT_EQ(run.err.find(row.unsaid), std::string::npos);
    }
  }

  // A counter from the "brixd" object of the stats file.
  double Counter(const std::string& name) {
    // cJSON answers null for a member of null: no stats, no counter.
    cJSON* root = cJSON_Parse(ReadFile(stats_).c_str());
    const cJSON* item = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "brixd"), name.c_str());
    const double value = cJSON_IsNumber(item) ? item->valuedouble : -1;
    cJSON_Delete(root);
    return value;
  }

  // The inventory items of one source as exported JSON lines.
  std::string Export(const std::string& source) {
    const std::string out = PathIn("export-" + source + ".jsonl");
    const ChildRun run = Brixctl({"export", "--source", source, out});
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadFile(out);
  }

  // Waits until brixd's log holds `text` beyond its first `from` bytes.
  bool WaitLogged(const std::string& text, size_t from = 0) const {
    return WaitUntil([&] { return ReadFile(log_).find(text, from) != std::string::npos; });
  }

  // Bytes brixd has read so far (its hashing shows here).
  uint64_t DaemonReadBytes() const {
    std::ifstream in("/proc/" + std::to_string(daemon_) + "/io");
    std::string key;
    uint64_t value = 0;
    while (in >> key >> value)
      if (key == "rchar:") return value;
    return 0;
  }

  // Waits until brixd has read `more` bytes beyond `base`: it hashes.
  bool WaitDaemonReads(uint64_t base, uint64_t more) const {
    return WaitUntil([&] { return DaemonReadBytes() >= base + more; }, 10, 2);
  }

  std::atomic<unsigned> runs_{0};
  std::vector<std::string> launcher_;  // runs brixd when set (setpriv ...)
  std::string mnt_, db_, log_, stats_, bpf_, pins_;
  pid_t daemon_ = -1;
};

}  // namespace brixd_test

#endif  // BRIX_TESTS_BRIXD_FIXTURE_H_
