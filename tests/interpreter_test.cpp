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

// A program and the type the walk must give it.
struct ProgramCase {
  const char* path;
  const char* fileName;
  unsigned long pti;
};

const ProgramCase kPrograms[] = {
    // Exact names (kind 3), Windows programs as the host reports them.
    {"C:\\Windows\\System32\\", "powershell.exe", 9},
    {"/any/", "POWERSHELL.EXE", 0},  // case matters
    {"/any/", "powershell", 0},
    {"/any/", "cmd.exe", 10},
    {"/any/", "tiworker.exe", 35},
    {"/any/", "RemoteFXvGPUDisablement.exe", 28},
    {"/any/", "remotefxvgpudisablement.exe", 0},
    {"/any/", "msiexec.exe", 29},
    {"/any/", "hh.exe", 38},
    {"/any/", "git.exe", 6},
    {"/any/", "git", 0},
    // Shells: "sh" by name, the others by fragment.
    {"/bin/", "sh", 8},
    {"/bin/", "bash", 8},
    {"/bin/", "ksh93", 8},
    {"/bin/", "zsh", 0},
    {"/bin/", "shx", 0},
    // Fragments are searched in the name cut before its last ".".
    {"/usr/bin/", "python3.6", 4},
    {"/usr/bin/", "pythonw.exe", 4},
    {"/usr/bin/", "python.java", 4},  // stem "python"
    {"/usr/bin/", "java.python", 3},  // stem "java"
    {"/usr/bin/", "x.python", 0},     // stem "x"
    {"/usr/bin/", ".python", 0},      // stem empty
    {"/usr/bin/", "jython", 0},
    {"/usr/bin/", "php-fpm8.2", 5},
    {"/usr/sbin/", "nginx", 6},
    {"/usr/bin/", "perl5.36", 7},
    {"/usr/bin/", "kmod", 13},
    {"/tmp/", "ie11-windows6.1-kb2901983-x64.msu", 32},  // kb before ie11
    {"/tmp/", "SumatraPDF.exe", 0},
    {"/tmp/", "sumatrapdf-3.4.exe", 38},
    // Both "java" and "python": the java rule comes first.
    {"/opt/", "pythonjava", 3},
    // Directory and name (kind 2): the directory must match exactly.
    {"/usr/sbin/", "prelink", 2},
    {"/usr/bin/", "prelink", 0},
    {"/usr/sbin", "prelink", 0},
    {"/opt/tq_agent/bin/", "tar", 15},
    {"/opt/tq_agent/bin/", "tar.exe", 0},
    // Browsers by exact name.
    {"/usr/bin/", "firefox", 39},
    {"/usr/bin/", "Firefox", 0},
    {"/usr/bin/", "chromium-browser", 0},
    // Nothing to match on.
    {"", "", 0},
    {"/usr/bin/", "ls", 0},
};

TEST(InterpreterRules, ProgramsToProcessTypes) {
  BRIXQuery query;
  for (const ProgramCase& c : kPrograms) {
    ac_process_info process = Program(c.path, c.fileName);
    EXPECT_EQ(query.GetProcessInterpreterType(process), c.pti) << c.path << c.fileName;
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
      // An unknown kind is skipped.
      {static_cast<ac_interpreter_rule_type>(9), "/a/", "x", "x", "/a/", "x", kNil},
  };
  for (const auto& c : kCases) {
    Rule rule(c.kind, c.rulePath, c.processName, c.fragment, "perl");
    ac_process_info process = Program(c.path, c.fileName);
    EXPECT_EQ(query.ApplyInterpreterRule(process, rule), c.pti)
        << "kind " << c.kind << " " << c.path << c.fileName;
    if (c.pti == kNil) {
      EXPECT_EQ(rule.processTypeIndex.load(), kNil);
    }
  }
}

TEST(ApplyInterpreterRule, ByHash) {
  BRIXQuery query;
  const std::string hex(64, 'a'), other = std::string(63, 'a') + "b";

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

// --- Several host threads ----------------------------------------------------

TEST(InterpreterRules, ConcurrentWalksAgree) {
  // Every walk logs: the logger is shared by the threads too.
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  BRIXQuery query;
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (size_t k = 0; k < std::size(kPrograms); ++k) {
          const ProgramCase& c = kPrograms[(k + t * 7) % std::size(kPrograms)];
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
