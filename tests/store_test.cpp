// Inventory writes: direct and buffered stores, exclusion, deletion of
// replaced versions and the prelink refresh.
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

class StoreTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    Open();
  }

  static ac_event Item(const std::string& path, const std::string& file,
                       uint32_t source, unsigned char seed = 1) {
    ac_event e;
    e.path = path;
    e.fileName = file;
    e.name = e.nativePath = path + file;
    e.source = source;
    e.size = 42;
    e.isAuthorized = AC_AUTH_ALLOW_LIST;
    e.fileSha256.SetHash(SeedDigest(seed, 32).data());
    return e;
  }

  std::vector<std::string> Rows(const std::string& sql) { return Db(PathIn("ac.db")).Rows(sql); }
  std::string One(const std::string& sql) { return Db(PathIn("ac.db")).One(sql); }
  std::string Count(const std::string& where = "1") {
    return One("SELECT count(*) FROM InventoryItems WHERE " + where);
  }
  static long Counter(const char* name) { return BRIXStats::GetStats()->Get(name); }
};

TEST_F(StoreTest, DirectStoreWritesEveryColumn) {
  // Digest bytes 0x00 show as zeros in hex, like any other value.
  ac_event e = Item("/usr/bin/", "tool", DAL_SOURCE_APPROVED_DRIFT, 0);
  e.fileSha1 = SHA1Hash(SeedDigest(0, 20).data());
  e.ruleset = "rs";
  const uint64_t id = dal.StoreItem(e);
  ASSERT_EQ(id, 1u);
  EXPECT_GT(e.recordTime, 0u);
  EXPECT_EQ(One("SELECT fileName, path, nativePath, md5, hex(sha1), "
                "hex(sha256), size, recordTime, isAuthorized, source, "
                "ruleset FROM InventoryItems"),
            "tool|/usr/bin/|/usr/bin/tool|NULL|" + std::string(40, '0') + "|" +
                std::string(64, '0') + "|42|" + std::to_string(e.recordTime) +
                "|1|4|rs");
}

TEST_F(StoreTest, AuthorisationStatesMapToColumnValues) {
  for (uint32_t state : {1, 3, 4, 2, 0, 5}) {
    ac_event e = Item("/opt/", "f" + std::to_string(state), 4);
    e.isAuthorized = state;
    ASSERT_NE(dal.StoreItem(e), 0u);
  }
  // In the order stored: the column of each state.
  EXPECT_EQ(One("SELECT group_concat(fileName || '=' || isAuthorized, ' ') FROM InventoryItems"),
            "f1=1 f3=1 f4=1 f2=0 f0=3 f5=3");
}

TEST_F(StoreTest, BufferedItemsAppearOnlyAfterAFlush) {
  for (int i = 0; i < 1000; ++i) {
    ac_event e = Item("/opt/", "f" + std::to_string(i), 3);
    ASSERT_EQ(dal.StoreItemBuffer(e), 1u);
  }
  EXPECT_EQ(Count(), "0");
  // The 1001st writes all in one flush.
  ac_event last = Item("/opt/", "last", 3);
  EXPECT_EQ(dal.StoreItemBuffer(last), 1001u);
  EXPECT_EQ(Count(), "1001");
  ac_event one = Item("/opt/", "one", 3);
  ASSERT_EQ(dal.StoreItemBuffer(one), 1u);
  EXPECT_EQ(Count(), "1001");
  EXPECT_EQ(dal.StoreItemFlush(), 1u);
  EXPECT_EQ(Count(), "1002");
  EXPECT_EQ(dal.StoreItemFlush(), 0u);
}

TEST_F(StoreTest, ScannedItemsCountUnknownExtensions) {
  ac_event archive = Item("/opt/", "archive.tar.gz", 3);
  ASSERT_NE(dal.StoreItem(archive), 0u);
  EXPECT_EQ(archive.extension, "gz");
  ac_event noDot = Item("/opt/", "README", 3);
  noDot.extension = "kept";
  ASSERT_NE(dal.StoreItem(noDot), 0u);
  EXPECT_EQ(noDot.extension, "kept");
  EXPECT_EQ(Count(), "2");  // counted or not, both were stored
  EXPECT_EQ(BRIXStats::GetStats()->GetType(
                BRIX_STATS_INVENTORY_UNKNOWN_EXTENSION, "gz"),
            1);
  EXPECT_GE(Counter("TotalInventoryUnknownExtension"), 1);
}

TEST_F(StoreTest, HostItemsBecomeEvents) {
  ac_db_item_s item{};
  memset(item.md5, 0x01, sizeof(item.md5));
  memset(item.sha1, 0x02, sizeof(item.sha1));
  memset(item.sha256, 0x03, sizeof(item.sha256));
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = "ls";
  item.path = "/usr/bin";
  item.nativePath = "/usr/bin/ls";
  item.size = 1234;
  item.isAuthorized = 0;
  item.ruleset = "";
  ASSERT_NE(dal.StoreItem(&item), 0u);
  item.isAuthorized = 1;
  item.fileName = "cat";
  ASSERT_EQ(dal.StoreItemBuffer(&item), 1u);
  ASSERT_EQ(dal.StoreItemFlush(), 1u);
  EXPECT_EQ(Rows("SELECT fileName, path, nativePath, hex(md5), "
                 "length(sha1), substr(hex(sha256), 1, 4), size, "
                 "isAuthorized, source, ruleset FROM InventoryItems ORDER "
                 "BY inventoryItemId"),
            (std::vector<std::string>{
                "ls|/usr/bin|/usr/bin/ls|01010101010101010101010101010101|20|"
                "0303|1234|0|3|",
                "cat|/usr/bin|/usr/bin/ls|01010101010101010101010101010101|20|"
                "0303|1234|1|3|"}));
}

TEST_F(StoreTest, DeleteRemovesScannedAndDriftRowsWithOrWithoutSlash) {
  for (const char* path : {"/usr/bin/", "/usr/bin"})
    for (uint32_t source : {1u, 2u, 3u, 4u, 5u}) {
      ac_event e = Item(path, "tool", source);
      ASSERT_NE(dal.StoreItem(e), 0u);
    }
  ac_event other = Item("/usr/bin/", "other", 3);
  ASSERT_NE(dal.StoreItem(other), 0u);

  ac_event target = Item("/usr/bin/", "tool", 4);
  ASSERT_TRUE(dal.DeleteInventoryItems(target));
  EXPECT_EQ(Count("fileName = 'tool'"), "6");
  EXPECT_EQ(Count("fileName = 'tool' AND source IN (3, 4)"), "0");
  EXPECT_EQ(Count("fileName = 'other'"), "1");
  EXPECT_EQ(Counter("TotalDeletedEvents"), 4);
  ASSERT_TRUE(dal.DeleteInventoryItems(target));
  EXPECT_EQ(Counter("TotalDeletedEvents"), 4);
}

TEST_F(StoreTest, WhitelistFileByItsSource) {
  ac_event oldVersion = Item("/opt/", "app", 3, 1);
  ASSERT_NE(dal.StoreItem(oldVersion), 0u);
  // Drift replaces the earlier versions of the file.
  ac_event drift = Item("/opt/", "app", 0, 2);
  EXPECT_TRUE(dal.WhitelistFile(drift));
  EXPECT_EQ(drift.source, 4u);
  EXPECT_EQ(Rows("SELECT source, hex(substr(sha256, 1, 1)) FROM InventoryItems"),
            (std::vector<std::string>{"4|02"}));
  // Scanned items wait in the buffer.
  ac_event scanned = Item("/opt/", "scanned", 3);
  EXPECT_TRUE(dal.WhitelistFile(scanned));
  EXPECT_EQ(Count("fileName = 'scanned'"), "0");
  dal.StoreItemFlush();
  EXPECT_EQ(Count("fileName = 'scanned'"), "1");
}

// --- Prelink -------------------------------------------------------------------

TEST_F(StoreTest, PrelinkMovesTheRowToTheNewHash) {
  // Without a recorded hash there is nothing to move.
  ac_event early = Item("/usr/lib/", "libx.so", DAL_SOURCE_PRELINK, 9);
  EXPECT_FALSE(dal.UpdatePrelinkItem(early));
  EXPECT_EQ(Counter("RunPrelinkNohash"), 1);
  EXPECT_EQ(Count(), "0");
  ac_event before = Item("/usr/lib/", "libx.so", DAL_SOURCE_PRELINK, 1);
  ASSERT_NE(dal.StoreItem(before), 0u);
  dal.SetPrelinkHash(before.fileSha256);

  ac_event after = Item("/usr/lib/", "libx.so", DAL_SOURCE_PRELINK, 2);
  after.size = 99;
  after.recordTime = 5555;
  EXPECT_TRUE(dal.UpdatePrelinkItem(after));
  EXPECT_EQ(Counter("RunPrelinkUpdated"), 1);
  EXPECT_EQ(One("SELECT hex(substr(sha256, 1, 1)), size, recordTime FROM "
                "InventoryItems"),
            "02|99|5555");
  // The recorded hash serves once.
  ac_event again = Item("/usr/lib/", "libx.so", DAL_SOURCE_PRELINK, 3);
  EXPECT_FALSE(dal.UpdatePrelinkItem(again));
  EXPECT_EQ(Counter("RunPrelinkUnapproved"), 1);
}

TEST_F(StoreTest, PrelinkedFileAllowedByTheInventoryIsStoredAnew) {
  ac_event rule = Item("", "", DAL_SOURCE_EXECUTION_RULES, 4);
  rule.size = 0;
  ASSERT_NE(dal.StoreItem(rule), 0u);
  dal.SetPrelinkHash(SHA256Hash(SeedDigest(1, 32).data()));

  ac_event allowed = Item("/usr/lib/", "liby.so", DAL_SOURCE_PRELINK, 4);
  allowed.decision = AC_DECISION_ALLOWED;
  EXPECT_TRUE(dal.UpdatePrelinkItem(allowed));
  EXPECT_EQ(Counter("RunPrelinkApproved"), 1);
  EXPECT_EQ(Count("source = 5 AND fileName = 'liby.so'"), "1");

  dal.SetPrelinkHash(SHA256Hash(SeedDigest(1, 32).data()));
  ac_event unknown = Item("/usr/lib/", "libz.so", DAL_SOURCE_PRELINK, 6);
  EXPECT_FALSE(dal.UpdatePrelinkItem(unknown));
  EXPECT_EQ(Counter("RunPrelinkUnapproved"), 1);
  EXPECT_EQ(Count("fileName = 'libz.so'"), "0");
}

// --- Exclusion through the exported function -------------------------------

class StoreApiTest : public EngineTest {};

TEST_F(StoreApiTest, ExcludedItemsAreKeptOutWithDifferentResults) {
  ac_engine_start_s start = MakeStart("ac.db", &LogCapture::Callback, 15);
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);
  ac_trust_rule rule;
  rule.trustType = DAL_TRUST_EXCLUDE;
  rule.paths = "/opt/excluded/";
  ASSERT_NE(BRIXDAL::GetDAL()->StoreTrustRule(rule), 0u);
  engine_stop();
  ASSERT_EQ(engine_start(&start), BRIX_STATUS_SUCCESS);

  ac_db_item_s item{};
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = "tool";
  item.path = "/opt/excluded/";
  item.nativePath = "/opt/excluded/tool";
  item.ruleset = "";
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_FAILED);
  EXPECT_EQ(store_item(&item, 1), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(BRIXStats::GetStats()->Get("InventoryItemExcludedByTrustRule"), 2);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);  // nothing was queued

  item.path = "/opt/kept/";
  item.nativePath = "/opt/kept/tool";
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(store_item(&item, 1), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Db(PathIn("ac.db")).One("SELECT count(*) FROM InventoryItems"), "2");
}

}  // namespace
