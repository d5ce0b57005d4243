// Tests of the process type table and the questions asked of it: which
// types interpret scripts, prelink, time stamp mode, and the resolution of
// an interpreter rule's type name to its index.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXQuery.h"
#include "test_util.h"

namespace {

constexpr unsigned long kNil = BRIXQuery::kNoProcessType;
using Rule = BRIXQuery::ScriptInterpreter;

// --- The table --------------------------------------------------------------

TEST(ProcessTypeTable, FlagsByRow) {
  BRIXQuery query;
  const std::set<unsigned long> interpreters = {3,  4,  5,  6,  7,  8,  9, 10,
                                                11, 12, 13, 14, 16, 37, 38, 39};
  const std::set<unsigned long> untrusted = {0, 1, 4, 5, 7, 10, 11, 16, 38, 39};
  const std::set<unsigned long> renameOnly = {2, 37, 39};
  const auto& types = query.GetProcessTypes();
  // Indexes are compared against literals and kept in the process cache:
  // a row added or removed shifts the flags below.
  ASSERT_EQ(types.size(), 40u);
  EXPECT_EQ(query.GetScriptInterpreters().size(), 70u);
  // A duplicate name would make every later row of that name unreachable
  // from the interpreter rules, which resolve to the first match.
  std::set<std::string> seen;
  for (unsigned long pti = 0; pti < types.size(); ++pti) {
    const auto& type = types[pti];
    SCOPED_TRACE(type.name);
    EXPECT_TRUE(seen.insert(type.name).second);
    EXPECT_EQ(type.isInterpreter, interpreters.count(pti) == 1);
    EXPECT_EQ(query.IsInterpreter(pti), interpreters.count(pti) == 1);
    EXPECT_EQ(query.IsPrelink(pti), pti == 2);
    EXPECT_EQ(type.isNormal, pti == 1);
    EXPECT_EQ(type.trustedUpdate, untrusted.count(pti) == 0);
    EXPECT_FALSE(type.signatureCheck);
    EXPECT_EQ(type.op, renameOnly.count(pti) ? AC_HOST_RENAME_POST : AC_TYPE_NONE);
    EXPECT_EQ(type.enableSetting, pti >= 38 ? "enableHTML" : "");
    // Only prelink trusts updates without naming where.
    if (type.trustedUpdate && pti != 2) {
      EXPECT_FALSE(type.paths.empty());
    }
    // Paths hold single backslashes; extensions are matched against the
    // host's text: no dot, lower case.
    for (const auto& path : type.paths)
      EXPECT_EQ(path.find("\\\\"), std::string::npos) << path;
    for (const auto& ext : type.extensions)
      EXPECT_EQ(ext.find_first_of(".ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << ext;
  }
  EXPECT_EQ(types[6].paths, std::vector<std::string>{"\\xampp\\htdocs\\portal"});
  // Indexes past the table are neither.
  for (unsigned long pti : {40UL, 1000UL, kNil}) {
    EXPECT_FALSE(query.IsInterpreter(pti)) << pti;
    EXPECT_FALSE(query.IsPrelink(pti)) << pti;
  }
}

// --- Time stamp mode ---------------------------------------------------------

class TimeStampModeTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    Open();
    // As the decision engine hands it in: the settings come from the store.
    query.SetSettingReader([this](const std::string& name, unsigned long& value) {
      return dal.GetAppControlState(name, value);
    });
  }
  BRIXQuery query;
};

TEST_F(TimeStampModeTest, SettingIsReadAfreshOnEveryCall) {
  const struct {
    const char* stored;  // nullptr: as a new database stores it ("1")
    bool timeStampMode;
  } kSteps[] = {
      {nullptr, false},
      {"0", true},
      {"1", false},
      {"0", true},
      {"2", false},
      {"yes", true},  // no digits: 0
  };
  for (const auto& step : kSteps) {
    if (step.stored != nullptr) {
      ASSERT_TRUE(dal.SetAppControlState("enableHTML", step.stored));
    }
    const char* shown = step.stored ? step.stored : "(new)";
    EXPECT_EQ(query.IsProcessTypeInTimeStampMode(38), step.timeStampMode) << shown;
    EXPECT_EQ(query.IsProcessTypeInTimeStampMode(39), step.timeStampMode) << shown;
  }
  // Types without the setting are never in time stamp mode.
  for (unsigned long pti : {0UL, 1UL, 2UL, 4UL, 37UL, 40UL, kNil})
    EXPECT_FALSE(query.IsProcessTypeInTimeStampMode(pti)) << pti;
}

TEST(TimeStampMode, UnreadableSettingMeansTimeStampMode) {
  // The rule store was never opened: the read fails, which counts as "not
  // enabled".
  BRIXQuery query;
  EXPECT_TRUE(query.IsProcessTypeInTimeStampMode(38));
}

// --- GetProcessTypeId ---------------------------------------------------------

TEST(GetProcessTypeId, ByNameResolvedOnceAndCarriedByCopies) {
  BRIXQuery query;
  const struct {
    std::string name;
    unsigned long pti;
    unsigned long cached;
  } kCases[] = {
      {"", 0, 0},  // two empty names are equal: row 0
      {"normal", 1, 1},
      {"browser", 39, 39},
      {"tiworker", 35, 35},
      {"Java", 0, kNil},  // case matters
      {"jav", 0, kNil},
      {"java ", 0, kNil},
      {std::string("java\0x", 6), 0, kNil},  // equal length and bytes
  };
  for (const auto& c : kCases) {
    Rule rule(AC_INTERPRETER_RULE_NAME, "", "x", "", c.name);
    EXPECT_EQ(query.GetProcessTypeId(rule), c.pti) << c.name;
    EXPECT_EQ(rule.processTypeIndex.load(), c.cached) << c.name;
    // A resolved name is not consulted again; a missing one is.
    rule.processTypeName = "perl";
    EXPECT_EQ(query.GetProcessTypeId(rule), c.cached == kNil ? 7 : c.pti) << c.name;
  }
  Rule rule(AC_INTERPRETER_RULE_NAME, "", "x", "", "php");
  query.GetProcessTypeId(rule);
  Rule copy(rule);
  EXPECT_EQ(copy.processTypeIndex.load(), 5u);
  Rule other(AC_INTERPRETER_RULE_NONE, "", "", "", "");
  other = rule;
  EXPECT_EQ(other.processTypeIndex.load(), 5u);
  EXPECT_EQ(other.processTypeName, "php");
}

}  // namespace
