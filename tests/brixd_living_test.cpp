// Tests of living with brixd under lockdown on a private tmpfs: data files
// named to an interpreter stay data, rule changes made while brixd runs
// apply at once (and on SIGHUP), and `brixctl status` tells the state.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

void MakeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
}

// An execution ruleset naming `program` by hash, written now (under
// lockdown the test itself could not read an unknown program later).
std::string RulesetFor(const std::string& program, const std::string& action) {
  brix_host::FileDigests digests;
  std::string error;
  EXPECT_TRUE(brix_host::HashFile(program, &digests, &error)) << error;
  return "{\"rules\": [{\"fileName\": \"" + std::filesystem::path(program).filename().string() +
         "\", \"sha256\": \"" + brix_host::ToHex(digests.sha256.data(), digests.sha256.size()) +
         "\", \"size\": 0, \"action\": \"" + action + "\"}]}";
}

TEST_F(BrixdTest, InterpreterRunsItsFirstCommandLineFileAndReadsTheOthers) {
  const std::string python = "/usr/bin/python3", bash = "/bin/bash";
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  const std::string tool = InMount("tool.py"), restart = InMount("restart.py");
  const std::string shTool = InMount("import.sh"), data = InMount("data.txt");
  const std::string csv = InMount("input.csv"), evil = InMount("evil.py");
  const std::string evilText = InMount("evil.txt"), link = InMount("link");
  const std::string other = InMount("other.py"), direct = InMount("direct");
  // Reads every file named after it.
  MakeText(tool, "import sys\nfor name in sys.argv[1:]:\n    open(name).read()\nprint('read')\n");
  // Reads its operand, then runs Python again on it: a new image.
  MakeText(restart, "import os, sys\nopen(sys.argv[1]).read()\n"
                    "os.execv(sys.executable, [sys.executable, sys.argv[1]])\n");
  // Reads its operand itself and in a subshell (a fork of the same image).
  MakeText(shTool, "read -r line < \"$1\"\n(read -r again < \"$1\"; echo \"$again\")\n");
  MakeText(data, "print('EXECUTED')\n");
  MakeText(csv, "a,b\n");
  MakeText(evil, "print('EXECUTED')\n");
  MakeText(evilText, "print('EXECUTED')\n");
  MakeText(other, "VALUE = 1\n");
  // Started by its #! line: the kernel's start, then the interpreter's open.
  MakeText(direct, "#!" + python + "\nimport sys\nopen(sys.argv[1]).read()\n");
  ASSERT_EQ(chmod(direct.c_str(), 0755), 0);
  ASSERT_EQ(symlink(evilText.c_str(), link.c_str()), 0);
  for (const std::string& known : {tool, restart, shTool, direct})
    ASSERT_EQ(Brixctl({"scan", known}).status, 0) << known;
  ImportManifest();
  StartDaemon({"--lockdown"});

  const struct {
    std::vector<std::string> argv;
    bool runs;
  } kCases[] = {
      {{python, tool, data}, true},              // unknown data after a known script
      {{python, tool, data, csv}, true},
      {{bash, shTool, csv}, true},
      {{direct, data}, true},
      {{direct, data}, true},                    // again, with the start remembered
      {{loader, python, tool, data}, true},      // the loader runs python: its operands count
      {{python, evil, data}, false},             // the script is unknown
      {{loader, python, evil, data}, false},
      {{python, data, evil}, false},             // the first file is the script
      {{python, link}, false},                   // a link names the script as well
      {{python, tool, other}, false},            // data with a script's extension is judged
      {{python, restart, data}, false},          // the new image runs data.txt
  };
  for (const auto& c : kCases) {
    const ChildRun run = Run(c.argv);
    std::string line;
    for (const std::string& arg : c.argv) line += arg + " ";
    if (c.runs) {
      EXPECT_EQ(run.status, 0) << line << run.err;
    } else {
      EXPECT_NE(run.status, 0) << line << run.err;
      EXPECT_NE(run.err.find("not permitted"), std::string::npos) << line << run.err;
      EXPECT_EQ(run.err.find("EXECUTED"), std::string::npos) << line << run.err;
    }
  }
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("argumentReads"), 5);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
}

TEST_F(BrixdTest, RuleChangesApplyWhileBrixdRuns) {
  const std::string fresh = InMount("fresh"), known = InMount("known");
  const std::string trustedFolder = InMount("trusted"), trusted = trustedFolder + "/tool";
  MakeProgram(fresh, "\nfresh");
  MakeProgram(known, "\nknown");
  ASSERT_EQ(mkdir(trustedFolder.c_str(), 0755), 0);
  MakeProgram(trusted, "\ntrusted");
  ASSERT_EQ(Brixctl({"scan", known}).status, 0);
  ImportManifest();
  const std::string allow = PathIn("allow.json"), block = PathIn("block.json");
  const std::string trust = PathIn("trust.json"), noTrust = PathIn("none.json");
  std::ofstream(allow) << RulesetFor(fresh, "allow");
  std::ofstream(block) << RulesetFor(known, "block");
  std::ofstream(trust) << "{\"Trustrules\": [{\"paths\": \"" << trustedFolder
                       << "/*\", \"trustType\": 2}]}";
  std::ofstream(noTrust) << "{\"Trustrules\": []}";
  ASSERT_EQ(Brixctl({"import", "site-trustrules", trust}).status, 0);
  StartDaemon({"--lockdown"});

  // Each change, made by brixctl while brixd runs, shows within a second
  // (given a little more on a loaded machine).
  auto waitFor = [&](const std::string& program, int status) {
    const auto begin = Clock::now();
    while (Run({program}).status != status && MillisSince(begin) < 3000)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    printf("%s: %d after %ld ms\n", program.c_str(), status, MillisSince(begin));
    return Run({program}).status == status;
  };
  EXPECT_EQ(Run({fresh}).status, -EPERM);
  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({trusted}).status, 0);
  const struct {
    std::vector<std::string> brixctl;
    std::string program;
    int status;
  } kChanges[] = {
      {{"import", "--append", "site-allow", allow}, fresh, 0},         // newly allowed
      {{"import", "--append", "site-block", block}, known, -EPERM},    // newly blocked
      {{"import", "site-trustrules", noTrust}, trusted, -EPERM},       // trust withdrawn
  };
  for (const auto& change : kChanges) {
    const ChildRun run = Brixctl(change.brixctl);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(waitFor(change.program, change.status)) << change.program << ReadAll(log_);
  }
  // On demand as well.
  const double before = Counter("engineReloads");
  kill(daemon_, SIGHUP);
  const auto begin = Clock::now();
  while (ReadAll(log_).find("rules reloaded (SIGHUP)") == std::string::npos &&
         MillisSince(begin) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(ReadAll(log_).find("rules reloaded (SIGHUP)"), std::string::npos) << ReadAll(log_);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("engineReloads"), before + 1);
  EXPECT_EQ(Counter("reloadFailures"), 0);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
}

TEST_F(BrixdTest, StatusTellsTheStateAndWhetherBrixdShouldRun) {
  if (access("/etc/systemd/system/multi-user.target.wants/brixd.service", F_OK) == 0)
    GTEST_SKIP() << "brixd is enabled on this machine: status always expects it";
  const std::string journal = PathIn("journal.jsonl");
  ImportManifest();
  StartDaemon({"--lockdown", "--journal", journal});
  auto status = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {BRIXCTL_PATH, "status", "--stats-file", stats_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Run(argv);
  };
  ChildRun run = status({"--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  cJSON* doc = cJSON_Parse(run.err.c_str());  // Run sends both streams to one file
  ASSERT_NE(doc, nullptr) << run.err;
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(doc, "running")));
  EXPECT_EQ(cJSON_GetObjectItem(doc, "pid")->valuedouble, daemon_);
  const cJSON* mode = cJSON_GetObjectItem(doc, "mode");
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(mode, "lockdown")));
  EXPECT_STREQ(cJSON_GetObjectItem(mode, "failPolicy")->valuestring, "closed");
  EXPECT_STREQ(cJSON_GetArrayItem(cJSON_GetObjectItem(doc, "watch"), 0)->valuestring, mnt_.c_str());
  const cJSON* database = cJSON_GetObjectItem(doc, "database");
  EXPECT_GT(cJSON_GetObjectItem(database, "size")->valuedouble, 0);
  EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(database, "totalTrustRules")));
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(doc, "journal"), "path")->valuestring,
               journal.c_str());
  EXPECT_NE(cJSON_GetObjectItem(doc, "counters"), nullptr);
  cJSON_Delete(doc);
  run = status({});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("lockdown, fail-closed"), std::string::npos) << run.err;

  // Another user: the stats file (mode 0640) is closed to them, /proc is not.
  run = Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
             BRIXCTL_PATH, "status", "--stats-file", stats_, "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("\"running\":true"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;

  // Stopped: not expected to run.  Killed: it should, and status says so.
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(status({}).status, 0);
  StartDaemon({"--lockdown"});
  kill(daemon_, SIGKILL);
  waitpid(daemon_, nullptr, 0);
  daemon_ = -1;
  run = status({});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find("ended without a stop"), std::string::npos) << run.err;

  // Whatever brixd wrote, or did not: never a crash, missing is unknown.
  const struct {
    const char* document;
    int status;
  } kDocuments[] = {
      {"", 0}, {"not json", 0}, {"{}", 0}, {"{\"state\": {}}", 0},
      {"{\"state\": {\"running\": true, \"pid\": 2147483000}, \"brixd\": {\"latency\": {}}}", 3},
  };
  for (const auto& d : kDocuments) {
    std::ofstream(stats_, std::ios::trunc) << d.document;
    EXPECT_EQ(status({}).status, d.status) << d.document;
    EXPECT_EQ(status({"--json"}).status, d.status) << d.document;
  }
}

}  // namespace
}  // namespace brixd_test
