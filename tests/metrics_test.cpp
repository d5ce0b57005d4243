// The database sections of the metrics document: "trustrules_stats" and
// "dbinfo", with the row counts behind them.
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "brix.h"
#include "test_util.h"

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Json NewObject() { return Json(cJSON_CreateObject(), &cJSON_Delete); }
Json NewArray() { return Json(cJSON_CreateArray(), &cJSON_Delete); }

std::vector<std::string> Names(const cJSON* object) {
  std::vector<std::string> names;
  for (const cJSON* m = object != nullptr ? object->child : nullptr;
       m != nullptr; m = m->next)
    names.push_back(m->string != nullptr ? m->string : "");
  return names;
}

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class MetricsTest : public PrivateDalTest {
 protected:
  // The "dbinfo" object as BRIXStats::GetMetrics assembles it.
  Json DbInfo() {
    Json info = NewObject();
    dal.PrepareMetricsDBInfo(info.get());
    dal.PrepareMetricsDBInfoTrustRules(info.get());
    dal.PrepareMetricsDBInfoRulesets(info.get());
    dal.PrepareMetricsDBSize(info.get());
    return info;
  }

  // A file whose connection opens but whose statements cannot all be
  // prepared: the DAL then stays open without any statement.
  void OpenWithoutStatements() {
    Open();
    dal.ShutdownDAL();
    {
      Db db(PathIn("ac.db"));
      db.Exec("DROP TABLE UserList;");
    }
    ASSERT_FALSE(dal.InitDB(false));
    ASSERT_TRUE(dal.IsOpen());
    LogCapture::Clear();
  }

};

// --- "dbinfo" ----------------------------------------------------------------

TEST_F(MetricsTest, DbInfoMembersInOrderWithTheirCounts) {
  Open();
  {
    Db db(PathIn("ac.db"));
    // Prelinked items (5) count in the total only.
    db.Exec(
        "INSERT INTO InventoryItems(source, ruleset) VALUES "
        "(1, 'agent'), (2, 'exec-a'), (2, 'exec-a'), (2, 'exec-b'), "
        "(3, ''), (3, NULL), (4, NULL), (4, ''), (4, NULL), (5, NULL);"
        "INSERT INTO TrustRules(processName, procUser, procGroup, userList) "
        "VALUES ('a', NULL, NULL, NULL), ('b', 'root', NULL, NULL), "
        "('c', NULL, 'wheel', NULL), ('d', NULL, NULL, 'admins'), "
        "('e', NULL, NULL, NULL);");
  }
  Json info = DbInfo();
  const std::vector<std::string> expected = {"totalInventoryItems",
                                             "agentRules",
                                             "executionRules",
                                             "scannedItems",
                                             "approvedDrift",
                                             "totalTrustRules",
                                             "totalUserGroupTrustRules",
                                             "rulesets",
                                             "dbsize"};
  EXPECT_EQ(Names(info.get()), expected);
  EXPECT_EQ(JsonNumber(info.get(), "totalInventoryItems"), 10);
  EXPECT_EQ(JsonNumber(info.get(), "agentRules"), 1);
  EXPECT_EQ(JsonNumber(info.get(), "executionRules"), 3);
  EXPECT_EQ(JsonNumber(info.get(), "scannedItems"), 2);
  EXPECT_EQ(JsonNumber(info.get(), "approvedDrift"), 3);
  EXPECT_EQ(JsonNumber(info.get(), "totalTrustRules"), 5);
  EXPECT_EQ(JsonNumber(info.get(), "totalUserGroupTrustRules"), 3);
  EXPECT_EQ(JsonNumber(info.get(), "dbsize"), FileSize(PathIn("ac.db")));

  // One member per non-empty ruleset name; NULL and "" are left out.
  const cJSON* rulesets =
      cJSON_GetObjectItemCaseSensitive(info.get(), "rulesets");
  ASSERT_TRUE(cJSON_IsObject(rulesets));
  EXPECT_EQ(Names(rulesets),
            (std::vector<std::string>{"agent", "exec-a", "exec-b"}));
  EXPECT_EQ(JsonNumber(rulesets, "agent"), 1);
  EXPECT_EQ(JsonNumber(rulesets, "exec-a"), 2);
  EXPECT_EQ(JsonNumber(rulesets, "exec-b"), 1);

  EXPECT_TRUE(LogCapture::Contains(
      "Preparing metrics for InventoryItems Rule Count lock"));
  EXPECT_EQ(LogCapture::Count("Found following rule counts in InventoryItems"),
            1);
  EXPECT_TRUE(LogCapture::Contains(
      "Preparing metrics for InventoryItems Rule Count unlock"));
  EXPECT_TRUE(LogCapture::Contains(
      "Found following rule count in TrustRules for user group 3"));
  EXPECT_EQ(
      LogCapture::Count("Found following ruleset counts in InventoryItems"), 3);
  EXPECT_TRUE(LogCapture::Contains(
      "Preparing metrics for InventoryItems Ruleset Count unlock"));
  EXPECT_TRUE(LogCapture::Contains("Preparing metrics for size of database"));
}

TEST_F(MetricsTest, DbInfoOfAnEmptyDatabaseIsAllZeros) {
  Open();
  Json info = DbInfo();
  // The sums of an empty table are NULL and read as 0.
  for (const char* name :
       {"totalInventoryItems", "agentRules", "executionRules", "scannedItems",
        "approvedDrift", "totalTrustRules", "totalUserGroupTrustRules"})
    EXPECT_EQ(JsonNumber(info.get(), name), 0) << name;
  const cJSON* rulesets =
      cJSON_GetObjectItemCaseSensitive(info.get(), "rulesets");
  ASSERT_TRUE(cJSON_IsObject(rulesets));
  EXPECT_EQ(rulesets->child, nullptr);
  EXPECT_GT(JsonNumber(info.get(), "dbsize"), 0);
}

TEST_F(MetricsTest, CountsAreLoggedUnderTheirOwnNames) {
  Open();
  EXPECT_EQ(dal.UserGroupTrustRulesCount(), 0);
  bool found = false;
  for (const CapturedLog& l : LogCapture::Lines()) {
    if (l.message == "Preparing count for DBInfoUserGroupTrustRules lock") {
      EXPECT_EQ(l.function, "UserGroupTrustRulesCount");
      EXPECT_EQ(l.level, 8u);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(LogCapture::Contains(
      "Preparing count for DBInfoUserGroupTrustRules unlock"));
}

TEST_F(MetricsTest, DbSizeNeedsAPathAndAFile) {
  // Never opened and no path: only the size step can tell.
  Json info = NewObject();
  EXPECT_FALSE(dal.PrepareMetricsDBSize(info.get()));
  EXPECT_EQ(info->child, nullptr);
  EXPECT_TRUE(LogCapture::Contains(
      "BRIXDAL::PrepareMetricsDBSize Unable to run as database path was "
      "never assigned"));

  ASSERT_TRUE(dal.SetDBPath(PathIn("missing.db")));
  EXPECT_FALSE(dal.PrepareMetricsDBSize(info.get()));
  EXPECT_EQ(info->child, nullptr);
  EXPECT_TRUE(LogCapture::Contains(
      "BRIXDAL::PrepareMetricsDBSize Unable to get database information "
      "from path"));
}

TEST_F(MetricsTest, WithoutStatementsOnlyTheCountsAndTheSizeAppear) {
  OpenWithoutStatements();
  Json info = DbInfo();
  // The trust-rule counts yield 0 without their statements; the other
  // statement-backed members are missing.
  EXPECT_EQ(Names(info.get()),
            (std::vector<std::string>{"totalTrustRules",
                                      "totalUserGroupTrustRules", "dbsize"}));
  EXPECT_EQ(JsonNumber(info.get(), "totalTrustRules"), 0);
  EXPECT_TRUE(LogCapture::Contains("m_pLookupRuleCountStmt is released"));
  EXPECT_TRUE(LogCapture::Contains("m_pLookupTrustRuleCountStmt is released"));
  EXPECT_TRUE(
      LogCapture::Contains("m_pLookupUserGroupTrustRuleCountStmt is released"));
  EXPECT_TRUE(LogCapture::Contains("m_pLookupRulesetCountStmt is released"));
  // The lock line comes before the test for the statement; no unlock
  // follows, since the mutex was never taken.
  EXPECT_TRUE(LogCapture::Contains(
      "Preparing metrics for InventoryItems Rule Count lock"));
  EXPECT_FALSE(LogCapture::Contains(
      "Preparing metrics for InventoryItems Rule Count unlock"));

  Json array = NewArray();
  EXPECT_FALSE(dal.PrepareMetrics(array.get()));
  EXPECT_EQ(cJSON_GetArraySize(array.get()), 0);
  EXPECT_TRUE(
      LogCapture::Contains("m_pMetricsLookupTrustRuleStmt is released"));
  EXPECT_FALSE(
      LogCapture::Contains("Preparing metrics for TrustedRulesets unlock"));
}

TEST_F(MetricsTest, NeverOpenedDalReportsEveryStatementReleased) {
  Json info = NewObject();
  EXPECT_FALSE(dal.PrepareMetricsDBInfo(info.get()));
  EXPECT_TRUE(dal.PrepareMetricsDBInfoTrustRules(info.get()));
  EXPECT_FALSE(dal.PrepareMetricsDBInfoRulesets(info.get()));
  EXPECT_EQ(dal.MD5RulesCount(), 0);
  EXPECT_EQ(dal.SHA1RulesCount(), 0);
  EXPECT_TRUE(LogCapture::Contains("m_pLookupMD5CountStmt is released"));
  EXPECT_TRUE(LogCapture::Contains("m_pLookupSHA1CountStmt is released"));
  EXPECT_EQ(Names(info.get()),
            (std::vector<std::string>{"totalTrustRules",
                                      "totalUserGroupTrustRules"}));
}

// --- "trustrules_stats" -----------------------------------------------------

TEST_F(MetricsTest, TrustRuleStatsListRulesThatMatchedWithAllMembers) {
  Open();
  {
    Db db(PathIn("ac.db"));
    db.Exec(
        "INSERT INTO TrustRules(trustRuleId, processName, paths, trustType, "
        "signerName, productName, companyName, sha256, issuerCN, issuerC, "
        "issuerS, issuerL, issuerO, issuerOU, hitcount, ruleset, procUser, "
        "procGroup, userList) VALUES "
        "(7, '/usr/bin/apt', '/opt/;/srv/', 2, 'Signer', 'Product', "
        "'Company', x'" +
        std::string(56, 'A') +
        "0123ABCD', 'CN', 'C', "
        "'S', 'L', 'O', 'OU', 3, 'rs-1', 'alice', 'staff', 'admins'),"
        // Never matched: not listed.
        "(8, 'idle', NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL, 0, 'rs-2', NULL, NULL, NULL),"
        // Matched once: only the set columns appear.
        "(9, NULL, '/x/', 4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL, 1, NULL, NULL, NULL, NULL);");
  }
  Json array = NewArray();
  ASSERT_TRUE(dal.PrepareMetrics(array.get()));
  ASSERT_EQ(cJSON_GetArraySize(array.get()), 2);

  const cJSON* full = cJSON_GetArrayItem(array.get(), 0);
  const std::vector<std::string> expected = {
      "trustRuleId", "paths",       "hitcount",    "processName", "trustType",
      "signerName",  "productName", "companyName", "sha256",      "issuerCN",
      "issuerC",     "issuerS",     "issuerL",     "issuerO",     "issuerOU",
      "user",        "group",       "userList"};
  EXPECT_EQ(Names(full), expected);
  EXPECT_EQ(JsonNumber(full, "trustRuleId"), 7);
  EXPECT_EQ(JsonText(full, "paths"), "/opt/;/srv/");
  EXPECT_EQ(JsonNumber(full, "hitcount"), 3);
  EXPECT_EQ(JsonText(full, "processName"), "/usr/bin/apt");
  EXPECT_EQ(JsonNumber(full, "trustType"), 2);
  EXPECT_EQ(JsonText(full, "signerName"), "Signer");
  EXPECT_EQ(JsonText(full, "sha256"), std::string(56, 'a') + "0123abcd");
  EXPECT_EQ(JsonText(full, "issuerS"), "S");
  EXPECT_EQ(JsonText(full, "issuerOU"), "OU");
  EXPECT_EQ(JsonText(full, "user"), "alice");
  EXPECT_EQ(JsonText(full, "group"), "staff");
  EXPECT_EQ(JsonText(full, "userList"), "admins");

  const cJSON* sparse = cJSON_GetArrayItem(array.get(), 1);
  EXPECT_EQ(Names(sparse), (std::vector<std::string>{"trustRuleId", "paths",
                                                     "hitcount", "trustType"}));
  EXPECT_EQ(JsonNumber(sparse, "trustRuleId"), 9);
  EXPECT_EQ(JsonNumber(sparse, "hitcount"), 1);

  EXPECT_EQ(LogCapture::Count("Found TrustRule with a hitcount greater than 1"),
            2);
  EXPECT_TRUE(
      LogCapture::Contains("Preparing metrics for TrustedRulesets lock"));
  EXPECT_TRUE(
      LogCapture::Contains("Preparing metrics for TrustedRulesets unlock"));
}

TEST_F(MetricsTest, TrustRuleStatsFollowTheHitcountOnEveryCall) {
  Open();
  ac_trust_rule rule;
  rule.processName = "p";
  ASSERT_NE(dal.StoreTrustRule(rule), 0u);
  // No rule ever matched: an empty array.
  Json none = NewArray();
  EXPECT_TRUE(dal.PrepareMetrics(none.get()));
  EXPECT_EQ(cJSON_GetArraySize(none.get()), 0);
  // Once it matched it is listed, on every call: a statement left
  // positioned on its row would skip it the next time.
  {
    Db db(PathIn("ac.db"));
    db.Exec("UPDATE TrustRules SET hitcount = 2;");
  }
  for (int call = 0; call < 2; ++call) {
    Json array = NewArray();
    ASSERT_TRUE(dal.PrepareMetrics(array.get()));
    EXPECT_EQ(cJSON_GetArraySize(array.get()), 1) << "call " << call;
  }
}

// --- Through the exported function -----------------------------------------

TEST_F(MetricsTest, MetricsDocumentCarriesTheDatabaseSections) {
  ac_engine_start_s s = MakeStart("ac.db", &LogCapture::Callback, 15);
  ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  {
    Db db(PathIn("ac.db"));
    db.Exec(
        "INSERT INTO InventoryItems(source, ruleset) VALUES (2, 'exec'), "
        "(3, NULL);"
        "INSERT INTO TrustRules(processName, hitcount, procUser) VALUES "
        "('p', 4, 'bob'), ('q', 0, NULL);");
  }
  uint32_t length = 0;
  ASSERT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  std::vector<char> buffer(length);
  ASSERT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  engine_stop();

  Json root(cJSON_Parse(buffer.data()), &cJSON_Delete);
  ASSERT_NE(root, nullptr);
  const cJSON* metrics =
      cJSON_GetObjectItemCaseSensitive(root.get(), "metrics");
  const cJSON* stats =
      cJSON_GetObjectItemCaseSensitive(metrics, "trustrules_stats");
  ASSERT_EQ(cJSON_GetArraySize(stats), 1);
  EXPECT_EQ(JsonText(cJSON_GetArrayItem(stats, 0), "user"), "bob");
  EXPECT_EQ(JsonNumber(cJSON_GetArrayItem(stats, 0), "hitcount"), 4);

  const cJSON* info = cJSON_GetObjectItemCaseSensitive(metrics, "dbinfo");
  EXPECT_EQ(JsonNumber(info, "totalInventoryItems"), 2);
  EXPECT_EQ(JsonNumber(info, "executionRules"), 1);
  EXPECT_EQ(JsonNumber(info, "scannedItems"), 1);
  EXPECT_EQ(JsonNumber(info, "totalTrustRules"), 2);
  EXPECT_EQ(JsonNumber(info, "totalUserGroupTrustRules"), 1);
  EXPECT_EQ(JsonNumber(cJSON_GetObjectItemCaseSensitive(info, "rulesets"), "exec"),
            1);
  EXPECT_EQ(JsonNumber(info, "dbsize"), FileSize(PathIn("ac.db")));
}

}  // namespace
