// Tests of the script interpreter rules: which process type a running
// program gets from its directory, file name and hash.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "test_util.h"

namespace {

constexpr unsigned long kNil = BRIXQuery::kNoProcessType;
using Rule = BRIXQuery::ScriptInterpreter;

ac_process_info Program(const std::string& path, const std::string& fileName) {
  ac_process_info process;
  process.pid = 4242;
  process.path = path;
  process.fileName = fileName;
  return process;
}

class InterpreterLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
    LogCapture::Clear();
  }
  BRIXQuery query;
};

// A program and the type the walk must give it.
struct ProgramCase {
  const char* path;
  const char* fileName;
  unsigned long pti;
};

const ProgramCase kPrograms[] = {
    // Exact names (kind 3), Windows programs as the host reports them.
    {"C:\\Windows\\System32\\", "powershell.exe", 9},
    {"/any/", "powershell_ise.exe", 9},
    {"/any/", "POWERSHELL.EXE", 0},  // case matters
    {"/any/", "powershell", 0},
    {"/any/", "cmd.exe", 10},
    {"/any/", "cscript.exe", 11},
    {"/any/", "mscorsvw.exe", 17},
    {"/any/", "tiworker.exe", 35},
    {"/any/", "ngen.exe", 35},
    {"/any/", "wmiprvse.exe", 20},
    {"/any/", "trustedinstaller.exe", 28},
    {"/any/", "RemoteFXvGPUDisablement.exe", 28},
    {"/any/", "remotefxvgpudisablement.exe", 0},
    {"/any/", "csc.exe", 28},
    {"/any/", "msiexec.exe", 29},
    {"/any/", "wuauclt.exe", 31},
    {"/any/", "taskhostw.exe", 34},
    {"/any/", "mismatchop.exe", 37},
    {"/any/", "InfDefaultInstall.exe", 14},
    {"/any/", "rundll32.exe", 16},
    {"/any/", "hh.exe", 38},
    {"/any/", "git.exe", 6},
    {"/any/", "git", 0},
    // Shells: "sh" by name, the others by fragment.
    {"/bin/", "sh", 8},
    {"/bin/", "sh.exe", 8},
    {"/bin/", "bash", 8},
    {"/bin/", "dash", 8},
    {"/bin/", "tcsh", 8},
    {"/bin/", "ksh93", 8},
    {"/bin/", "zsh", 0},
    {"/bin/", "fish", 0},
    {"/bin/", "shx", 0},
    // Fragments are searched in the name cut before its last ".".
    {"/usr/bin/", "python3.6", 4},
    {"/usr/bin/", "python", 4},
    {"/usr/bin/", "pythonw.exe", 4},
    {"/usr/bin/", "python.java", 4},  // stem "python"
    {"/usr/bin/", "java.python", 3},  // stem "java"
    {"/usr/bin/", "x.python", 0},     // stem "x"
    {"/usr/bin/", ".python", 0},      // stem empty
    {"/usr/bin/", "jython", 0},
    {"/usr/lib/jvm/bin/", "java", 3},
    {"/opt/", "sma_lsam_agent", 3},
    {"/usr/bin/", "php-fpm8.2", 5},
    {"/usr/sbin/", "nginx", 6},
    {"/usr/sbin/", "apache2", 6},
    {"/usr/sbin/", "httpd", 6},
    {"/usr/sbin/", "lighttpd", 6},
    {"/usr/bin/", "perl5.36", 7},
    {"/usr/bin/", "kmod", 13},
    {"/tmp/", "mpam-fe.exe", 22},
    {"/tmp/", "windows-kb890830-x64-v5.exe", 33},
    {"/tmp/", "ie11-windows6.1-kb2901983-x64.msu", 32},  // kb before ie11
    {"/tmp/", "SumatraPDF.exe", 0},
    {"/tmp/", "sumatrapdf-3.4.exe", 38},
    // Both "java" and "python": the java rule comes first.
    {"/opt/", "javapython", 3},
    {"/opt/", "pythonjava", 3},
    // Directory and name (kind 2): the directory must match exactly.
    {"/usr/sbin/", "prelink", 2},
    {"/usr/bin/", "prelink", 0},
    {"/usr/sbin", "prelink", 0},
    {"/opt/tq_agent/bin/", "tar", 15},
    {"/bin/", "tar", 0},
    {"/opt/tq_agent/bin", "tar", 0},
    {"/opt/tq_agent/bin/", "tar.exe", 0},
    // Browsers by exact name.
    {"/usr/bin/", "firefox", 39},
    {"/usr/bin/", "Firefox", 0},
    {"/usr/bin/", "chromium", 39},
    {"/usr/bin/", "chrome", 39},
    {"/usr/bin/", "chromium-browser", 0},
    {"/usr/bin/", "google-chrome", 0},
    // Nothing to match on.
    {"", "", 0},
    {"/usr/bin/", "", 0},
    {"/usr/bin/", "ls", 0},
};

TEST(InterpreterRules, ProgramsToProcessTypes) {
  BRIXQuery query;
  for (const ProgramCase& c : kPrograms) {
    ac_process_info process = Program(c.path, c.fileName);
    EXPECT_EQ(query.GetProcessInterpreterType(process), c.pti)
        << c.path << c.fileName;
  }
  // A second pass is served from the rules' cached indexes and must agree.
  for (const ProgramCase& c : kPrograms) {
    ac_process_info process = Program(c.path, c.fileName);
    EXPECT_EQ(query.GetProcessInterpreterType(process), c.pti)
        << c.path << c.fileName;
  }
}

TEST(InterpreterRules, EventOverloadUsesTheActingProcess) {
  BRIXQuery query;
  for (const ProgramCase& c : kPrograms) {
    ac_event event;
    event.pid = 99;
    event.processPath = c.path;
    event.processFileName = c.fileName;
    // The target's names must not leak into the match.
    event.path = "/usr/sbin/";
    event.fileName = "prelink";
    event.name = "/usr/sbin/prelink";
    EXPECT_EQ(query.GetProcessInterpreterType(event), c.pti)
        << c.path << c.fileName;
  }
}

TEST(InterpreterRules, TableShape) {
  BRIXQuery query;
  const auto& rules = query.GetScriptInterpreters();
  ASSERT_EQ(rules.size(), 70u);
  EXPECT_EQ(rules[0].ruleType, AC_INTERPRETER_RULE_NONE);
  for (size_t i = 0; i < rules.size(); ++i) {
    const Rule& rule = rules[i];
    SCOPED_TRACE(i);
    // Nothing resolved before the first walk.
    EXPECT_EQ(rule.processTypeIndex.load(), kNil);
    EXPECT_FALSE(rule.hash.HasBytes());
    EXPECT_EQ(rule.hash.GetSize(), 32u);
    switch (rule.ruleType) {
      case AC_INTERPRETER_RULE_NONE:
        EXPECT_EQ(i, 0u);
        break;
      case AC_INTERPRETER_RULE_PATH_AND_NAME:
        ASSERT_FALSE(rule.path.empty());
        EXPECT_EQ(rule.path.back(), '/');
        EXPECT_FALSE(rule.processName.empty());
        EXPECT_TRUE(rule.nameFragment.empty());
        break;
      case AC_INTERPRETER_RULE_NAME:
        EXPECT_TRUE(rule.path.empty());
        EXPECT_FALSE(rule.processName.empty());
        EXPECT_TRUE(rule.nameFragment.empty());
        break;
      case AC_INTERPRETER_RULE_NAME_CONTAINS:
        EXPECT_TRUE(rule.path.empty());
        EXPECT_TRUE(rule.processName.empty());
        EXPECT_FALSE(rule.nameFragment.empty());
        // A dot in a fragment could never match a stem's last extension.
        EXPECT_EQ(rule.nameFragment.find('.'), std::string::npos);
        break;
      default:
        ADD_FAILURE() << "unexpected kind " << rule.ruleType;
    }
  }
}

TEST(InterpreterRules, EveryRuleNamesAnExistingType) {
  BRIXQuery query;
  const auto& types = query.GetProcessTypes();
  std::vector<Rule> rules = query.GetScriptInterpreters();
  for (size_t i = 0; i < rules.size(); ++i) {
    const unsigned long pti = query.GetProcessTypeId(rules[i]);
    ASSERT_LT(pti, types.size());
    // A misspelt name would silently resolve to 0 and stay unresolved.
    EXPECT_EQ(types[pti].name, rules[i].processTypeName) << i;
    EXPECT_EQ(rules[i].processTypeIndex.load(), pti) << i;
  }
}

TEST(InterpreterRules, ResolvedIndexIsCachedInTheTable) {
  BRIXQuery query;
  ac_process_info process = Program("/any/", "tiworker.exe");
  EXPECT_EQ(query.GetProcessInterpreterType(process), 35u);
  EXPECT_EQ(query.GetScriptInterpreters()[7].processTypeIndex.load(), 35u);
  // Rules that did not match stay unresolved.
  EXPECT_EQ(query.GetScriptInterpreters()[8].processTypeIndex.load(), kNil);
}

// --- ApplyInterpreterRule ----------------------------------------------------

TEST(ApplyInterpreterRule, ByKind) {
  BRIXQuery query;
  const struct {
    ac_interpreter_rule_type kind;
    const char* rulePath;
    const char* processName;
    const char* fragment;
    const char* path;
    const char* fileName;
    unsigned long pti;
  } kCases[] = {
      // Kind 0 never matches, even when everything is equal.
      {AC_INTERPRETER_RULE_NONE, "/a/", "x", "x", "/a/", "x", kNil},
      {AC_INTERPRETER_RULE_NONE, "", "", "", "", "", kNil},
      // Kind 2: directory and name, both exact.
      {AC_INTERPRETER_RULE_PATH_AND_NAME, "/a/", "x", "", "/a/", "x", 7},
      {AC_INTERPRETER_RULE_PATH_AND_NAME, "/a/", "x", "", "/a", "x", kNil},
      {AC_INTERPRETER_RULE_PATH_AND_NAME, "/a/", "x", "", "/a/b/", "x", kNil},
      {AC_INTERPRETER_RULE_PATH_AND_NAME, "/a/", "x", "", "/a/", "X", kNil},
      // Kind 3: the name alone; the directory does not matter.
      {AC_INTERPRETER_RULE_NAME, "/ignored/", "x", "", "/a/", "x", 7},
      {AC_INTERPRETER_RULE_NAME, "", "x", "", "/a/", "xx", kNil},
      {AC_INTERPRETER_RULE_NAME, "", "x", "", "/a/", "", kNil},
      // Kind 4: fragment of the name cut before its last ".".
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "perl", 7},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "xperly", 7},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "perl.x", 7},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "x.perl", kNil},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "a.perl.b", 7},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/perl/", "x", kNil},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "", kNil},
      {AC_INTERPRETER_RULE_NAME_CONTAINS, "", "", "perl", "/a/", "PERL", kNil},
  };
  for (const auto& c : kCases) {
    Rule rule(c.kind, c.rulePath, c.processName, c.fragment, "perl");
    ac_process_info process = Program(c.path, c.fileName);
    EXPECT_EQ(query.ApplyInterpreterRule(process, rule), c.pti)
        << "kind " << c.kind << " " << c.path << c.fileName;
  }
}

TEST(ApplyInterpreterRule, MatchOnMissingTypeGivesDefaultNotNil) {
  BRIXQuery query;
  Rule rule(AC_INTERPRETER_RULE_NAME, "", "tool", "", "nosuchtype");
  ac_process_info process = Program("/a/", "tool");
  EXPECT_EQ(query.ApplyInterpreterRule(process, rule), 0u);
  EXPECT_EQ(rule.processTypeIndex.load(), kNil);
}

TEST(ApplyInterpreterRule, ByHash) {
  BRIXQuery query;
  const std::string hex(64, 'a');
  std::string other = hex;
  other[63] = 'b';

  Rule rule(AC_INTERPRETER_RULE_SHA256, "", "", "", "shell");
  rule.hash.SetHash(hex);
  ASSERT_TRUE(rule.hash.HasBytes());

  ac_process_info same = Program("/a/", "anything");
  same.hash.SetHash(std::string(64, 'A'));  // hex of either case
  EXPECT_EQ(query.ApplyInterpreterRule(same, rule), 8u);

  ac_process_info different = Program("/a/", "anything");
  different.hash.SetHash(other);
  EXPECT_EQ(query.ApplyInterpreterRule(different, rule), kNil);

  // An unknown program hash never matches, nor does a rule without one.
  ac_process_info unknown = Program("/a/", "anything");
  EXPECT_EQ(query.ApplyInterpreterRule(unknown, rule), kNil);
  Rule empty(AC_INTERPRETER_RULE_SHA256, "", "", "", "shell");
  EXPECT_EQ(query.ApplyInterpreterRule(same, empty), kNil);
  EXPECT_EQ(query.ApplyInterpreterRule(unknown, empty), kNil);
}

TEST_F(InterpreterLogTest, UnknownKindIsLoggedAndSkipped) {
  Rule rule(static_cast<ac_interpreter_rule_type>(9), "/a/", "x", "x", "perl");
  ac_process_info process = Program("/a/", "x");
  EXPECT_EQ(query.ApplyInterpreterRule(process, rule), kNil);
  EXPECT_EQ(QueryLog("ApplyInterpreterRule", BRIX_WARNING),
            std::vector<std::string>{"Unknown rule type 9"});
  EXPECT_EQ(rule.processTypeIndex.load(), kNil);
}

// --- What the walk logs ------------------------------------------------------

TEST_F(InterpreterLogTest, MatchLogsSignatureCheckAndName) {
  ac_process_info process = Program("C:\\", "powershell.exe");
  EXPECT_EQ(query.GetProcessInterpreterType(process), 9u);
  EXPECT_EQ(QueryLog("GetProcessInterpreterType"),
            (std::vector<std::string>{
                "GetProcessInterpreterType", "Signature check false",
                "ScriptInterpreter Match rule match for powershell.exe"}));
}

TEST_F(InterpreterLogTest, NoMatchLogsTheName) {
  ac_process_info process = Program("/bin/", "zsh");
  EXPECT_EQ(query.GetProcessInterpreterType(process), 0u);
  EXPECT_EQ(QueryLog("GetProcessInterpreterType"),
            (std::vector<std::string>{
                "GetProcessInterpreterType",
                "No ScriptInterpreter Match rule match for zsh"}));
}

TEST_F(InterpreterLogTest, NothingFormattedWhenTraceIsOff) {
  BRIXLogger::GetInstance()->SetLogMask(BRIX_INFO | BRIX_WARNING | BRIX_ERROR);
  ac_process_info process = Program("/bin/", "bash");
  EXPECT_EQ(query.GetProcessInterpreterType(process), 8u);
  EXPECT_TRUE(LogCapture::Lines().empty());
}

// --- Several host threads ----------------------------------------------------

TEST_F(InterpreterLogTest, ConcurrentWalksAgree) {
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        const size_t n = sizeof(kPrograms) / sizeof(kPrograms[0]);
        for (size_t k = 0; k < n; ++k) {
          const ProgramCase& c = kPrograms[(k + t * 7) % n];
          ac_process_info process = Program(c.path, c.fileName);
          if (query.GetProcessInterpreterType(process) != c.pti) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
