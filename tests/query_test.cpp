// Tests of the process type table and the questions asked of it: which
// types interpret scripts, prelink, time stamp mode, and the resolution of
// an interpreter rule's type name to its index.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXQuery.h"
#include "test_util.h"

namespace {

constexpr unsigned long kNil = BRIXQuery::kNoProcessType;
using Rule = BRIXQuery::ScriptInterpreter;

class QueryLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
    LogCapture::Clear();
  }
};

// --- The table --------------------------------------------------------------

TEST(ProcessTypeTable, IndexesTheEngineReliesOn) {
  BRIXQuery query;
  const auto& types = query.GetProcessTypes();
  ASSERT_EQ(types.size(), 40u);
  // Indexes are compared against literals and kept in the process cache,
  // so these positions may never move.
  const struct {
    unsigned long pti;
    const char* name;
  } kAnchors[] = {
      {0, ""},          {1, "normal"},      {2, "prelink"},
      {3, "java"},      {4, "python"},      {8, "shell"},
      {9, "power"},     {13, "linuxmod"},   {15, "trustedtar"},
      {28, "trustedinstaller"},             {35, "tiworker"},
      {37, "mismatchop"}, {38, "chm"},      {39, "browser"},
  };
  for (const auto& anchor : kAnchors)
    EXPECT_EQ(types[anchor.pti].name, anchor.name) << anchor.pti;
}

TEST(ProcessTypeTable, NamesAreUnique) {
  // A duplicate name would make every later row of that name unreachable
  // from the interpreter rules, which resolve to the first match.
  BRIXQuery query;
  std::set<std::string> seen;
  for (const auto& type : query.GetProcessTypes())
    EXPECT_TRUE(seen.insert(type.name).second) << type.name;
}

TEST(ProcessTypeTable, FlagsByRow) {
  BRIXQuery query;
  const std::set<unsigned long> interpreters = {3,  4,  5,  6,  7,  8,  9, 10,
                                                11, 12, 13, 14, 16, 37, 38, 39};
  const std::set<unsigned long> untrusted = {0, 1, 4, 5, 7, 10, 11, 16, 38, 39};
  const std::set<unsigned long> renameOnly = {2, 37, 39};
  const auto& types = query.GetProcessTypes();
  for (unsigned long pti = 0; pti < types.size(); ++pti) {
    const auto& type = types[pti];
    SCOPED_TRACE(type.name);
    EXPECT_EQ(type.isInterpreter, interpreters.count(pti) == 1);
    EXPECT_EQ(type.isNormal, pti == 1);
    EXPECT_EQ(type.trustedUpdate, untrusted.count(pti) == 0);
    EXPECT_FALSE(type.signatureCheck);
    EXPECT_EQ(type.op, renameOnly.count(pti) ? AC_HOST_RENAME_POST
                                             : AC_TYPE_NONE);
    EXPECT_EQ(type.enableSetting, pti >= 38 ? "enableHTML" : "");
    // Only prelink trusts updates without naming where.
    if (type.trustedUpdate && pti != 2) {
      EXPECT_FALSE(type.paths.empty());
    }
    // Extensions are matched against the host's text: no dot, lower case.
    for (const auto& ext : type.extensions) {
      EXPECT_EQ(ext.find('.'), std::string::npos) << ext;
      for (char c : ext) EXPECT_FALSE(c >= 'A' && c <= 'Z') << ext;
    }
  }
}

TEST(ProcessTypeTable, WindowsPathsHoldSingleBackslashes) {
  BRIXQuery query;
  const auto& types = query.GetProcessTypes();
  EXPECT_EQ(types[6].paths, std::vector<std::string>{"\\xampp\\htdocs\\portal"});
  EXPECT_EQ(types[6].paths[0].size(), 20u);
  EXPECT_EQ(types[9].paths, (std::vector<std::string>{
                                "\\temp\\",
                                "\\AppData\\Local\\Microsoft_Corporation\\"}));
  EXPECT_EQ(types[35].paths.size(), 8u);
  EXPECT_EQ(types[35].paths[5], "\\windows\\softwaredistribution\\download");
  for (const auto& type : types)
    for (const auto& path : type.paths)
      EXPECT_EQ(path.find("\\\\"), std::string::npos) << path;
}

TEST(ProcessTypeTable, EngineBuildsItsTables) {
  BRIXEngine engine;
  BRIXQuery& query = engine.GetQuery();
  EXPECT_EQ(query.GetProcessTypes().size(), 40u);
  EXPECT_EQ(query.GetScriptInterpreters().size(), 70u);
  EXPECT_EQ(query.GetScriptExtensions().size(), 33u);
  EXPECT_EQ(query.GetExecutableExtensions().size(), 56u);
  EXPECT_EQ(query.GetExcludedFolders().size(), 6u);
  EXPECT_EQ(query.GetHiddenPathMarkers().size(), 1u);
}

// --- IsInterpreter and IsPrelink ---------------------------------------------

TEST_F(QueryLogTest, IsInterpreterByIndex) {
  BRIXQuery query;
  const struct {
    unsigned long pti;
    bool interpreter;
  } kCases[] = {
      {0, false},  {1, false}, {2, false},  {3, true},   {4, true},
      {9, true},   {15, false}, {28, false}, {37, true}, {38, true},
      {39, true},  {40, false}, {41, false}, {kNil, false},
  };
  for (const auto& c : kCases) {
    LogCapture::Clear();
    EXPECT_EQ(query.IsInterpreter(c.pti), c.interpreter) << c.pti;
    const std::string expected =
        "processType " + std::to_string(c.pti) +
        (c.interpreter ? " is interpreter" : " is not interpreter");
    EXPECT_EQ(QueryLog("IsInterpreter"), std::vector<std::string>{expected});
  }
}

TEST_F(QueryLogTest, IsPrelinkOnlyForIndexTwo) {
  BRIXQuery query;
  EXPECT_TRUE(query.IsPrelink(2));
  for (unsigned long pti : {0UL, 1UL, 3UL, 39UL, 40UL, 1000UL, kNil})
    EXPECT_FALSE(query.IsPrelink(pti)) << pti;
  EXPECT_TRUE(LogCapture::Lines().empty());
}

// --- Time stamp mode ---------------------------------------------------------

class TimeStampModeTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
    BRIXDAL* dal = BRIXDAL::GetDAL();
    ASSERT_TRUE(dal->SetDBPath(PathIn("ac.db")));
    ASSERT_TRUE(dal->InitDB(false));
    // As the decision engine hands it in: the settings come from the store.
    query.SetSettingReader([](const std::string& name, unsigned long& value) {
      return BRIXDAL::GetDAL()->GetAppControlState(name, value);
    });
    LogCapture::Clear();
  }
  void TearDown() override {
    BRIXDAL::GetDAL()->ShutdownDAL();
    TempDirTest::TearDown();
  }
  void SetEnableHTML(const std::string& value) {
    ASSERT_TRUE(BRIXDAL::GetDAL()->SetAppControlState("enableHTML", value));
    LogCapture::Clear();
  }
  BRIXQuery query;
};

TEST_F(TimeStampModeTest, EnabledSettingMeansRegularMode) {
  // A new database stores enableHTML as 1.
  EXPECT_FALSE(query.IsProcessTypeInTimeStampMode(38));
  EXPECT_EQ(QueryLog("IsProcessTypeInTimeStampMode"),
            (std::vector<std::string>{
                "processType 38 has an enableSetting enableHTML",
                "processType 38 with setting enableHTML has been enabled in "
                "regular mode",
                "processType 38 is not n time stamp mode"}));
}

TEST_F(TimeStampModeTest, ZeroSettingMeansTimeStampMode) {
  SetEnableHTML("0");
  EXPECT_TRUE(query.IsProcessTypeInTimeStampMode(38));
  EXPECT_EQ(QueryLog("IsProcessTypeInTimeStampMode"),
            (std::vector<std::string>{
                "processType 38 has an enableSetting enableHTML",
                "processType 38 with enableSetting enableHTML running in time "
                "stamp mode until enabled"}));
  EXPECT_TRUE(query.IsProcessTypeInTimeStampMode(39));
}

TEST_F(TimeStampModeTest, SettingIsReadAfreshOnEveryCall) {
  const struct {
    const char* stored;
    bool timeStampMode;
  } kSteps[] = {
      {"0", true},
      {"1", false},
      {"0", true},
      {"2", false},
      {"-1", false},  // reads back as 2^64-1: non-zero
      {"", true},     // no digits: 0
      {"yes", true},
  };
  for (const auto& step : kSteps) {
    SetEnableHTML(step.stored);
    EXPECT_EQ(query.IsProcessTypeInTimeStampMode(39), step.timeStampMode)
        << "enableHTML=" << step.stored;
  }
}

TEST_F(TimeStampModeTest, TypesWithoutSettingAreNeverInTimeStampMode) {
  SetEnableHTML("0");
  for (unsigned long pti : {0UL, 1UL, 2UL, 4UL, 37UL, 40UL, kNil}) {
    LogCapture::Clear();
    EXPECT_FALSE(query.IsProcessTypeInTimeStampMode(pti)) << pti;
    EXPECT_EQ(QueryLog("IsProcessTypeInTimeStampMode"),
              std::vector<std::string>{"processType " + std::to_string(pti) +
                                       " is not n time stamp mode"});
  }
}

TEST_F(QueryLogTest, UnreadableSettingMeansTimeStampMode) {
  // The rule store was never opened: the read fails, which counts as "not
  // enabled".
  BRIXQuery query;
  EXPECT_TRUE(query.IsProcessTypeInTimeStampMode(38));
  EXPECT_EQ(QueryLog("IsProcessTypeInTimeStampMode").back(),
            "processType 38 with enableSetting enableHTML running in time "
            "stamp mode until enabled");
}

// --- GetProcessTypeId ---------------------------------------------------------

TEST(GetProcessTypeId, ResolvesOnceAndServesFromTheRule) {
  BRIXQuery query;
  Rule rule(AC_INTERPRETER_RULE_NAME, "", "tiworker.exe", "", "tiworker");
  EXPECT_EQ(rule.processTypeIndex.load(), kNil);
  EXPECT_EQ(query.GetProcessTypeId(rule), 35u);
  EXPECT_EQ(rule.processTypeIndex.load(), 35u);
  // The name is not consulted again once resolved.
  rule.processTypeName = "java";
  EXPECT_EQ(query.GetProcessTypeId(rule), 35u);
}

TEST(GetProcessTypeId, ByName) {
  BRIXQuery query;
  const struct {
    std::string name;
    unsigned long pti;
    unsigned long cached;
  } kCases[] = {
      {"", 0, 0},  // two empty names are equal: row 0
      {"normal", 1, 1},
      {"prelink", 2, 2},
      {"browser", 39, 39},
      {"trustedinstaller", 28, 28},
      {"Java", 0, kNil},  // case matters
      {"jav", 0, kNil},
      {"java ", 0, kNil},
      {std::string("java\0x", 6), 0, kNil},  // equal length and bytes
      {"nosuchtype", 0, kNil},
  };
  for (const auto& c : kCases) {
    Rule rule(AC_INTERPRETER_RULE_NAME, "", "x", "", c.name);
    EXPECT_EQ(query.GetProcessTypeId(rule), c.pti) << c.name;
    EXPECT_EQ(rule.processTypeIndex.load(), c.cached) << c.name;
  }
}

TEST(GetProcessTypeId, MissingNameIsLookedUpAgain) {
  BRIXQuery query;
  Rule rule(AC_INTERPRETER_RULE_NAME, "", "x", "", "nosuchtype");
  EXPECT_EQ(query.GetProcessTypeId(rule), 0u);
  rule.processTypeName = "perl";
  EXPECT_EQ(query.GetProcessTypeId(rule), 7u);
}

TEST(GetProcessTypeId, CopiesCarryTheCachedIndex) {
  BRIXQuery query;
  Rule rule(AC_INTERPRETER_RULE_NAME, "", "x", "", "php");
  query.GetProcessTypeId(rule);
  Rule copy(rule);
  EXPECT_EQ(copy.processTypeIndex.load(), 5u);
  Rule other(AC_INTERPRETER_RULE_NONE, "", "", "", "");
  other = rule;
  EXPECT_EQ(other.processTypeIndex.load(), 5u);
  EXPECT_EQ(other.processTypeName, "php");
}

TEST(GetProcessTypeId, ConcurrentResolutionAgrees) {
  BRIXQuery query;
  // Every rule of the built-in table, unresolved, shared by all threads.
  std::vector<Rule> rules = query.GetScriptInterpreters();
  std::vector<unsigned long> expected;
  {
    BRIXQuery reference;
    std::vector<Rule> fresh = reference.GetScriptInterpreters();
    for (auto& rule : fresh) expected.push_back(reference.GetProcessTypeId(rule));
  }
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        // Start at a different rule in each thread so first resolutions race.
        for (size_t k = 0; k < rules.size(); ++k) {
          const size_t i = (k + t * 9) % rules.size();
          if (query.GetProcessTypeId(rules[i]) != expected[i]) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (size_t i = 0; i < rules.size(); ++i)
    EXPECT_EQ(rules[i].processTypeIndex.load(), expected[i]) << i;
}

}  // namespace
