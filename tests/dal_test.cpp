// Tests of the rule database: creation, migration, open failures, delete,
// purge and the persistent settings.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXSchema.h"
#include "test_util.h"

namespace {

using Rows = std::vector<std::string>;

// Tables, columns, indexes and views of a file, for comparing two files.
Rows Shape(const std::string& path) {
  Db db(path);
  Rows shape;
  for (const auto& obj : db.Rows("SELECT type, name FROM sqlite_master WHERE name NOT LIKE "
                                 "'sqlite_%' ORDER BY type, name")) {
    shape.push_back(obj);
    const std::string name = obj.substr(obj.find('|') + 1);
    const char* pragma = obj.rfind("index|", 0) == 0 ? "index_info" : "table_info";
    for (const auto& col : db.Rows(std::string("PRAGMA ") + pragma + "(" + name + ")"))
      shape.push_back("  " + col);
  }
  return shape;
}

// Builds a file at `version` with the engine's own scripts.
void BuildAtVersion(const std::string& path, int version) {
  Db db(path);
  for (int v = 4; v <= version; ++v) db.Exec(kSchemaScripts[v - 4]);
}

class DalTest : public PrivateDalTest {
 protected:
  bool OpenFile(const std::string& name) {
    EXPECT_TRUE(dal.SetDBPath(PathIn(name)));
    return dal.InitDB(false).ok();
  }
  void Exec(const std::string& sql) { Db(PathIn("ac.db")).Exec(sql); }
  std::string One(const std::string& sql) { return Db(PathIn("ac.db")).One(sql); }
};

// --- Creation and migration ----------------------------------------------------

TEST_F(DalTest, NewFileHasVersion15AndTheDefaultSettings) {
  ASSERT_TRUE(OpenFile("ac.db"));
  EXPECT_EQ(One("PRAGMA user_version;"), "15");
  Rows rows = Db(PathIn("ac.db")).Rows(
      "SELECT settingName, settingValue FROM AppControlState ORDER BY id");
  ASSERT_EQ(rows.size(), 10u);
  const long upgraded = std::stol(rows.back().substr(rows.back().find('|') + 1));
  EXPECT_NEAR(upgraded, time(nullptr), 60);
  rows.back() = rows.back().substr(0, rows.back().find('|'));
  EXPECT_EQ(rows, (Rows{"inventoryState|-1", "inventoryCookie|", "importState|-1",
                        "effectiveRulesetIds|", "agentVersion|", "autoAuthorizeEndTime|-1",
                        "autoAuthorizeStartTime|-1", "whitelistInventory|-1", "enableHTML|1",
                        "upgradetime"}));
  // The view yields each inventory row once.
  Exec("INSERT INTO InventoryItems(fileName, source) VALUES('a', 3), ('b', 4);");
  EXPECT_EQ(Db(PathIn("ac.db")).Rows("SELECT fileName FROM Items ORDER BY inventoryItemId"),
            (Rows{"a", "b"}));
}

class DalMigrationTest : public DalTest, public ::testing::WithParamInterface<int> {};

TEST_P(DalMigrationTest, MigratesToTheShapeOfANewFile) {
  BuildAtVersion(PathIn("old.db"), GetParam());
  Db(PathIn("old.db")).Exec("INSERT INTO InventoryItems(fileName, source) VALUES('kept', 3);");
  ASSERT_TRUE(OpenFile("old.db"));
  dal.ShutdownDAL();
  BRIXDAL fresh;
  ASSERT_TRUE(fresh.SetDBPath(PathIn("new.db")));
  ASSERT_TRUE(fresh.InitDB(false));
  fresh.ShutdownDAL();

  EXPECT_EQ(Shape(PathIn("old.db")), Shape(PathIn("new.db")));
  Db db(PathIn("old.db"));
  EXPECT_EQ(db.One("PRAGMA user_version;"), "15");
  // Rows survive, and the version-13 step recorded the upgrade once.
  EXPECT_EQ(db.One("SELECT fileName FROM InventoryItems"), "kept");
  EXPECT_EQ(db.One("SELECT count(*) FROM AppControlState WHERE settingName = 'upgradetime'"),
            "1");
}

INSTANTIATE_TEST_SUITE_P(EveryOldVersion, DalMigrationTest, ::testing::Range(4, 15));

TEST_F(DalTest, FilesThatCannotBeUsedAsTheyAre) {
  const struct {
    const char* name;
    std::string prepare;  // SQL on the file before the open
    bool opens;
    std::string version;  // user_version afterwards
  } kCases[] = {
      // A failed migration step stops with the version it set.
      {"failed-step.db", "CREATE TABLE TrustRules_processName(x);", false, "10"},
      // A newer file is replaced by a new one.
      {"newer.db", "CREATE TABLE Future(x); PRAGMA user_version = 16;", true, "15"},
      // Too old to migrate: the prepare fails, and its own reference keeps
      // the connection open.
      {"v2.db", "PRAGMA user_version = 2;", false, "2"},
  };
  for (const auto& c : kCases) {
    if (std::string(c.name) == "failed-step.db") BuildAtVersion(PathIn(c.name), 9);
    Db(PathIn(c.name)).Exec(c.prepare);
    BRIXDAL local;
    ASSERT_TRUE(local.SetDBPath(PathIn(c.name)));
    EXPECT_EQ(local.InitDB(false).ok(), c.opens) << c.name;
    EXPECT_TRUE(local.IsOpen() || !c.opens) << c.name;
    local.ShutdownDAL();
    Db db(PathIn(c.name));
    EXPECT_EQ(db.One("PRAGMA user_version;"), c.version) << c.name;
    EXPECT_EQ(db.One("SELECT count(*) FROM sqlite_master WHERE name='Future'"), "0");
  }
  // No file can be made at all: no connection, and every count reads 0.
  EXPECT_FALSE(OpenFile("missing/dir/ac.db"));
  EXPECT_FALSE(dal.IsOpen());
  EXPECT_FALSE(dal.TrustRulesPresent());
  EXPECT_EQ(dal.GetLastDBErrorString(), sqlite3_errstr(-1));
}

TEST_F(DalTest, NewerFileThatCannotBeRemovedStopsTheOpen) {
  const std::string folder = PathIn("locked"), path = folder + "/ac.db";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  Db(path).Exec("PRAGMA user_version = 16;");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  // Root may remove files from read-only folders: open as nobody, who must
  // reach the file so that the removal, not the open, fails.
  ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        BRIXDAL local;
        local.SetDBPath(path);
        say("opened", local.InitDB(false).ok() ? "yes" : "no");
      },
      true);
  chmod(folder.c_str(), 0755);
  EXPECT_TRUE(child.ExitedCleanly()) << "InitDB should fail, not loop";
  EXPECT_EQ(child.Value("opened"), "no");
  EXPECT_EQ(Db(path).One("PRAGMA user_version;"), "16");
}

TEST(SharedHandleTest, ReleasesOnlyWhatNoOneElseHolds) {
  int closed = 0;
  SharedHandle<int> handle;
  EXPECT_EQ(handle.ReleaseIfSole(), SharedHandle<int>::Release::kEmpty);
  handle.Set(std::shared_ptr<int>(new int(7), [&](int* p) {
    ++closed;
    delete p;
  }));
  {
    std::shared_ptr<int> borrowed = handle.Get();
    EXPECT_EQ(handle.ReleaseIfSole(), SharedHandle<int>::Release::kInUse);
    EXPECT_EQ(closed, 0);
  }
  EXPECT_EQ(handle.ReleaseIfSole(), SharedHandle<int>::Release::kReleased);
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(handle.IsSet());
}

// --- Delete and purge --------------------------------------------------------

TEST_F(DalTest, DeleteRemovesTheFileAndClosesTheConnection) {
  Open();
  EXPECT_TRUE(dal.DeleteDB());
  EXPECT_FALSE(std::filesystem::exists(PathIn("ac.db")));
  EXPECT_FALSE(dal.IsOpen());
  EXPECT_TRUE(dal.DeleteDB());  // a missing file is already deleted
}

TEST_F(DalTest, PurgeDeletesWhatItsSourceSelects) {
  const struct {
    int source;
    std::string items, trustRules, userList;  // what is left
  } kCases[] = {
      {DAL_SOURCE_SCANNED_ITEMS, "1,2,4,5", "1", "1"},
      {DAL_SOURCE_AGENT_RULES, "2,3,3,4,5", "1", "1"},
      {DAL_SOURCE_EXECUTION_RULES, "1,3,3,4,5", "1", "1"},
      {DAL_SOURCE_APPROVED_DRIFT, "1,2,3,3,5", "1", "1"},
      {DAL_SOURCE_PRELINK, "1,2,3,3,4", "1", "1"},
      {DAL_SOURCE_TRUST_RULES, "1,2,3,3,4,5", "0", "0"},
      {9, "1,2,3,3,4,5", "1", "1"},  // an unknown source deletes nothing
      {DAL_SOURCE_ALL, "NULL", "0", "0"},
  };
  Open();
  for (const auto& c : kCases) {
    Exec("DELETE FROM InventoryItems; DELETE FROM TrustRules; DELETE FROM UserList;"
         "INSERT INTO InventoryItems(fileName, source) VALUES ('a',1), ('b',2), ('c',3), "
         "('d',3), ('e',4), ('f',5);"
         "INSERT INTO TrustRules(processName) VALUES ('p');"
         "INSERT INTO UserList(id, user) VALUES ('l', 'u');");
    ASSERT_TRUE(dal.SetAppControlState("agentVersion", std::string("1.0")));
    EXPECT_TRUE(dal.PurgeDB(static_cast<DALSource>(c.source))) << c.source;
    EXPECT_TRUE(dal.IsOpen());
    EXPECT_EQ(One("SELECT group_concat(source, ',') FROM (SELECT source FROM "
                  "InventoryItems ORDER BY source)"),
              c.items) << c.source;
    EXPECT_EQ(One("SELECT count(*) FROM TrustRules"), c.trustRules) << c.source;
    EXPECT_EQ(One("SELECT count(*) FROM UserList"), c.userList) << c.source;
    // Only a full purge makes a new file, with the default settings.
    EXPECT_EQ(One("SELECT settingValue FROM AppControlState WHERE settingName = "
                  "'agentVersion'"),
              c.source == DAL_SOURCE_ALL ? "" : "1.0") << c.source;
    EXPECT_EQ(One("SELECT count(*) FROM AppControlState"), "10");
  }
}

// --- Settings ----------------------------------------------------------------

TEST_F(DalTest, SettingsRoundTripAsTextAndNumber) {
  const struct {
    const char* name;
    std::string set;  // empty: left as created
    std::string text;
    uint64_t number;
  } kCases[] = {
      {"autoAuthorizeStartTime", "1234", "1234", 1234},
      {"autoAuthorizeEndTime", "18446744073709551615", "-1", UINT64_MAX},
      {"enableHTML", "", "1", 1},
      {"agentVersion", "", "", 0},
      {"agentVersion", "abc", "abc", 0},  // text without digits reads as 0
  };
  Open();
  for (const auto& c : kCases) {
    if (!c.set.empty()) {
      if (c.set[0] >= '0' && c.set[0] <= '9')
        EXPECT_TRUE(dal.SetAppControlState(c.name, static_cast<uint64_t>(std::stoull(c.set))));
      else
        EXPECT_TRUE(dal.SetAppControlState(c.name, c.set));
    }
    std::string text = "x";
    uint64_t number = 7;
    EXPECT_TRUE(dal.GetAppControlState(c.name, text));
    EXPECT_TRUE(dal.GetAppControlState(c.name, number));
    EXPECT_EQ(text, c.text) << c.name;
    EXPECT_EQ(number, c.number) << c.name;
  }
  // An unknown setting is never created.
  EXPECT_TRUE(dal.SetAppControlState("noSuchSetting", std::string("1")));
  std::string text = "untouched";
  EXPECT_FALSE(dal.GetAppControlState("noSuchSetting", text));
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(One("SELECT count(*) FROM AppControlState"), "10");
}

// Before the first open and after a shutdown no call reaches a file.
TEST_F(DalTest, CallsWithoutStatementsFail) {
  std::string text;
  uint64_t number = 5;
  EXPECT_FALSE(dal.SetAppControlState("agentVersion", std::string("1")));
  EXPECT_FALSE(dal.GetAppControlState("agentVersion", text));
  EXPECT_FALSE(dal.GetAppControlState("agentVersion", number));
  EXPECT_EQ(number, 5u);
  Open();
  dal.ShutdownDAL();
  ac_event e;
  e.path = "/opt/";
  e.fileName = "x";
  e.source = DAL_SOURCE_APPROVED_DRIFT;
  e.fileSha256.SetHash(std::string(32, '\x01').data());
  e.decision = AC_DECISION_BLOCKED;
  EXPECT_FALSE(dal.IsAllowedInDB(e));
  EXPECT_EQ(e.decision, AC_DECISION_UNKNOWN);
  EXPECT_EQ(dal.StoreItem(e), 0u);
  EXPECT_FALSE(dal.DeleteInventoryItems(e));
  EXPECT_FALSE(dal.UpdatePrelinkItem(e));
  ac_trust_rule rule;
  rule.trustType = DAL_TRUST_TARGET;
  ac_user_list row{"a", "b"};
  EXPECT_EQ(dal.StoreTrustRule(rule), 0u);
  EXPECT_EQ(dal.StoreUserList(row), 0u);
  EXPECT_FALSE(dal.IsFoundInTrustRulesInternal(DAL_TRUST_TARGET, e));
}

}  // namespace
