// Rulesets in JSON: kinds, append and replace, field rules, failures.
#include <string>
#include <vector>

#include "BRIX.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXLogger.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

std::string Rule(unsigned char seed, const std::string& action, const std::string& extra = "") {
  return "{\"fileName\": \"f" + std::to_string(seed) + "\", \"sha256\": \"" + SeedHex(seed) +
         "\", \"size\": 10, \"action\": \"" + action + "\"" + extra + "}";
}

std::string Rules(const std::string& body) { return "{\"rules\": [" + body + "]}"; }

class ImportTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    Open();
  }
  void TearDown() override {
    config.SetManifestApplied(true);
    TempDirTest::TearDown();
  }

  bool Import(const std::string& name, const std::string& text, bool append = false) {
    return dal.ImportRulesetBuffer(append, text.c_str(), name);
  }
  std::string Query(const std::string& sql) { return Db(PathIn("ac.db")).One(sql); }
  static int RulesetCount(const std::string& name) {
    return BRIXStats::GetStats()->GetType(BRIX_STATS_RULESET, name);
  }
};

TEST_F(ImportTest, TrustRulesetStoresRulesAndUserLists) {
  const std::string doc = R"({
    "Trustrules": [
      {"processName": "/usr/bin/dnf", "paths": "/usr/;/opt/", "trustType": 1,
       "signerName": "Distro", "issuerO": "Distro CA", "user": "root",
       "group": "wheel", "userList": "admins", "sha256": ")" +
                          SeedHex(5) + R"("},
      {"processName": 7, "trustType": "4", "paths": "/srv/"}
    ],
    "Userlists": [
      {"id": "admins", "users": ["alice", 3, "bob"]},
      {"users": ["nobody"]},
      {"id": "ops", "users": "carol"}
    ]})";
  ASSERT_TRUE(Import("Corp-TrustRules-1", doc));
  EXPECT_EQ(Query("SELECT processName, paths, trustType, signerName, "
                  "issuerO, procUser, procGroup, userList, ruleset, "
                  "substr(hex(sha256), 1, 4) FROM TrustRules ORDER BY "
                  "trustRuleId LIMIT 1"),
            "/usr/bin/dnf|/usr/;/opt/|1|Distro|Distro CA|root|wheel|admins|"
            "corp-trustrules-1|0505");
  // A key of the wrong type is ignored; trustType may be a string.
  EXPECT_EQ(Query("SELECT ifnull(processName, 'NULL') || '|' || trustType "
                  "FROM TrustRules WHERE trustRuleId = 2"),
            "NULL|4");
  EXPECT_EQ(Query("SELECT group_concat(id || ':' || user, ',') FROM UserList"),
            "admins:alice,admins:bob");
  EXPECT_TRUE(dal.TrustRulesPresent());
  EXPECT_EQ(RulesetCount("Corp-TrustRules-1"), 2);
}

TEST_F(ImportTest, ReplaceRemovesTheKindAppendKeepsIt) {
  ASSERT_TRUE(Import("ruleset-a", Rules(Rule(1, "allow"))));
  ASSERT_TRUE(Import("ruleset-b", Rules(Rule(2, "allow")), true));
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "2");
  EXPECT_EQ(RulesetCount("ruleset-a"), 1);
  ASSERT_TRUE(Import("ruleset-c", Rules(Rule(3, "allow"))));
  EXPECT_EQ(Query("SELECT group_concat(fileName) FROM InventoryItems"), "f3");
  // The statistics of earlier execution rulesets go with them.
  EXPECT_EQ(RulesetCount("ruleset-a"), 0);
  EXPECT_EQ(RulesetCount("ruleset-c"), 1);

  // Trust rulesets replace only trust rules.
  ASSERT_TRUE(Import("trustrules-x", R"({"Trustrules": [{"paths": "/a/"}]})"));
  ASSERT_TRUE(Import("trustrules-y", R"({"Trustrules": [{"paths": "/b/"}]})"));
  EXPECT_EQ(Query("SELECT group_concat(paths) FROM TrustRules"), "/b/");
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "1");
  EXPECT_EQ(RulesetCount("trustrules-x"), 0);
}

// A manifest, named so in any case, replaces every ruleset of either kind
// and records the agent's version.
TEST_F(ImportTest, ManifestReplaceClearsRulesAndStatistics) {
  ac_event scanned;
  scanned.source = DAL_SOURCE_SCANNED_ITEMS;
  scanned.fileSha256.SetHash(std::string(SeedHex(9)));
  ASSERT_NE(dal.StoreItem(scanned), 0u);
  ASSERT_TRUE(Import("ruleset-a", Rules(Rule(1, "allow"))));
  ASSERT_TRUE(Import("trustrules-x", R"({"Trustrules": [{"paths": "/a/"}]})"));
  config.SetManifestApplied(false);
  ASSERT_TRUE(Import("AGENT-Manifest", Rules(Rule(2, "allow"))));
  EXPECT_EQ(Query("SELECT group_concat(source || ':' || ifnull(ruleset, '')) FROM (SELECT * "
                  "FROM InventoryItems ORDER BY source)"),
            "1:AGENT-Manifest,3:");
  EXPECT_EQ(Query("SELECT count(*) FROM TrustRules"), "0");
  EXPECT_FALSE(dal.TrustRulesPresent());
  EXPECT_EQ(RulesetCount("ruleset-a"), 0);
  EXPECT_EQ(RulesetCount("trustrules-x"), 0);
  EXPECT_EQ(RulesetCount("AGENT-Manifest"), 1);
  EXPECT_TRUE(config.GetManifestApplied());
  std::string version;
  ASSERT_TRUE(dal.GetAppControlState("agentVersion", version));
  EXPECT_EQ(version, BRIX_VERSION);
  // A name with both words is a manifest.
  ASSERT_TRUE(Import("agent-trustrules", Rules(Rule(3, "allow")), true));
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems WHERE source = 1"), "2");
}

TEST_F(ImportTest, FieldsOfARule) {
  const struct {
    std::string fields;
    const char* isAuthorizedAndSize;
  } kCases[] = {
      // Actions map by their first five letters; none is "on the list".
      {R"("action": "blocked-by-policy")", "0|0"},
      {R"("action": "allowance")", "1|0"},
      {R"("action": "Allow")", "3|0"},
      {R"("size": 1024)", "3|1024"},
      {R"("size": "1024")", "3|1024"},
      {R"("size": true)", "3|0"},
      {R"("size": 3000000000)", "3|2147483647"},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(Import("r", Rules("{\"sha256\": \"" + SeedHex(1) + "\", " + c.fields + "}")));
    EXPECT_EQ(Query("SELECT isAuthorized || '|' || size FROM InventoryItems"),
              c.isAuthorizedAndSize)
        << c.fields;
  }
}

TEST_F(ImportTest, DigestsOfEveryKindAreDecoded) {
  ASSERT_TRUE(Import("r", Rules("{\"sha1\": \"" + std::string(40, 'A') + "\", \"md5\": \"" +
                                std::string(32, 'b') + "\", \"action\": \"allow\"}")));
  EXPECT_EQ(Query("SELECT ifnull(sha256, 'NULL') || '|' || hex(sha1) || '|' "
                  "|| lower(hex(md5)) FROM InventoryItems"),
            "NULL|" + std::string(40, 'A') + "|" + std::string(32, 'b'));
  // The counts that gate the fallbacks are refreshed.
  EXPECT_EQ(dal.Sha1RuleCount(), 1u);
  EXPECT_EQ(dal.Md5RuleCount(), 1u);
  ac_event e;
  e.fileSha256.SetHash(std::string(SeedHex(7)));
  e.fileSha1.SetFromText(std::string(40, 'a'));
  ASSERT_TRUE(dal.IsAllowedInDB(e));
  EXPECT_EQ(e.decision, AC_DECISION_ALLOWED);
}

TEST_F(ImportTest, InvalidJsonChangesNothing) {
  ASSERT_TRUE(Import("r", Rules(Rule(1, "allow"))));
  EXPECT_FALSE(Import("r", "{\"rules\": [ {\"sha256\": "));
  EXPECT_FALSE(Import("agent", "not json"));
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "1");
}

TEST_F(ImportTest, DocumentsWithoutTheirArraysStillReplace) {
  ASSERT_TRUE(Import("trustrules-x", R"({"Trustrules": [{"paths": "/a/"}]})"));
  ASSERT_TRUE(Import("trustrules-y", R"({"something": 1})"));
  EXPECT_EQ(Query("SELECT count(*) FROM TrustRules"), "0");
  EXPECT_TRUE(dal.TrustRulesPresent());
  ASSERT_TRUE(Import("ruleset", "[]"));
  ASSERT_TRUE(Import("ruleset", R"({"rules": "none"})"));
  // Members of an object stand in for array entries.
  ASSERT_TRUE(Import("ruleset", "{\"rules\": {\"a\": " + Rule(1, "allow") +
                                    ", \"b\": " + Rule(2, "allow") + "}}"));
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "2");
}

TEST_F(ImportTest, TrustRulesetImportedWhileTheDatabaseIsGoneIsKeptAndRetried) {
  std::string rules, users;
  for (int i = 0; i < 1003; ++i) {
    if (i) rules += ",", users += ",";
    rules += "{\"trustType\": 1, \"processName\": \"/p" + std::to_string(i) + "\"}";
    users += "\"user" + std::to_string(i) + "\"";
  }
  // The import reports success: the rows wait in their buffers.
  ASSERT_TRUE(dal.DeleteDB());
  EXPECT_TRUE(Import("corp-trustrules", "{\"Trustrules\": [" + rules +
                                            "], \"Userlists\": [{\"id\": \"ops\", "
                                            "\"users\": [" + users + "]}]}"));
  // Once the file is back, nothing of the import was lost.
  ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_ALL));
  EXPECT_EQ(dal.StoreTrustRuleFlush(), 1003u);
  EXPECT_EQ(dal.StoreUserListFlush(), 1003u);
  EXPECT_EQ(Query("SELECT count(*) FROM TrustRules"), "1003");
  EXPECT_EQ(Query("SELECT count(*) FROM UserList"), "1003");
}

// --- Through the exported functions ---------------------------------------

class ImportApiTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ac_engine_start_s s = MakeStart("ac.db", &LogCapture::Callback, 15);
    ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  }
};

TEST_F(ImportApiTest, FilesAndBuffersAndTheirFailures) {
  const std::string path = WriteFileAt(PathIn("rules.json"), Rules(Rule(1, "allow")));
  EXPECT_EQ(set_ruleset(false, path.c_str(), "from-file"), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(set_ruleset(false, PathIn("missing.json").c_str(), "x"), BRIX_STATUS_FAILED);
  EXPECT_EQ(set_ruleset(false, dir().c_str(), "x"), BRIX_STATUS_FAILED);
  EXPECT_EQ(set_ruleset_buffer(false, "{oops", "x"), BRIX_STATUS_FAILED);
  EXPECT_EQ(set_ruleset_buffer(true, Rules(Rule(2, "block")).c_str(), "more"), BRIX_STATUS_SUCCESS);
  // A null name is an empty one.
  EXPECT_EQ(set_ruleset(true, path.c_str(), nullptr), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Db(PathIn("ac.db")).One("SELECT count(*) FROM InventoryItems"), "3");
}

TEST_F(ImportApiTest, ImportEmptiesTheAllowCache) {
  std::string user = "u", process = "/bin/sh", target = "/opt/x";
  BRIXAllowCache& cache = BRIXEngine::GetEngine()->GetAllowCache();
  cache.AddCacheNode(user, process, target);
  EXPECT_EQ(set_ruleset_buffer(false, "{}", "r"), BRIX_STATUS_SUCCESS);
  EXPECT_FALSE(cache.IsCached(user, process, target));
  cache.AddCacheNode(user, process, target);
  // Even an import that fails: the old decisions are void either way.
  EXPECT_EQ(set_ruleset_buffer(false, "{", "r"), BRIX_STATUS_FAILED);
  EXPECT_FALSE(cache.IsCached(user, process, target));
}

}  // namespace
