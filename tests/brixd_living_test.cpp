// Tests of living with brixd under lockdown on a private tmpfs: programs,
// scripts run by interpreters whatever their mode bits, sourced files,
// bytecode caches and data files named to an interpreter, libraries
// through LD_PRELOAD, dlopen and the loader run as a program, the
// system's Python library, rule changes made while brixd runs (and on
// SIGHUP), writers that have ended, and `brixctl status` telling the
// state.
#include <regex>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

TEST_F(BrixdTest, LockdownDecidesProgramsScriptsAndLibrariesByDigest) {
  const std::string python = "/usr/bin/python3", bash = "/bin/bash", sh = "/bin/sh";
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  // Scripts and modules, without the execute bit.
  const std::string ok = InMount("ok.py"), mod = InMount("okmod.py"), table = InMount("table.csv");
  const std::string fresh = InMount("new.py"), shOk = InMount("ok.sh"), shNew = InMount("new.sh");
  const std::string sourcing = InMount("sourcing.sh"), lib = InMount("lib.sh");
  MakeText(mod, "VALUE = 7\n");
  MakeText(ok, "import sys\nsys.path.insert(0, '" + mnt_ + "')\nimport okmod\n"
               "print(open('" + table + "').read().strip(), okmod.VALUE)\n");
  MakeText(table, "a,b\n");
  MakeText(fresh, "print('new')\n");
  MakeText(shOk, "exit 0\n");
  MakeText(shNew, "exit 0  # not scanned\n");
  MakeText(lib, "LIB=1\n");
  MakeText(sourcing, ". " + lib + "\nexit 0\n");
  // Interpreters given several files: the first is the script.
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
  for (const std::string& text : {data, evil, evilText}) MakeText(text, "print('EXECUTED')\n");
  MakeText(csv, "a,b\n");
  MakeText(other, "VALUE = 1\n");
  // Started by its #! line: the kernel's start, then the interpreter's open.
  MakeText(direct, "#!" + python + "\nimport sys\nopen(sys.argv[1]).read()\n", 0755);
  ASSERT_EQ(symlink(evilText.c_str(), link.c_str()), 0);
  const std::string script = InMount("x.sh"), strangeScript = InMount("y.sh");
  MakeText(script, "#!/bin/sh\nexit 3\n", 0755);
  MakeText(strangeScript, "#!/bin/sh\nexit 0\n", 0755);
  // Programs and libraries.
  const std::string known = InMount("known.so"), unknown = InMount("unknown.so");
  const std::string program = InMount("prog"), stranger = InMount("stranger");
  const std::string changed = InMount("changed"), unshared = InMount("unshared");
  // A name that would forge a log line if written as it is.
  const std::string forger = InMount("evil\n2000-01-01T00:00:00.000 INFO forged");
  MakeText(known, ReadFile("/usr/lib/x86_64-linux-gnu/libm.so.6"));
  MakeText(unknown, ReadFile("/usr/lib/x86_64-linux-gnu/libm.so.6") + "not scanned");
  MakeProgram(program, "");
  MakeProgram(changed, "\nchanged later");
  for (const std::string& path : {stranger, unshared, forger}) MakeProgram(path, "\n" + path);
  for (const std::string& path : {ok, mod, shOk, sourcing, tool, restart, shTool, direct, script,
                                  known, program, changed})
    ASSERT_EQ(Brixctl({"scan", path}).status, 0) << path;
  ImportManifest();
  StartDaemon({"--lockdown"});

  const std::string load = "import ctypes, sys; ctypes.CDLL(sys.argv[1])";
  const std::string refused = "not permitted";
  ExpectRuns({
      {{python, ok}, 0, "a,b 7"},  // scanned, no execute bit; reads unknown data
      // Again: the bytecode cache the first run wrote is unknown; Python
      // falls back to the scanned source.
      {{python, ok}, 0},
      {{python, fresh}, kFails, refused},
      {{sh, shOk}, 0},
      {{sh, shNew}, kFails},
      {{sh, sourcing}, kFails},  // `. lib.sh`: unknown, refused
      // Ordinary programs read any file, and interpreters write them.
      {{"/bin/cat", shNew, fresh, lib}, 0},
      {{sh, "-c", "echo 'exit 1' > " + shNew}, 0},
      {{python, tool, data}, 0},  // unknown data after a known script
      {{python, tool, data, csv}, 0},
      {{bash, shTool, csv}, 0},
      {{direct, data}, 0},
      {{direct, data}, 0},  // again, with the start remembered
      {{loader, python, tool, data}, 0},  // the loader runs python: its operands count
      {{python, evil, data}, kFails, refused},  // the script is unknown
      {{loader, python, evil, data}, kFails, refused},
      {{python, data, evil}, kFails, refused},  // the first file is the script
      {{python, link}, kFails, refused},  // a link names the script as well
      {{python, tool, other}, kFails, refused},  // data with a script's extension is judged
      {{python, restart, data}, kFails, refused},  // the new image runs data.txt
      {{script}, 3},  // a script started directly is decided like a program
      {{strangeScript}, -EPERM},
      {{"/usr/bin/env", "LD_PRELOAD=" + known, program}, 0, "", "cannot be preloaded"},
      {{"/usr/bin/env", "LD_PRELOAD=" + unknown, program}, 0, "cannot be preloaded"},
      {{python, "-c", load, known}, 0},
      {{python, "-c", load, unknown}, kFails, refused},
      // The loader run as a program: its target is decided like a library.
      {{loader, program}, 0},
      {{loader, stranger}, kFails},
      {{stranger}, -EPERM},
      // Writing an unknown ELF file (a linker's output, a copy) loads nothing.
      {{"/bin/cp", program, stranger}, 0},
      // Reading code is judged, unless the kernel decides the mapping.
      {{"/bin/cat", unknown}, KernelGuardActive() ? 0 : kFails},
      // Same path and inode, new content: the remembered allow is not used.
      {{changed}, 0},
      {{sh, "-c", "echo changed >> " + changed}, 0},
      {{changed}, -EPERM},
      // unshare -m starts the program on a copy of every mount.
      {{"/usr/bin/unshare", "-m", program}, 0},
      {{"/usr/bin/unshare", "-m", unshared}, kFails},
      {{forger}, -EPERM},
  });
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("scriptEvents"), 6);
  EXPECT_GE(Counter("notScripts"), 1);  // table.csv
  EXPECT_GE(Counter("plainOpens"), 3);  // cat's
  EXPECT_GE(Counter("libraryEvents"), 4);
  EXPECT_GE(Counter("argumentReads"), 5);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
  const std::string log = ReadFile(log_);
  EXPECT_NE(log.find("blocked " + unshared + " started by"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n2000-01-01"), std::string::npos) << log;
  EXPECT_NE(log.find("evil\\x0a2000-01-01"), std::string::npos) << log;
}

// Rule changes made while brixd runs apply at once, and a writer trusted
// as a source of drift makes what it writes run, even when it has exited
// before brixd reads the change.
TEST_F(BrixdTest, RuleChangesApplyWhileBrixdRunsAndTrustedWritersDriftRuns) {
  const std::string fresh = InMount("fresh"), known = InMount("known");
  const std::string trustedFolder = InMount("trusted"), trusted = trustedFolder + "/tool";
  const std::string writer = InMount("writer"), built = InMount("built");
  MakeProgram(fresh, "\nfresh");
  MakeProgram(known, "\nknown");
  ASSERT_EQ(mkdir(trustedFolder.c_str(), 0755), 0);
  MakeProgram(trusted, "\ntrusted");
  MakeText(writer, ReadFile("/bin/cp"), 0755);  // cp on the mount
  for (const std::string& path : {known, writer})
    ASSERT_EQ(Brixctl({"scan", path}).status, 0) << path;
  ImportManifest();
  const std::string allow = PathIn("allow.json"), block = PathIn("block.json");
  const std::string trust = PathIn("trust.json"), noTrust = PathIn("none.json");
  std::ofstream(allow) << RulesetFor(fresh, "allow");
  std::ofstream(block) << RulesetFor(known, "block");
  std::ofstream(trust) << "{\"Trustrules\": [{\"paths\": \"" << trustedFolder
                       << "/*\", \"trustType\": 2}, {\"processName\": \"" << writer
                       << "\", \"trustType\": 1}]}";
  std::ofstream(noTrust) << "{\"Trustrules\": []}";
  ASSERT_EQ(Brixctl({"import", "site-trustrules", trust}).status, 0);
  StartDaemon({"--lockdown"});

  // Each change, made by brixctl while brixd runs, shows within a second
  // (given a little more on a loaded machine).
  auto waitFor = [&](const std::string& program, int status) {
    return WaitUntil([&] { return Run({program}).status == status; }, 3, 20);
  };
  EXPECT_EQ(Run({fresh}).status, -EPERM);
  EXPECT_EQ(Run({known}).status, 0);
  EXPECT_EQ(Run({trusted}).status, 0);
  // What the trusted writer made runs once the change reaches the engine.
  ASSERT_EQ(Run({writer, "/bin/true", built}).status, 0);
  EXPECT_TRUE(waitFor(built, 0)) << ReadFile(log_);
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
    EXPECT_TRUE(waitFor(change.program, change.status)) << change.program << ReadFile(log_);
  }
  // On demand as well, with the log reopened after a rotation.
  const double before = Counter("engineReloads");
  ASSERT_EQ(rename(log_.c_str(), PathIn("brixd.log.1").c_str()), 0);
  kill(daemon_, SIGHUP);
  EXPECT_TRUE(WaitLogged("rules reloaded (SIGHUP)")) << ReadFile(log_);
  EXPECT_NE(ReadFile(log_).find("log file reopened"), std::string::npos) << ReadFile(log_);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_NE(ReadFile(log_).find("stopped:"), std::string::npos);
  EXPECT_GE(Counter("engineReloads"), before + 1);
  EXPECT_EQ(Counter("reloadFailures"), 0);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
  EXPECT_NE(Export("4").find("\"built\""), std::string::npos);
}

TEST_F(BrixdTest, StatusTellsTheStateAndWhetherBrixdShouldRun) {
  if (access("/etc/systemd/system/multi-user.target.wants/brixd.service", F_OK) == 0)
    GTEST_SKIP() << "brixd is enabled on this machine: status always expects it";
  const std::string journal = PathIn("journal.jsonl");
  ImportManifest();
  StartDaemon({"--lockdown", "--journal", journal});
  auto status = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {BRIXCTL_PATH, "status", "--stats-file", stats_});
    return Run(argv);
  };
  // Run sends both streams to one file: the document, printed compactly.
  ChildRun run = status({"--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string& part : std::vector<std::string>{
           ",\"running\":true,", ",\"pid\":" + std::to_string(daemon_) + ",",
           "\"mode\":{\"lockdown\":true,", "\"failPolicy\":\"closed\"",
           "\"watch\":[\"" + mnt_ + "\"]", "\"journal\":{\"path\":\"" + journal + "\"",
           ",\"counters\":{"})
    EXPECT_NE(run.err.find(part), std::string::npos) << part << " in " << run.err;
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex(R"("database":\{"path":"[^"]*","size":[1-9][^}]*"totalTrustRules":\d)")))
      << run.err;
  run = status({});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("lockdown, fail-closed"), std::string::npos) << run.err;

  // Another user: the stats file (mode 0640) is closed to them, /proc is not.
  run = Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
             ToolCopy(BRIXCTL_PATH), "status", "--stats-file", stats_, "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("\"running\":true"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;

  // Stopped: not expected to run.  Killed: it should, and status says so.
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(status({}).status, 0);
  StartDaemon({"--lockdown"});
  KillDaemon();
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

TEST_F(BrixdTest, ScannedPythonLibraryImportsUnderLockdown) {
  // The system's standard library, copied onto the mount with its times
  // (so that its bytecode caches stay valid) and scanned: every module
  // and extension Python opens is then judged, and known.
  const std::string home = InMount("python");
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((home + "/lib").c_str(), 0755), 0);
  ChildRun where = Run({"/usr/bin/python3", "-c",
                        "import sysconfig; print(sysconfig.get_paths()['stdlib'], end='')"});
  ASSERT_EQ(where.status, 0) << where.err;
  const std::string library = where.err;  // the standard library, e.g. /usr/lib/python3.11
  ASSERT_EQ(Run({"/bin/cp", "-a", library, home + "/lib/"}).status, 0) << library;
  ASSERT_EQ(Brixctl({"scan", home}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown"});
  const std::string imports = "import json, csv, re, pathlib, subprocess; print('imported')";
  const ChildRun run = Run({"/usr/bin/env", "PYTHONHOME=" + home, "PYTHONDONTWRITEBYTECODE=1",
                            "/usr/bin/python3", "-c", imports});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("imported"), std::string::npos) << run.err;
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("scriptEvents") + Counter("verdictCacheHits"), 10);
  EXPECT_EQ(Counter("blocked"), 0);
}

}  // namespace
}  // namespace brixd_test
