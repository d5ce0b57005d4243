// The inventory export: pages of inventory items or trust rules written to
// the host's payload file, one compact JSON object per "\r\n" line.
#include <cjson/cJSON.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "brix.h"
#include "test_util.h"

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::vector<std::string> Names(const cJSON* object) {
  std::vector<std::string> names;
  for (const cJSON* m = object != nullptr ? object->child : nullptr;
       m != nullptr; m = m->next)
    names.push_back(m->string);
  return names;
}

// The lines of a payload; every line must end in "\r\n".
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "unterminated line in " << text;
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(lines.back().find('\n'), std::string::npos);
    start = end + 2;
  }
  return lines;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class ExportTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    payload = PathIn("payload.json");
  }

  void Exec(const std::string& sql) {
    Db db(PathIn("ac.db"));
    db.Exec(sql);
  }

  // Items with ids 1..n, alternating sources 3 and 4.
  void AddItems(int n) {
    std::string sql;
    for (int i = 1; i <= n; ++i)
      sql +=
          "INSERT INTO InventoryItems(inventoryItemId, fileName, path, "
          "size, source) VALUES (" +
          std::to_string(i) + ", 'f" + std::to_string(i) + "', '/p/', " +
          std::to_string(i) + ", " + (i % 2 ? "3" : "4") + ");";
    Exec(sql);
  }

  // The exported page, one parsed object per line.
  std::vector<Json> Page() {
    std::vector<Json> rows;
    for (const std::string& line : Lines(ReadFile(payload))) {
      rows.emplace_back(cJSON_Parse(line.c_str()), &cJSON_Delete);
      EXPECT_NE(rows.back(), nullptr) << line;
    }
    return rows;
  }

  std::vector<double> PageIds(const char* member = "inventoryItemId") {
    std::vector<double> ids;
    for (const Json& row : Page()) ids.push_back(JsonNumber(row.get(), member));
    return ids;
  }

  bool Export(uint64_t lastId, uint64_t limit, DALSource source,
              const std::string& scan = "scan-1") {
    return dal.GetItems(lastId, limit, source, payload, scan);
  }

  std::string payload;
};

using Ids = std::vector<double>;

// --- Paging ------------------------------------------------------------------

TEST_F(ExportTest, PagesFollowTheLastIdAndTheLimit) {
  Open();
  AddItems(5);
  ASSERT_TRUE(Export(0, 2, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{1, 2}));
  ASSERT_TRUE(Export(2, 2, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{3, 4}));
  ASSERT_TRUE(Export(4, 2, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{5}));
  // Past the end: an empty file, and still success.
  ASSERT_TRUE(Export(5, 2, DAL_SOURCE_ALL));
  EXPECT_EQ(ReadFile(payload), "");
  // A limit of 0 asks for nothing.
  ASSERT_TRUE(Export(0, 0, DAL_SOURCE_ALL));
  EXPECT_EQ(ReadFile(payload), "");

  EXPECT_TRUE(LogCapture::Contains("GetItems"));
  EXPECT_EQ(LogCapture::Count("GetItems lock"), 5);
  EXPECT_EQ(LogCapture::Count("GetItems unlock"), 5);
}

TEST_F(ExportTest, LastIdSkipsGapsAndTheLargestLimitMeansAll) {
  Open();
  AddItems(6);
  Exec("DELETE FROM InventoryItems WHERE inventoryItemId IN (2, 3);");
  ASSERT_TRUE(Export(1, 2, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{4, 5}));
  ASSERT_TRUE(Export(0, UINT64_MAX, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{1, 4, 5, 6}));
  ASSERT_TRUE(Export(UINT64_MAX, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(ReadFile(payload), "");
}

TEST_F(ExportTest, OtherSourcesExportOnlyTheirOwnItems) {
  Open();
  AddItems(7);  // odd ids are source 3, even ids source 4
  ASSERT_TRUE(Export(0, 2, DAL_SOURCE_SCANNED_ITEMS));
  EXPECT_EQ(PageIds(), (Ids{1, 3}));
  ASSERT_TRUE(Export(3, 10, DAL_SOURCE_SCANNED_ITEMS));
  EXPECT_EQ(PageIds(), (Ids{5, 7}));
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_APPROVED_DRIFT));
  EXPECT_EQ(PageIds(), (Ids{2, 4, 6}));
  for (const Json& row : Page()) EXPECT_EQ(JsonNumber(row.get(), "source"), 4);
  // A source no item has gives an empty page.
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_PRELINK));
  EXPECT_EQ(ReadFile(payload), "");
}

// --- Inventory lines
// -----------------------------------------------------------

TEST_F(ExportTest, InventoryLineIsCompactWithMembersInOrder) {
  Open();
  Exec(
      "INSERT INTO InventoryItems(inventoryItemId, fileName, path, nativePath, "
      "md5, sha1, sha256, size, recordTime, isAuthorized, source, ruleset) "
      "VALUES (3, 'ls', '/usr/bin/', '/usr/bin/ls', NULL, x'" +
      std::string(40, 'B') + "', x'00" + std::string(60, 'C') +
      "EF', 142, 1700000000123, 1, 3, 'rs-9');");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL, "0f1e-scan"));
  EXPECT_EQ(ReadFile(payload),
            "{\"inventoryItemId\":3,\"fileName\":\"ls\",\"path\":\"/usr/bin/\","
            "\"nativePath\":\"/usr/bin/ls\",\"md5\":\"\",\"sha1\":\"" +
                std::string(40, 'b') + "\",\"sha256\":\"00" +
                std::string(60, 'c') +
                "ef\",\"size\":142,\"recordTime\":1700000000123,"
                "\"isAuthorized\":1,\"source\":3,\"rulesetId\":\"rs-9\","
                "\"scanUuid\":\"0f1e-scan\"}\r\n");
}

TEST_F(ExportTest, InventoryDigestsAndNullTexts) {
  Open();
  Exec(
      "INSERT INTO InventoryItems(inventoryItemId, md5, sha1, sha256, source) "
      "VALUES (1, x'" +
      std::string(32, 'D') +
      "', NULL, NULL, 2),"
      // A digest shorter than its kind is padded, never read past its end;
      // an empty one reads like NULL.
      "(2, x'0102', x'', x'FF', 2);");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL, ""));
  const std::vector<Json> rows = Page();
  ASSERT_EQ(rows.size(), 2u);
  // NULL texts leave their members out; the digests are always there.
  EXPECT_EQ(Names(rows[0].get()),
            (std::vector<std::string>{"inventoryItemId", "md5", "sha1",
                                      "sha256", "size", "recordTime",
                                      "isAuthorized", "source", "scanUuid"}));
  EXPECT_EQ(JsonText(rows[0].get(), "md5"), std::string(32, 'd'));
  EXPECT_EQ(JsonText(rows[0].get(), "sha1"), "");
  EXPECT_EQ(JsonText(rows[0].get(), "sha256"), "");
  EXPECT_EQ(JsonText(rows[0].get(), "scanUuid"), "");
  EXPECT_EQ(JsonNumber(rows[0].get(), "size"), 0);
  EXPECT_EQ(JsonText(rows[1].get(), "md5"), "0102" + std::string(28, '0'));
  EXPECT_EQ(JsonText(rows[1].get(), "sha1"), "");
  EXPECT_EQ(JsonText(rows[1].get(), "sha256"), "ff" + std::string(62, '0'));
}

TEST_F(ExportTest, SizesWrapIntoTheSigned32BitRange) {
  Open();
  Exec(
      "INSERT INTO InventoryItems(inventoryItemId, size, recordTime, source) "
      "VALUES (1, 2147483647, 4102444800000, 3), (2, 2147483648, 0, 3), "
      "(3, 4294967306, 0, 3), (4, 4294967296, 0, 3), (5, 6442450944, 0, 3);");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
  std::vector<double> sizes;
  for (const Json& row : Page()) sizes.push_back(JsonNumber(row.get(), "size"));
  // 2 GiB - 1 fits; 2 GiB turns negative; 4 GiB + 10 shows as 10.
  EXPECT_EQ(sizes, (std::vector<double>{2147483647.0, -2147483648.0, 10.0, 0.0,
                                        -2147483648.0}));
  // The record time is read as 64 bits.
  EXPECT_EQ(JsonNumber(Page()[0].get(), "recordTime"), 4102444800000.0);
}

// --- Trust-rule lines --------------------------------------------------------

class TrustRuleExportTest : public ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    Open();
  }

  void AddUser(const std::string& list, const std::string& user) {
    ac_user_list row{list, user};
    ASSERT_NE(dal.StoreUserList(row), 0u);
  }
};

TEST_F(TrustRuleExportTest, LineCarriesTheRuleAndItsUsers) {
  ac_trust_rule rule;
  rule.processName = "/usr/bin/apt";
  rule.paths = "/opt/;/srv/";
  rule.trustType = DAL_TRUST_TARGET;
  rule.signerName = "Signer";
  rule.productName = "Product";
  rule.companyName = "Company";
  const std::string digest(32, '\xAB');
  rule.sha256.SetHash(digest.data());
  const char* issuers[] = {"CN", "C", "S", "L", "O", "OU"};
  for (int i = 0; i < kIssuerFieldCount; ++i) rule.issuer[i] = issuers[i];
  rule.ruleset = "rs-1";
  rule.procUser = "alice";
  rule.procGroup = "staff";
  rule.userList = "admins";
  ASSERT_EQ(dal.StoreTrustRule(rule), 1u);
  AddUser("admins", "root");
  AddUser("others", "mallory");
  AddUser("admins", "alice");
  AddUser("admins", "bob");
  Exec("UPDATE TrustRules SET hitcount = 12;");
  LogCapture::Clear();

  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  const std::vector<Json> rows = Page();
  ASSERT_EQ(rows.size(), 1u);
  const cJSON* row = rows[0].get();
  const std::vector<std::string> expected = {
      "trustRuleId", "paths",      "hitcount",    "processName",
      "trustType",   "signername", "productName", "companyName",
      "sha256",      "issuerCN",   "issuerC",     "issuerS",
      "issuerL",     "issuerO",    "issuerOU",    "user",
      "group",       "userList",   "users",       "userListCount"};
  EXPECT_EQ(Names(row), expected);
  EXPECT_EQ(JsonNumber(row, "trustRuleId"), 1);
  EXPECT_EQ(JsonNumber(row, "hitcount"), 12);
  EXPECT_EQ(JsonNumber(row, "trustType"), 2);
  EXPECT_EQ(JsonText(row, "signername"), "Signer");
  std::string hex;
  for (int i = 0; i < 32; ++i) hex += "ab";
  EXPECT_EQ(JsonText(row, "sha256"), hex);
  EXPECT_EQ(JsonText(row, "issuerS"), "S");
  EXPECT_EQ(JsonText(row, "issuerL"), "L");
  EXPECT_EQ(JsonText(row, "user"), "alice");
  EXPECT_EQ(JsonText(row, "group"), "staff");
  std::vector<std::string> users;
  const cJSON* u = nullptr;
  cJSON_ArrayForEach(u, cJSON_GetObjectItemCaseSensitive(row, "users"))
      users.push_back(u->valuestring);
  std::sort(users.begin(), users.end());
  EXPECT_EQ(users, (std::vector<std::string>{"alice", "bob", "root"}));
  EXPECT_EQ(JsonNumber(row, "userListCount"), 3);
  // No scan id on trust-rule lines, and the ruleset is not reported.
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(row, "scanUuid"), nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(row, "ruleset"), nullptr);
}

TEST_F(TrustRuleExportTest, UsersOnlyForRulesThatNameAList) {
  Exec(
      "INSERT INTO TrustRules(trustRuleId, processName, trustType, userList) "
      "VALUES (1, 'a', 1, NULL), (2, 'b', 3, 'nobody-here'), (3, 'c', 0, '');");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  const std::vector<Json> rows = Page();
  ASSERT_EQ(rows.size(), 3u);
  // Without a userList: no users, no count, no sha256.
  EXPECT_EQ(Names(rows[0].get()),
            (std::vector<std::string>{"trustRuleId", "hitcount", "processName",
                                      "trustType"}));
  // A list with no rows: an empty array and a count of 0.
  for (int i : {1, 2}) {
    const cJSON* users =
        cJSON_GetObjectItemCaseSensitive(rows[i].get(), "users");
    ASSERT_TRUE(cJSON_IsArray(users)) << i;
    EXPECT_EQ(cJSON_GetArraySize(users), 0);
    EXPECT_EQ(JsonNumber(rows[i].get(), "userListCount"), 0);
  }
}

TEST_F(TrustRuleExportTest, UserLookupIsResetBetweenRules) {
  // A lookup left bound or positioned would leak one rule's users into the
  // next.
  Exec(
      "INSERT INTO TrustRules(trustRuleId, processName, userList) VALUES "
      "(1, 'a', 'l1'), (2, 'b', 'l2'), (3, 'c', 'l1');"
      "INSERT INTO UserList(id, user) VALUES ('l1', 'u1'), ('l1', 'u2'), "
      "('l2', 'u3');");
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  std::vector<double> counts;
  for (const Json& row : Page())
    counts.push_back(JsonNumber(row.get(), "userListCount"));
  EXPECT_EQ(counts, (std::vector<double>{2, 1, 2}));
}

TEST_F(TrustRuleExportTest, PagesFollowTheLastRuleId) {
  Exec(
      "INSERT INTO TrustRules(trustRuleId, processName) VALUES (1, 'a'), "
      "(2, 'b'), (5, 'c'), (9, 'd');"
      // Inventory rows never appear among the rules.
      "INSERT INTO InventoryItems(source) VALUES (3);");
  ASSERT_TRUE(Export(1, 2, DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(PageIds("trustRuleId"), (Ids{2, 5}));
  ASSERT_TRUE(Export(5, 2, DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(PageIds("trustRuleId"), (Ids{9}));
  ASSERT_TRUE(Export(9, 2, DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(ReadFile(payload), "");
}

// --- The payload file
// ------------------------------------------------------------

TEST_F(ExportTest, AnExistingPayloadIsReplaced) {
  Open();
  AddItems(1);
  WriteFile(payload, std::string(10000, 'x'));
  ASSERT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{1}));
  // An empty page truncates too: the host must not read an old page again.
  WriteFile(payload, "old page\r\n");
  ASSERT_TRUE(Export(1, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(ReadFile(payload), "");
}

TEST_F(ExportTest, PayloadThatCannotBeCreatedFails) {
  Open();
  AddItems(1);
  // No such folder.
  payload = PathIn("no/such/dir/payload.json");
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_TRUE(LogCapture::Contains("Couldn't create Payload"));
  // A folder in the way.
  payload = dir();
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  // A symbolic link is not followed: its target stays as it was.
  WriteFile(PathIn("target"), "keep");
  ASSERT_EQ(symlink(PathIn("target").c_str(), PathIn("link").c_str()), 0);
  payload = PathIn("link");
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(ReadFile(PathIn("target")), "keep");
  EXPECT_EQ(LogCapture::Count("Couldn't create Payload"), 3);
  // The lock is released on this path: the next call runs.
  payload = PathIn("payload.json");
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(LogCapture::Count("GetItems unlock"), 4);
}

TEST_F(ExportTest, WriteFailureStopsThePageAndKeepsEarlierLines) {
  Open();
  AddItems(3);
  // Find the size of the first line, then let the file grow only a little
  // past it: the second line is cut off by the file size limit.
  ASSERT_TRUE(Export(0, 1, DAL_SOURCE_ALL));
  const std::string first = ReadFile(payload);
  ASSERT_FALSE(first.empty());

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = first.size() + 5;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool result = Export(0, 10, DAL_SOURCE_ALL);
  setrlimit(RLIMIT_FSIZE, &saved);

  EXPECT_FALSE(result);
  EXPECT_TRUE(LogCapture::Contains("Write to payload " + payload +
                                   " failed, aborting query"));
  const std::string text = ReadFile(payload);
  EXPECT_EQ(text.size(), first.size() + 5);
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_TRUE(LogCapture::Contains("GetItems unlock"));
}

// --- Missing connection and statements ---------------------------------------

TEST_F(ExportTest, WithoutAConnectionNothingIsWritten) {
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_TRUE(LogCapture::Contains("m_DB is released"));
  EXPECT_TRUE(LogCapture::Contains("GetItems lock"));
  // Released without its unlock line, and the file was never opened.
  EXPECT_FALSE(LogCapture::Contains("GetItems unlock"));
  EXPECT_EQ(access(payload.c_str(), F_OK), -1);
  // The mutex is free again.
  Open();
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
}

TEST_F(ExportTest, QueryThatCannotBePreparedFails) {
  Open();
  dal.ShutdownDAL();
  Exec("DROP VIEW Items;");
  ASSERT_TRUE(dal.InitDB(false));
  LogCapture::Clear();
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_SCANNED_ITEMS));
  EXPECT_TRUE(LogCapture::Contains("sqlite3_prepare_v2 failed. rc: 1"));
  EXPECT_TRUE(LogCapture::Contains("GetItems unlock"));
  EXPECT_EQ(access(payload.c_str(), F_OK), -1);
  // The trust rules do not need the view.
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
}

TEST_F(ExportTest, MissingUserLookupEndsThePageEarlyButSucceeds) {
  Open();
  Exec(
      "INSERT INTO TrustRules(trustRuleId, processName, userList) VALUES "
      "(1, 'a', NULL), (2, 'b', 'admins'), (3, 'c', NULL);");
  // Dropping UserList makes the prepare of the statement set fail: the
  // connection stays open without statements.
  dal.ShutdownDAL();
  Exec("DROP TABLE UserList;");
  ASSERT_FALSE(dal.InitDB(false));
  ASSERT_TRUE(dal.IsOpen());
  LogCapture::Clear();

  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(PageIds("trustRuleId"), (Ids{1}));
  EXPECT_TRUE(LogCapture::Contains(
      "m_pLookupTrustRuleStmt is released, aborting query"));
  EXPECT_TRUE(LogCapture::Contains("GetItems unlock"));
}

TEST_F(ExportTest, ReadFailureFailsThePage) {
  // Another connection holds the file exclusively: reading the page fails
  // once the busy timeout is over, and the host must not take the empty
  // page for the end of the inventory.
  Open();
  AddItems(2);
  Db other(PathIn("ac.db"));
  other.Exec("BEGIN EXCLUSIVE;");
  EXPECT_FALSE(Export(0, 10, DAL_SOURCE_ALL));
  other.Exec("COMMIT;");
  EXPECT_TRUE(LogCapture::Contains(
      "Reading the next row failed, aborting query. rc: 5"));
  EXPECT_EQ(ReadFile(payload), "");
  EXPECT_TRUE(Export(0, 10, DAL_SOURCE_ALL));
  EXPECT_EQ(PageIds(), (Ids{1, 2}));
}

// --- Through the exported function -----------------------------------------

TEST_F(ExportTest, GetInventoryWritesThePage) {
  ac_engine_start_s s = MakeStart("ac.db", &LogCapture::Callback, 15);
  ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
  AddItems(5);
  EXPECT_EQ(get_inventory(0, 2, DAL_SOURCE_ALL, payload.c_str(), "scan-7"),
            BRIX_STATUS_SUCCESS);
  const std::vector<Json> rows = Page();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(JsonNumber(rows[0].get(), "inventoryItemId"), 1);
  EXPECT_EQ(JsonNumber(rows[1].get(), "inventoryItemId"), 2);
  EXPECT_EQ(JsonText(rows[1].get(), "scanUuid"), "scan-7");
  EXPECT_EQ(get_inventory(0, 2, DAL_SOURCE_ALL,
                          PathIn("missing/payload.json").c_str(), "scan-7"),
            BRIX_STATUS_FAILED);
  engine_stop();
}

}  // namespace
