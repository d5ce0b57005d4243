// The database sections of the metrics document: "trustrules_stats" and
// "dbinfo", with the row counts behind them.
#include <cjson/cJSON.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "test_util.h"

namespace {

JsonPtr NewObject() { return JsonPtr(cJSON_CreateObject(), &cJSON_Delete); }
JsonPtr NewArray() { return JsonPtr(cJSON_CreateArray(), &cJSON_Delete); }

class MetricsTest : public PrivateDalTest {
 protected:
  // The "dbinfo" object as BRIXStats::GetMetrics assembles it.
  JsonPtr DbInfo() {
    JsonPtr info = NewObject();
    dal.PrepareMetricsDBInfo(info.get());
    dal.PrepareMetricsDBInfoTrustRules(info.get());
    dal.PrepareMetricsDBInfoRulesets(info.get());
    dal.PrepareMetricsDBSize(info.get());
    return info;
  }
};

// Members and numbers of an object as "name=value" (objects in braces);
// the file size only by name, since it varies.
std::string Flat(const cJSON* object) {
  std::string out;
  for (const cJSON* m = object->child; m != nullptr; m = m->next) {
    out += out.empty() ? "" : " ";
    out += m->string;
    if (cJSON_IsObject(m))
      out.append("{").append(Flat(m)).append("}");
    else if (std::string(m->string) != "dbsize")
      out.append("=").append(std::to_string(static_cast<long long>(m->valuedouble)));
  }
  return out;
}

// --- "dbinfo" ----------------------------------------------------------------

TEST_F(MetricsTest, DbInfoMembersInOrderWithTheirCounts) {
  const struct {
    const char* what;
    const char* rows;
    const char* expected;
  } kCases[] = {
      // The sums of an empty table are NULL and read as 0.
      {"empty", "",
       "totalInventoryItems=0 agentRules=0 executionRules=0 scannedItems=0 "
       "approvedDrift=0 totalTrustRules=0 totalUserGroupTrustRules=0 "
       "rulesets{} dbsize"},
      // Prelinked items (5) count in the total only; one ruleset member
      // per non-empty name.
      {"filled",
       "INSERT INTO InventoryItems(source, ruleset) VALUES "
       "(1, 'agent'), (2, 'exec-a'), (2, 'exec-a'), (2, 'exec-b'), "
       "(3, ''), (3, NULL), (4, NULL), (4, ''), (4, NULL), (5, NULL);"
       "INSERT INTO TrustRules(processName, procUser, procGroup, userList) "
       "VALUES ('a', NULL, NULL, NULL), ('b', 'root', NULL, NULL), "
       "('c', NULL, 'wheel', NULL), ('d', NULL, NULL, 'admins'), "
       "('e', NULL, NULL, NULL);",
       "totalInventoryItems=10 agentRules=1 executionRules=3 scannedItems=2 "
       "approvedDrift=3 totalTrustRules=5 totalUserGroupTrustRules=3 "
       "rulesets{agent=1 exec-a=2 exec-b=1} dbsize"},
  };
  Open();
  for (const auto& c : kCases) {
    Db(PathIn("ac.db")).Exec(c.rows);
    JsonPtr info = DbInfo();
    EXPECT_EQ(Flat(info.get()), c.expected) << c.what;
    EXPECT_EQ(JsonNumber(info.get(), "dbsize"), std::filesystem::file_size(PathIn("ac.db")));
  }
}

TEST_F(MetricsTest, WithoutStatementsOrFileOnlyWhatCanBeKnownAppears) {
  // Never opened and no path: the counts read 0, the rest is missing.
  JsonPtr never = DbInfo();
  EXPECT_EQ(Flat(never.get()), "totalTrustRules=0 totalUserGroupTrustRules=0");
  EXPECT_EQ(dal.MD5RulesCount(), 0);
  EXPECT_EQ(dal.SHA1RulesCount(), 0);
  ASSERT_TRUE(dal.SetDBPath(PathIn("missing.db")));
  JsonPtr missing = NewObject();
  EXPECT_FALSE(dal.PrepareMetricsDBSize(missing.get()));
  EXPECT_EQ(missing->child, nullptr);

  // A file whose connection opens but whose statements cannot all be
  // prepared: the DAL then stays open without any statement.
  Open();
  dal.ShutdownDAL();
  Db(PathIn("ac.db")).Exec("DROP TABLE UserList;");
  ASSERT_FALSE(dal.InitDB(false));
  ASSERT_TRUE(dal.IsOpen());
  JsonPtr info = DbInfo();
  EXPECT_EQ(Flat(info.get()), "totalTrustRules=0 totalUserGroupTrustRules=0 dbsize");
  JsonPtr array = NewArray();
  EXPECT_FALSE(dal.PrepareMetrics(array.get()));
  EXPECT_EQ(cJSON_GetArraySize(array.get()), 0);
}

// --- "trustrules_stats" -----------------------------------------------------

TEST_F(MetricsTest, TrustRuleStatsListRulesThatMatchedOnEveryCall) {
  Open();
  // No rule ever matched: an empty array.
  JsonPtr none = NewArray();
  EXPECT_TRUE(dal.PrepareMetrics(none.get()));
  EXPECT_EQ(cJSON_GetArraySize(none.get()), 0);
  Db(PathIn("ac.db")).Exec(
      "INSERT INTO TrustRules(trustRuleId, processName, paths, trustType, signerName, "
      "productName, companyName, sha256, issuerCN, issuerC, issuerS, issuerL, issuerO, "
      "issuerOU, hitcount, ruleset, procUser, procGroup, userList) VALUES "
      "(7, '/usr/bin/apt', '/opt/;/srv/', 2, 'Signer', 'Product', 'Company', x'" +
      std::string(56, 'A') +
      "0123ABCD', 'CN', 'C', 'S', 'L', 'O', 'OU', 3, 'rs-1', 'alice', 'staff', 'admins'),"
      // Never matched: not listed.
      "(8, 'idle', NULL, 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
      "NULL, NULL, 0, 'rs-2', NULL, NULL, NULL),"
      // Matched once: only the set columns appear.
      "(9, NULL, '/x/', 4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
      "NULL, NULL, 1, NULL, NULL, NULL, NULL);");
  // Listed on every call: a statement left positioned on a row would skip
  // it the next time.
  JsonPtr array = NewArray();
  for (int call = 0; call < 2; ++call) {
    array = NewArray();
    ASSERT_TRUE(dal.PrepareMetrics(array.get()));
    ASSERT_EQ(cJSON_GetArraySize(array.get()), 2) << "call " << call;
  }

  const cJSON* full = cJSON_GetArrayItem(array.get(), 0);
  const std::vector<std::string> expected = {
      "trustRuleId", "paths",       "hitcount",    "processName", "trustType",
      "signerName",  "productName", "companyName", "sha256",      "issuerCN",
      "issuerC",     "issuerS",     "issuerL",     "issuerO",     "issuerOU",
      "user",        "group",       "userList"};
  EXPECT_EQ(JsonMemberNames(full), expected);
  EXPECT_EQ(JsonNumber(full, "trustRuleId"), 7);
  EXPECT_EQ(JsonText(full, "paths"), "/opt/;/srv/");
  EXPECT_EQ(JsonNumber(full, "hitcount"), 3);
  EXPECT_EQ(JsonText(full, "processName"), "/usr/bin/apt");
  EXPECT_EQ(JsonNumber(full, "trustType"), 2);
  EXPECT_EQ(JsonText(full, "sha256"), std::string(56, 'a') + "0123abcd");
  EXPECT_EQ(JsonText(full, "issuerS"), "S");
  EXPECT_EQ(JsonText(full, "group"), "staff");

  const cJSON* sparse = cJSON_GetArrayItem(array.get(), 1);
  EXPECT_EQ(JsonMemberNames(sparse), (std::vector<std::string>{"trustRuleId", "paths",
                                                     "hitcount", "trustType"}));
  EXPECT_EQ(JsonNumber(sparse, "trustRuleId"), 9);
  EXPECT_EQ(JsonNumber(sparse, "hitcount"), 1);
}

}  // namespace
