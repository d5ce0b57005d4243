// Judging files by their digests against the inventory.
#include <string>
#include <vector>

#include "BRIX.h"
#include "BRIXDataAccessLayer.h"
#include "test_util.h"

namespace {

class LookupTest : public PrivateDalTest {
 protected:
  void TearDown() override {
    // The watermarks are process-wide; leave them as found.
    config.SetImportState(0);
    config.SetRebuildState(0);
    config.SetPreviousMaxInventoryItemId(0);
    config.SetPreviousMaxRulesetItemId(0);
    TempDirTest::TearDown();
  }

  // Adds an inventory row; an empty digest is stored as NULL.
  void AddItem(int source, unsigned char sha256Seed, uint64_t size, int isAuthorized,
               const std::string& ruleset = "", unsigned char sha1Seed = 0,
               unsigned char md5Seed = 0, int64_t id = 0) {
    auto blob = [](unsigned char seed, size_t n) {
      return seed ? "x'" + SeedHex(seed, n) + "'" : std::string("NULL");
    };
    Db db(PathIn("ac.db"));
    db.Exec("INSERT INTO InventoryItems(inventoryItemId, sha256, sha1, md5, size, isAuthorized, "
            "source, ruleset) VALUES(" + (id ? std::to_string(id) : std::string("NULL")) + ", " +
            blob(sha256Seed, 32) + ", " + blob(sha1Seed, 20) + ", " + blob(md5Seed, 16) + ", " +
            std::to_string(size) + ", " + std::to_string(isAuthorized) + ", " +
            std::to_string(source) + ", " + (ruleset.empty() ? "NULL" : "'" + ruleset + "'") +
            ");");
  }

  static ac_event Target(unsigned char sha256Seed, uint64_t size, unsigned char sha1Seed = 0,
                         unsigned char md5Seed = 0) {
    ac_event e;
    e.name = "/opt/app/bin/tool";
    e.size = size;
    if (sha256Seed) e.fileSha256.SetHash(SeedDigest(sha256Seed, 32).data());
    if (sha1Seed) e.fileSha1 = SHA1Hash(SeedDigest(sha1Seed, 20).data());
    if (md5Seed) e.fileMd5 = MD5Hash(SeedDigest(md5Seed, 16).data());
    return e;
  }

  // The decision on `e`; *ruleset (when given) the ruleset it names.
  uint32_t Decide(ac_event e, std::string* ruleset = nullptr) {
    EXPECT_TRUE(dal.IsAllowedInDB(e));
    if (ruleset != nullptr) *ruleset = e.ruleset;
    return e.decision;
  }
  // The decisions on files of size 5 with these seeds.
  std::vector<uint32_t> DecideEach(std::initializer_list<unsigned char> seeds) {
    std::vector<uint32_t> decisions;
    for (unsigned char seed : seeds) decisions.push_back(Decide(Target(seed, 5)));
    return decisions;
  }
};

using Decisions = std::vector<uint32_t>;
constexpr uint32_t kAllowed = AC_DECISION_ALLOWED, kBlocked = AC_DECISION_BLOCKED;

// --- The cascade -------------------------------------------------------------

struct Row {
  int source;
  unsigned char seed;
  uint64_t size;
  int isAuthorized;
  const char* ruleset;
};

TEST_F(LookupTest, TheNewestMatchingRowDecidesRulesFirst) {
  const struct {
    const char* what;
    std::vector<Row> rows;
    uint64_t size;  // of the file with seed 1
    ac_decision decision;
    uint32_t isAuthorized, source;
    const char* ruleset;
  } kCases[] = {
      {"execution rule without authorisation blocks",
       {{2, 1, 100, 0, "deny-list"}}, 100,
       AC_DECISION_BLOCKED, AC_AUTH_NOT_APPROVED, 2, "deny-list"},
      {"authorised execution rule allows", {{2, 1, 100, 1, "allow"}}, 100,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 2, "allow"},
      {"agent rule allows whatever its column says", {{1, 1, 100, 0, ""}}, 100,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 1, ""},
      {"size 0 matches any size", {{2, 1, 0, 1, "any"}}, 12345,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 2, "any"},
      {"other sizes must be equal", {{2, 1, 500, 1, "exact"}}, 501,
       AC_DECISION_UNKNOWN, AC_AUTH_NOT_AUTHORIZED, 9, "before"},
      {"newest rule decides", {{1, 1, 10, 1, "agent"}, {2, 1, 10, 0, "block"}}, 10,
       AC_DECISION_BLOCKED, AC_AUTH_NOT_APPROVED, 2, "block"},
      {"newest rule decides again",
       {{1, 1, 10, 1, "agent"}, {2, 1, 10, 0, "block"}, {1, 1, 10, 1, "again"}}, 10,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 1, "again"},
      {"rules come before newer inventory rows",
       {{2, 1, 10, 0, "block"}, {3, 1, 10, 1, ""}}, 10,
       AC_DECISION_BLOCKED, AC_AUTH_NOT_APPROVED, 2, "block"},
      {"scanned item allows whatever its authorisation", {{3, 1, 10, 0, ""}}, 10,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 3, ""},
      {"unauthorised drift only sets the source", {{4, 1, 10, 0, "r"}}, 10,
       AC_DECISION_BLOCKED, AC_AUTH_TRUSTED, 4, "r"},
      {"prelinked item allows", {{5, 1, 10, 1, ""}}, 10,
       AC_DECISION_ALLOWED, AC_AUTH_ALLOW_LIST, 5, ""},
  };
  Open();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Db(PathIn("ac.db")).Exec("DELETE FROM InventoryItems;");
    for (const Row& row : c.rows)
      AddItem(row.source, row.seed, row.size, row.isAuthorized, row.ruleset);
    ac_event e = Target(1, c.size);
    e.decision = AC_DECISION_BLOCKED;
    e.isAuthorized = AC_AUTH_TRUSTED;
    e.source = 9;
    e.ruleset = "before";
    ASSERT_TRUE(dal.IsAllowedInDB(e));
    EXPECT_EQ(e.decision, c.decision);
    EXPECT_EQ(e.isAuthorized, c.isAuthorized);
    EXPECT_EQ(e.source, c.source);
    EXPECT_EQ(e.ruleset, c.ruleset);
  }
}

TEST_F(LookupTest, UnknownFileIsUndecidedAndWithoutSha256TheLookupFails) {
  Open();
  ac_event e = Target(9, 10);
  e.auxiliary4 = 77;
  ASSERT_TRUE(dal.IsAllowedInDB(e));
  EXPECT_EQ(e.decision, AC_DECISION_UNKNOWN);
  EXPECT_EQ(e.auxiliary4, 0u);
  ac_event none = Target(0, 10, 3, 4);
  none.decision = AC_DECISION_BLOCKED;
  EXPECT_FALSE(dal.IsAllowedInDB(none));
  EXPECT_EQ(none.decision, AC_DECISION_BLOCKED);
}

// --- SHA-1 and MD5 fallbacks -------------------------------------------------

TEST_F(LookupTest, Sha1AndMd5FindOnlyRowsWithoutSha256) {
  Open();
  AddItem(DAL_SOURCE_EXECUTION_RULES, 0, 0, 1, "sha1-rule", 7, 0);
  AddItem(DAL_SOURCE_EXECUTION_RULES, 0, 0, 0, "md5-rule", 0, 8);
  AddItem(DAL_SOURCE_EXECUTION_RULES, 5, 0, 0, "both", 6, 0);
  // Opened again so the rule counts are read afresh.
  dal.ShutdownDAL();
  ASSERT_TRUE(dal.InitDB(false));
  EXPECT_EQ(dal.Sha1RuleCount(), 2u);
  EXPECT_EQ(dal.Md5RuleCount(), 1u);

  // Each statement reads the whole row: the decision and the ruleset.
  std::string ruleset;
  EXPECT_EQ(Decide(Target(1, 10, 7, 0), &ruleset), AC_DECISION_ALLOWED);
  EXPECT_EQ(ruleset, "sha1-rule");
  EXPECT_EQ(Decide(Target(1, 10, 99, 8), &ruleset), AC_DECISION_BLOCKED);
  EXPECT_EQ(ruleset, "md5-rule");
  // A row that has a SHA-256 is only found by its SHA-256.
  EXPECT_EQ(Decide(Target(1, 10, 6, 0)), AC_DECISION_UNKNOWN);
}

// --- Watermarks ----------------------------------------------------------------

TEST_F(LookupTest, ImportWatermarksJudgeExecutionRules) {
  Open();
  AddItem(DAL_SOURCE_EXECUTION_RULES, 1, 0, 1, "", 0, 0, 100);
  AddItem(DAL_SOURCE_EXECUTION_RULES, 2, 0, 1, "", 0, 0, 101);
  config.SetImportState(2);
  config.SetPreviousMaxRulesetItemId(100);
  EXPECT_EQ(DecideEach({1, 2}), (Decisions{kBlocked, kAllowed}));
  config.SetImportState(1);
  config.SetPreviousMaxInventoryItemId(100);
  EXPECT_EQ(DecideEach({1, 2}), (Decisions{kAllowed, kBlocked}));
  config.SetImportState(7);  // unsupported
  EXPECT_EQ(DecideEach({2}), Decisions{kBlocked});
}

TEST_F(LookupTest, RebuildWatermarksJudgeInventoryAndDrift) {
  Open();
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 0, 1, "", 0, 0, 50);
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 2, 0, 1, "", 0, 0, 51);
  AddItem(DAL_SOURCE_APPROVED_DRIFT, 3, 0, 1, "", 0, 0, 52);
  config.SetPreviousMaxInventoryItemId(50);

  config.SetRebuildState(1);
  EXPECT_EQ(DecideEach({1, 2, 3}), (Decisions{kAllowed, kBlocked, kAllowed}));
  config.SetRebuildState(2);
  EXPECT_EQ(DecideEach({1, 2, 3}), (Decisions{kBlocked, kAllowed, kAllowed}));
  // Drift up to the old inventory's last id is old, that id included.
  config.SetPreviousMaxInventoryItemId(52);
  EXPECT_EQ(DecideEach({3}), Decisions{kBlocked});
  config.SetRebuildState(-1);
  EXPECT_EQ(DecideEach({1, 3}), (Decisions{kBlocked, kBlocked}));
}

// --- Failures ----------------------------------------------------------------

TEST_F(LookupTest, BusyDatabaseFailsWithItsErrorText) {
  Open();
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 0, 1);
  Db other(PathIn("ac.db"));
  other.Exec("BEGIN EXCLUSIVE;");
  ac_event e = Target(1, 5);
  EXPECT_FALSE(dal.IsAllowedInDB(e));  // after the 5 s busy timeout
  other.Exec("COMMIT;");
  EXPECT_EQ(DecideEach({1}), Decisions{kAllowed});
}

}  // namespace
