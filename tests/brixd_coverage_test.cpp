// Tests of brixd deciding libraries and scripts on a private tmpfs under
// lockdown: scripts run by interpreters whatever their mode bits, sourced
// files and bytecode caches, libraries through LD_PRELOAD, dlopen and the
// loader run as a program, the system's Python library, writers that
// have ended, and the kernel's ignore marks when the rules change.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "brixd_fixture.h"

namespace brixd_test {
namespace {

// A copy of a system library; `salt` appended changes its digests, not
// what it does.
void MakeLibrary(const std::string& path, const std::string& salt) {
  std::ofstream(path, std::ios::binary) << ReadAll("/usr/lib/x86_64-linux-gnu/libm.so.6") << salt;
}

void MakeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);  // no execute bit: run by an interpreter only
}

TEST_F(BrixdTest, ScriptsRunByInterpretersAreDecidedByDigest) {
  // Debian's interpreters, outside the mount: only the scripts are judged.
  const std::string python = "/usr/bin/python3", sh = "/bin/sh";
  const std::string ok = InMount("ok.py"), mod = InMount("okmod.py"), data = InMount("data.csv");
  const std::string fresh = InMount("new.py"), shOk = InMount("ok.sh"), shNew = InMount("new.sh");
  const std::string sourcing = InMount("sourcing.sh"), lib = InMount("lib.sh");
  MakeText(mod, "VALUE = 7\n");
  MakeText(ok, "import sys\nsys.path.insert(0, '" + mnt_ + "')\nimport okmod\n"
               "print(open('" + data + "').read().strip(), okmod.VALUE)\n");
  MakeText(data, "a,b\n");
  MakeText(fresh, "print('new')\n");
  MakeText(shOk, "exit 0\n");
  MakeText(shNew, "exit 0  # not scanned\n");
  MakeText(lib, "LIB=1\n");
  MakeText(sourcing, ". " + lib + "\nexit 0\n");
  for (const std::string& known : {ok, mod, shOk, sourcing})
    ASSERT_EQ(Brixctl({"scan", known}).status, 0) << known;
  ImportManifest();
  StartDaemon({"--lockdown"});

  ChildRun run = Run({python, ok});
  EXPECT_EQ(run.status, 0) << run.err;  // scanned, no execute bit; reads unknown data
  EXPECT_NE(run.err.find("a,b 7"), std::string::npos) << run.err;
  // Again: the bytecode cache written by the first run is unknown; Python
  // falls back to the scanned source.
  run = Run({python, ok});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Run({python, fresh});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("Operation not permitted"), std::string::npos) << run.err;
  EXPECT_EQ(Run({sh, shOk}).status, 0);
  EXPECT_NE(Run({sh, shNew}).status, 0);
  EXPECT_NE(Run({sh, sourcing}).status, 0);  // `. lib.sh`: unknown, refused
  // Ordinary programs read any file, and interpreters write them.
  EXPECT_EQ(Run({"/bin/cat", shNew, fresh, lib}).status, 0);
  EXPECT_EQ(Run({sh, "-c", "echo 'exit 1' > " + shNew}).status, 0);

  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("scriptEvents"), 6);
  EXPECT_GE(Counter("notScripts"), 1);  // data.csv
  EXPECT_GE(Counter("plainOpens"), 3);  // cat's
  EXPECT_NE(ReadAll(log_).find("blocked " + fresh + " run by /usr/bin/python3"),
            std::string::npos);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
}

TEST_F(BrixdTest, LibrariesAndTheLoaderAreDecidedByDigest) {
  const std::string known = InMount("known.so"), unknown = InMount("unknown.so");
  const std::string program = InMount("prog"), stranger = InMount("stranger");
  MakeLibrary(known, "");
  MakeLibrary(unknown, "not scanned");
  MakeProgram(program, "");
  MakeProgram(stranger, "\nnot scanned");
  for (const std::string& file : {known, program})
    ASSERT_EQ(Brixctl({"scan", file}).status, 0) << file;
  ImportManifest();
  StartDaemon({"--lockdown"});

  auto preload = [&](const std::string& library) {
    const std::string variable = "LD_PRELOAD=" + library;
    return Run({"/usr/bin/env", variable, program});
  };
  ChildRun run = preload(known);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.find("cannot be preloaded"), std::string::npos) << run.err;
  run = preload(unknown);
  EXPECT_NE(run.err.find("cannot be preloaded"), std::string::npos) << run.err;

  const std::string load = "import ctypes, sys; ctypes.CDLL(sys.argv[1])";
  EXPECT_EQ(Run({"/usr/bin/python3", "-c", load, known}).status, 0);
  run = Run({"/usr/bin/python3", "-c", load, unknown});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("Operation not permitted"), std::string::npos) << run.err;

  // The loader run as a program: its target is decided like a library.
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  EXPECT_EQ(Run({loader, program}).status, 0);
  EXPECT_NE(Run({loader, stranger}).status, 0);
  EXPECT_EQ(Run({stranger}).status, -EPERM);
  // Writing an unknown ELF file (a linker's output, a copy) loads nothing.
  EXPECT_EQ(Run({"/bin/cp", program, stranger}).status, 0);
  // Reading code is judged, unless the kernel decides the mapping.
  EXPECT_EQ(Run({"/bin/cat", unknown}).status == 0, KernelGuardActive());

  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_GE(Counter("libraryEvents"), 4);
  EXPECT_EQ(Counter("deadlineAnswers"), 0);
}

TEST_F(BrixdTest, WriterThatHasEndedStillCarriesItsTrust) {
  // A copy of cp on the mount, trusted as a source of drift: what it
  // writes is recorded as trusted drift even when it has exited before
  // brixd reads the change.
  const std::string writer = InMount("writer"), built = InMount("built");
  {
    std::ofstream(writer, std::ios::binary) << ReadAll("/bin/cp");
    ASSERT_EQ(chmod(writer.c_str(), 0755), 0);
  }
  ASSERT_EQ(Brixctl({"scan", writer}).status, 0);
  ImportManifest();
  const std::string rules = PathIn("trust.json");
  std::ofstream(rules) << "{\"Trustrules\": [{\"processName\": \"" << writer
                       << "\", \"trustType\": 1}]}";
  ChildRun run = Brixctl({"import", "writer-trustrules", rules});
  ASSERT_EQ(run.status, 0) << run.err;
  StartDaemon({"--lockdown"});

  run = Run({writer, "/bin/true", built});
  ASSERT_EQ(run.status, 0) << run.err;
  // The change reaches the engine a moment later.
  const auto limit = Clock::now() + std::chrono::seconds(5);
  while (Run({built}).status != 0 && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Run({built}).status, 0) << ReadAll(log_);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_NE(Export("4").find("\"built\""), std::string::npos);
  // Whether the writer was still there when its change was read depends
  // on timing; when it was not, the table named it.
  printf("writers named from the table: %g\n", Counter("driftWritersRemembered"));
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

TEST_F(BrixdTest, IgnoreMarksEndWhenTheRulesChange) {
  // A program allowed by the inventory is not asked about again (the
  // kernel's ignore mark) until the rules change: a block imported while
  // brixd runs holds at the next start.
  const std::string program = InMount("tool");
  MakeProgram(program, "\nmarked");
  ASSERT_EQ(Brixctl({"scan", program}).status, 0);
  ImportManifest();
  StartDaemon({"--lockdown", "--stats-interval", "1"});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Run({program}).status, 0);
  ImportRuleset("site-rules", program, "block");
  EXPECT_EQ(Run({program}).status, -EPERM);
  ASSERT_EQ(StopDaemon(), 0);
  EXPECT_EQ(Counter("execEvents"), 2);  // the first start and the blocked one
  EXPECT_EQ(Counter("ignoreMarks"), 1);
  EXPECT_GE(Counter("ruleChanges"), 1);
}

}  // namespace
}  // namespace brixd_test
