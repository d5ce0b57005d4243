// The inventory export: pages of inventory items or trust rules written to
// the host's payload file, one compact JSON object per "\r\n" line.
#include <cjson/cJSON.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "test_util.h"

namespace {

using Ids = std::vector<double>;
using Names = std::vector<std::string>;

class ExportTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    payload = PathIn("payload.json");
    Open();
  }

  void Exec(const std::string& sql) { Db(PathIn("ac.db")).Exec(sql); }

  // Items with ids 1..n, odd ids of source 3, even ids of source 4.
  void AddItems(int n) {
    std::string sql;
    for (int i = 1; i <= n; ++i)
      sql += "INSERT INTO InventoryItems(inventoryItemId, fileName, path, size, source) "
             "VALUES (" + std::to_string(i) + ", 'f" + std::to_string(i) + "', '/p/', " +
             std::to_string(i) + ", " + (i % 2 ? "3" : "4") + ");";
    Exec(sql);
  }

  // The exported page, one parsed object per line; every line ends in "\r\n".
  std::vector<JsonPtr> Page() {
    std::vector<JsonPtr> rows;
    const std::string text = ReadFile(payload);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = text.substr(start, end - start);
      EXPECT_EQ(line.find('\n'), std::string::npos);
      rows.push_back(ParseJson(line));
    }
    EXPECT_EQ(start, text.size()) << "unterminated line in " << text;
    return rows;
  }

  Ids PageOf(const char* member) {
    Ids values;
    for (const JsonPtr& row : Page()) values.push_back(JsonNumber(row.get(), member));
    return values;
  }

  bool Export(uint64_t lastId, uint64_t limit, DALSource source,
              const std::string& scan = "scan-1") {
    return dal.GetItems(lastId, limit, source, payload, scan);
  }

  std::string payload;
};

// --- Paging ------------------------------------------------------------------

TEST_F(ExportTest, PagesFollowTheLastIdTheLimitAndTheSource) {
  AddItems(8);
  Exec("DELETE FROM InventoryItems WHERE inventoryItemId IN (2, 3);"
       "INSERT INTO TrustRules(trustRuleId, processName) VALUES (1, 'a'), (2, 'b'), "
       "(5, 'c'), (9, 'd');");
  // Each page replaces the payload, in this order: a shorter page or an
  // empty one over a longer one shows any line the host would read again.
  const struct {
    uint64_t lastId, limit;
    DALSource source;
    Ids ids;
  } kPages[] = {
      {0, 2, DAL_SOURCE_ALL, {1, 4}},
      {4, 2, DAL_SOURCE_ALL, {5, 6}},
      {6, 2, DAL_SOURCE_ALL, {7, 8}},
      {8, 2, DAL_SOURCE_ALL, {}},  // past the end: empty, and still success
      {0, 0, DAL_SOURCE_ALL, {}},  // a limit of 0 asks for nothing
      {0, UINT64_MAX, DAL_SOURCE_ALL, {1, 4, 5, 6, 7, 8}},  // the largest means all
      {UINT64_MAX, 10, DAL_SOURCE_ALL, {}},
      {0, 2, DAL_SOURCE_SCANNED_ITEMS, {1, 5}},
      {5, 10, DAL_SOURCE_SCANNED_ITEMS, {7}},
      {0, 10, DAL_SOURCE_APPROVED_DRIFT, {4, 6, 8}},
      {0, 10, DAL_SOURCE_PRELINK, {}},
  };
  for (const auto& p : kPages) {
    ASSERT_TRUE(Export(p.lastId, p.limit, p.source));
    EXPECT_EQ(PageOf("inventoryItemId"), p.ids) << p.lastId << " " << p.limit << " " << p.source;
    if (p.source == DAL_SOURCE_ALL) continue;
    for (const JsonPtr& row : Page()) EXPECT_EQ(JsonNumber(row.get(), "source"), p.source);
  }
  // Rules page by their own ids; inventory rows never appear among them.
  const struct {
    uint64_t lastId;
    Ids ids;
  } kRulePages[] = {{1, {2, 5}}, {5, {9}}, {9, {}}};
  for (const auto& p : kRulePages) {
    ASSERT_TRUE(Export(p.lastId, 2, DAL_SOURCE_TRUST_RULES));
    EXPECT_EQ(PageOf("trustRuleId"), p.ids) << p.lastId;
  }
}

// --- Lines -------------------------------------------------------------------

TEST_F(ExportTest, InventoryLineIsCompactWithMembersInOrder) {
  Exec("INSERT INTO InventoryItems(inventoryItemId, fileName, path, nativePath, md5, sha1, "
       "sha256, size, recordTime, isAuthorized, source, ruleset) VALUES (3, 'ls', '/usr/bin/', "
       "'/usr/bin/ls', NULL, x'" + std::string(40, 'B') + "', x'00" + std::string(60, 'C') +
       "EF', 142, 1700000000123, 1, 3, 'rs-9');");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL, "0f1e-scan"));
  EXPECT_EQ(ReadFile(payload),
            "{\"inventoryItemId\":3,\"fileName\":\"ls\",\"path\":\"/usr/bin/\","
            "\"nativePath\":\"/usr/bin/ls\",\"md5\":\"\",\"sha1\":\"" + std::string(40, 'b') +
                "\",\"sha256\":\"00" + std::string(60, 'c') +
                "ef\",\"size\":142,\"recordTime\":1700000000123,"
                "\"isAuthorized\":1,\"source\":3,\"rulesetId\":\"rs-9\","
                "\"scanUuid\":\"0f1e-scan\"}\r\n");
}

TEST_F(ExportTest, DigestsAreAlwaysThereAndNullTextsAreLeftOut) {
  Exec("INSERT INTO InventoryItems(inventoryItemId, md5, sha1, sha256, size, recordTime, "
       "source) VALUES (1, x'" + std::string(32, 'D') + "', NULL, NULL, 2147483647, "
       "4102444800000, 2),"
       // A digest shorter than its kind is padded, never read past its end;
       // an empty one reads like NULL.
       "(2, x'0102', x'', x'FF', 2147483648, 0, 2), (3, NULL, NULL, NULL, 4294967306, 0, 2);");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL, ""));
  const std::vector<JsonPtr> rows = Page();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(JsonMemberNames(rows[0].get()),
            (Names{"inventoryItemId", "md5", "sha1", "sha256", "size", "recordTime",
                   "isAuthorized", "source", "scanUuid"}));
  const struct {
    int row;
    const char* member;
    std::string text;
  } kTexts[] = {
      {0, "md5", std::string(32, 'd')}, {0, "sha1", ""}, {0, "sha256", ""},
      {1, "md5", "0102" + std::string(28, '0')}, {1, "sha1", ""},
      {1, "sha256", "ff" + std::string(62, '0')}, {0, "scanUuid", ""},
  };
  for (const auto& t : kTexts)
    EXPECT_EQ(JsonText(rows[t.row].get(), t.member), t.text) << t.row << " " << t.member;
  // Sizes wrap into the signed 32-bit range; the record time is 64 bits.
  EXPECT_EQ(PageOf("size"), (Ids{2147483647.0, -2147483648.0, 10.0}));
  EXPECT_EQ(JsonNumber(rows[0].get(), "recordTime"), 4102444800000.0);
}

TEST_F(ExportTest, TrustRuleLineCarriesTheRuleAndItsListsUsers) {
  ac_trust_rule rule;
  rule.processName = "/usr/bin/apt";
  rule.paths = "/opt/;/srv/";
  rule.trustType = DAL_TRUST_TARGET;
  rule.signerName = "Signer";
  rule.productName = "Product";
  rule.companyName = "Company";
  rule.sha256.SetHash(SeedDigest(0xAB).data());
  const char* issuers[] = {"CN", "C", "S", "L", "O", "OU"};
  for (int i = 0; i < kIssuerFieldCount; ++i) rule.issuer[i] = issuers[i];
  rule.ruleset = "rs-1";
  rule.procUser = "alice";
  rule.procGroup = "staff";
  rule.userList = "admins";
  ASSERT_EQ(dal.StoreTrustRule(rule), 1u);
  for (const auto& [list, user] : std::vector<std::pair<std::string, std::string>>{
           {"admins", "root"}, {"others", "mallory"}, {"admins", "alice"}, {"admins", "bob"}}) {
    ac_user_list row{list, user};
    ASSERT_NE(dal.StoreUserList(row), 0u);
  }
  // Rules without a list, with a list that has no rows, and lists that
  // alternate: a lookup left bound would leak one rule's users into the next.
  Exec("UPDATE TrustRules SET hitcount = 12;"
       "INSERT INTO TrustRules(trustRuleId, processName, trustType, userList) VALUES "
       "(2, 'a', 1, NULL), (3, 'b', 3, 'nobody-here'), (4, 'c', 0, ''), (5, 'd', 0, 'others'),"
       "(6, 'e', 0, 'admins');");

  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  const std::vector<JsonPtr> rows = Page();
  ASSERT_EQ(rows.size(), 6u);
  const cJSON* row = rows[0].get();
  EXPECT_EQ(JsonMemberNames(row),
            (Names{"trustRuleId", "paths", "hitcount", "processName", "trustType", "signername",
                   "productName", "companyName", "sha256", "issuerCN", "issuerC", "issuerS",
                   "issuerL", "issuerO", "issuerOU", "user", "group", "userList", "users",
                   "userListCount"}));
  EXPECT_EQ(JsonNumber(row, "hitcount"), 12);
  EXPECT_EQ(JsonNumber(row, "trustType"), 2);
  EXPECT_EQ(JsonText(row, "sha256"), SeedHex(0xAB));
  for (const auto& [member, text] : std::vector<std::pair<const char*, std::string>>{
           {"signername", "Signer"}, {"issuerS", "S"}, {"issuerL", "L"},
           {"user", "alice"}, {"group", "staff"}})
    EXPECT_EQ(JsonText(row, member), text) << member;
  Names users;
  const cJSON* u = nullptr;
  cJSON_ArrayForEach(u, cJSON_GetObjectItemCaseSensitive(row, "users"))
      users.push_back(u->valuestring);
  std::sort(users.begin(), users.end());
  EXPECT_EQ(users, (Names{"alice", "bob", "root"}));
  // No scan id and no ruleset on trust-rule lines.
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(row, "scanUuid"), nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(row, "ruleset"), nullptr);
  // Without a list: no users and no count.
  EXPECT_EQ(JsonMemberNames(rows[1].get()), (Names{"trustRuleId", "hitcount", "processName", "trustType"}));
  EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(rows[2].get(), "users")));
  Ids counts;  // -1: no count
  for (const JsonPtr& r : rows) {
    const cJSON* count = cJSON_GetObjectItemCaseSensitive(r.get(), "userListCount");
    counts.push_back(cJSON_IsNumber(count) ? count->valuedouble : -1);
  }
  EXPECT_EQ(counts, (Ids{3, -1, 0, 0, 1, 3}));
}

// --- The payload file --------------------------------------------------------

TEST_F(ExportTest, PayloadPathsThatMustNotBeWritten) {
  AddItems(1);
  const std::string db = PathIn("ac.db"), dbBefore = ReadFile(db);
  ASSERT_EQ(symlink(db.c_str(), PathIn("to-db").c_str()), 0);
  ASSERT_EQ(symlink(PathIn("made-by-link").c_str(), PathIn("dangling").c_str()), 0);
  // A link is never followed: through one to the database the export
  // would truncate it; a dangling one would create its target.
  for (const std::string& path : {PathIn("to-db"), PathIn("dangling"), dir(),
                                  PathIn("no/such/dir/payload.json")}) {
    payload = path;
    EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL)) << path;
  }
  EXPECT_EQ(ReadFile(db), dbBefore);
  EXPECT_NE(access(PathIn("made-by-link").c_str(), F_OK), 0);
  // Every failure released the lock.
  payload = PathIn("payload.json");
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));

  // A payload the host may not write keeps its earlier page; root could,
  // so the export runs as nobody.
  WriteText(payload, "earlier page\r\n");
  ASSERT_EQ(chmod(payload.c_str(), 0444), 0);
  ASSERT_EQ(chmod(db.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir().c_str(), 0777), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        BRIXDAL local;
        local.SetDBPath(db);
        say("opened", local.InitDB(false).ok() ? "yes" : "no");
        say("export", local.GetItems(0, 10, DAL_SOURCE_ALL, payload, "s") ? "yes" : "no");
      },
      true);
  EXPECT_TRUE(child.ExitedCleanly());
  EXPECT_EQ(child.Value("opened"), "yes");
  EXPECT_EQ(child.Value("export"), "no");
  EXPECT_EQ(ReadFile(payload), "earlier page\r\n");
}

TEST_F(ExportTest, WriteFailureStopsThePageAndKeepsEarlierLines) {
  AddItems(3);
  ASSERT_TRUE(Export(0, 1, DAL_SOURCE_ALL));
  const std::string first = ReadFile(payload);
  ASSERT_FALSE(first.empty());
  // The file may grow only a little past the first line.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = first.size() + 5;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool result = Export(0, 10, DAL_SOURCE_ALL);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_FALSE(result);
  const std::string text = ReadFile(payload);
  EXPECT_EQ(text.size(), first.size() + 5);
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));  // the lock was released
}

// --- A database that fails -----------------------------------------------------

TEST_F(ExportTest, WithoutAConnectionNothingIsWritten) {
  dal.ShutdownDAL();
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(access(payload.c_str(), F_OK), -1);
  Open();  // the mutex is free again
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
}

TEST_F(ExportTest, BrokenStatementsFailThePageOrEndItEarly) {
  Exec("INSERT INTO TrustRules(trustRuleId, processName, userList) VALUES "
       "(1, 'a', NULL), (2, 'b', 'admins'), (3, 'c', NULL);");
  AddItems(1);
  dal.ShutdownDAL();
  // Without the view the inventory cannot be read; without UserList the
  // statement set is not prepared and the user lookup is missing.
  Exec("DROP VIEW Items; DROP TABLE UserList;");
  ASSERT_FALSE(dal.InitDB(false));
  ASSERT_TRUE(dal.IsOpen());
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_SCANNED_ITEMS));
  EXPECT_EQ(access(payload.c_str(), F_OK), -1);
  // The page of rules ends before the first rule that names a list.
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(PageOf("trustRuleId"), (Ids{1}));
}

}  // namespace
