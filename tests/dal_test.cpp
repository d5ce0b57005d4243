// Tests of the rule database: creation, migration, statements, finalize,
// delete, purge and the persistent settings.
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "BRIXSchema.h"
#include "brix_sql.h"
#include "test_util.h"

namespace {

// Tables, columns, indexes and views of a file, for comparing two files.
std::vector<std::string> Shape(const std::string& path) {
  Db db(path);
  std::vector<std::string> shape;
  for (const auto& obj : db.Rows("SELECT type, name, tbl_name FROM "
                                 "sqlite_master WHERE name NOT LIKE "
                                 "'sqlite_%' ORDER BY type, name")) {
    shape.push_back(obj);
    const std::string name = obj.substr(obj.find('|') + 1,
                                        obj.rfind('|') - obj.find('|') - 1);
    if (obj.rfind("table|", 0) == 0 || obj.rfind("view|", 0) == 0)
      for (const auto& col : db.Rows("PRAGMA table_info(" + name + ")"))
        shape.push_back("  " + col);
    if (obj.rfind("index|", 0) == 0)
      for (const auto& col : db.Rows("PRAGMA index_info(" + name + ")"))
        shape.push_back("  " + col);
  }
  return shape;
}

// Builds a file at `version` with the engine's own scripts.
void BuildAtVersion(const std::string& path, int version) {
  Db db(path);
  for (int v = 4; v <= version; ++v) db.Exec(kSchemaScripts[v - 4]);
  EXPECT_EQ(db.One("PRAGMA user_version;"), std::to_string(version));
}

class DalTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    LogCapture::Clear();
    BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  }
  // A private layer per test: the singleton is left to the API tests.
  BRIXDAL dal;

  bool Open(const std::string& name = "ac.db") {
    EXPECT_TRUE(dal.SetDBPath(PathIn(name)));
    return dal.InitDB(false).ok();
  }
};

const char* const kSettingsRows[] = {
    "inventoryState|-1",       "inventoryCookie|",
    "importState|-1",          "effectiveRulesetIds|",
    "agentVersion|",           "autoAuthorizeEndTime|-1",
    "autoAuthorizeStartTime|-1", "whitelistInventory|-1",
    "enableHTML|1",
};

}  // namespace

// --- Creation ----------------------------------------------------------------

TEST_F(DalTest, NewFileIsCreatedAtVersion15) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(dal.IsOpen());
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("PRAGMA user_version;"), "15");
  EXPECT_EQ(db.One("PRAGMA page_size;"), "4096");

  auto rows = db.Rows(
      "SELECT settingName, settingValue FROM AppControlState ORDER BY id");
  ASSERT_EQ(rows.size(), 10u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(rows[i], kSettingsRows[i]);
  EXPECT_EQ(rows[9].rfind("upgradetime|", 0), 0u);
  const long upgraded = std::stol(rows[9].substr(12));
  EXPECT_NEAR(upgraded, time(nullptr), 60);

  EXPECT_EQ(db.Rows("SELECT name FROM pragma_table_info('TrustRules')"),
            (std::vector<std::string>{
                "trustRuleId", "processName", "paths", "trustType",
                "signerName", "productName", "companyName", "sha256",
                "issuerCN", "issuerC", "issuerS", "issuerL", "issuerO",
                "issuerOU", "hitcount", "ruleset", "procUser", "procGroup",
                "userList"}));
  EXPECT_EQ(db.Rows("SELECT name FROM pragma_table_info('InventoryItems')"),
            (std::vector<std::string>{
                "inventoryItemId", "fileName", "path", "nativePath", "md5",
                "sha1", "sha256", "size", "recordTime", "isAuthorized",
                "source", "ruleset"}));
  EXPECT_EQ(db.Rows("SELECT name FROM pragma_table_info('UserList')"),
            (std::vector<std::string>{"id", "user"}));
  EXPECT_EQ(db.Rows("SELECT name FROM sqlite_master WHERE type='index' AND "
                    "name NOT LIKE 'sqlite_%' ORDER BY name"),
            (std::vector<std::string>{
                "AppControlState_settingName", "InventoryItems_Md5",
                "InventoryItems_Sha1", "InventoryItems_Sha256",
                "InventoryItems_fileName", "InventoryItems_size",
                "TrustRules_procGroup", "TrustRules_procUser",
                "TrustRules_processName", "TrustRules_signerName",
                "TrustRules_trustType", "TrustRules_userList",
                "UserList_id_user"}));
  EXPECT_EQ(db.Rows("SELECT name FROM sqlite_master WHERE type='view'"),
            (std::vector<std::string>{"Items"}));
  EXPECT_TRUE(LogCapture::Contains("SCHEMA user_version: 0"));
  EXPECT_TRUE(LogCapture::Contains("SCHEMA SIZE: 12"));
}

TEST_F(DalTest, ItemsViewYieldsEachInventoryRowOnce) {
  ASSERT_TRUE(Open());
  Db db(PathIn("ac.db"));
  db.Exec("INSERT INTO InventoryItems(fileName, source) VALUES('a', 3), "
          "('b', 4);");
  EXPECT_EQ(db.Rows("SELECT fileName FROM Items ORDER BY inventoryItemId"),
            (std::vector<std::string>{"a", "b"}));
}

TEST_F(DalTest, NoPathMeansAcDbInTheCurrentDirectory) {
  ASSERT_TRUE(dal.InitDB(false));
  struct stat st;
  EXPECT_EQ(stat("ac.db", &st), 0);
  EXPECT_EQ(dal.GetDBPath(), "ac.db");
}

TEST_F(DalTest, PathCannotChangeWhileOpen) {
  ASSERT_TRUE(Open("first.db"));
  EXPECT_FALSE(dal.SetDBPath(PathIn("second.db")));
  EXPECT_EQ(dal.GetDBPath(), PathIn("first.db"));
  dal.ShutdownDAL();
  EXPECT_TRUE(dal.SetDBPath(PathIn("second.db")));
}

TEST_F(DalTest, OpenFailureKeepsNoConnection) {
  EXPECT_TRUE(dal.SetDBPath(PathIn("missing/dir/ac.db")));
  EXPECT_FALSE(dal.InitDB(false));
  EXPECT_FALSE(dal.IsOpen());
  EXPECT_TRUE(LogCapture::Contains("sqlite3_open_v2 failed. rc: 14"));
  // Without statements every count is 0 and says why.
  EXPECT_TRUE(LogCapture::Contains("m_pLookupTrustRuleCountStmt is released"));
}

// --- Migration ---------------------------------------------------------------

class DalMigrationTest : public DalTest,
                         public ::testing::WithParamInterface<int> {};

TEST_P(DalMigrationTest, MigratesToTheShapeOfANewFile) {
  const int version = GetParam();
  BuildAtVersion(PathIn("old.db"), version);
  {
    Db db(PathIn("old.db"));
    db.Exec("INSERT INTO InventoryItems(fileName, source) VALUES('kept', 3);");
  }
  ASSERT_TRUE(Open("old.db"));
  EXPECT_TRUE(LogCapture::Contains("SCHEMA user_version: " +
                                   std::to_string(version)));
  dal.ShutdownDAL();

  BRIXDAL fresh;
  ASSERT_TRUE(fresh.SetDBPath(PathIn("new.db")));
  ASSERT_TRUE(fresh.InitDB(false));
  fresh.ShutdownDAL();

  EXPECT_EQ(Shape(PathIn("old.db")), Shape(PathIn("new.db")));
  Db db(PathIn("old.db"));
  EXPECT_EQ(db.One("PRAGMA user_version;"), "15");
  // Rows survive, and exactly one version-13 step recorded when it ran.
  EXPECT_EQ(db.One("SELECT fileName FROM InventoryItems"), "kept");
  EXPECT_EQ(db.One("SELECT count(*) FROM AppControlState WHERE settingName = "
                   "'upgradetime'"),
            "1");
}

INSTANTIATE_TEST_SUITE_P(EveryOldVersion, DalMigrationTest,
                         ::testing::Range(4, 15));

TEST_F(DalTest, FailedMigrationStopsWithTheVersionItSet) {
  BuildAtVersion(PathIn("old.db"), 9);
  {
    // A table that the version-10 step does not expect to exist as an index
    // name makes that step fail.
    Db db(PathIn("old.db"));
    db.Exec("CREATE TABLE TrustRules_processName(x);");
  }
  EXPECT_FALSE(Open("old.db"));
  EXPECT_TRUE(
      LogCapture::Contains("sqlite3_exec for schema size failed. rc: 1"));
  dal.ShutdownDAL();
  Db db(PathIn("old.db"));
  EXPECT_EQ(db.One("PRAGMA user_version;"), "10");
}

TEST_F(DalTest, NewerFileIsReplacedByANewOne) {
  {
    Db db(PathIn("ac.db"));
    db.Exec("CREATE TABLE Future(x); PRAGMA user_version = 16;");
  }
  ASSERT_TRUE(Open());
  EXPECT_TRUE(LogCapture::Contains(
      "Unsupported DB user_verson: 16. current version: 15"));
  EXPECT_TRUE(LogCapture::Contains("Successfully deleted database file"));
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("PRAGMA user_version;"), "15");
  EXPECT_EQ(db.One("SELECT count(*) FROM sqlite_master WHERE name='Future'"),
            "0");
}

TEST_F(DalTest, NewerFileThatCannotBeRemovedStopsTheOpen) {
  const std::string dir = PathIn("locked");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string path = dir + "/ac.db";
  {
    Db db(path);
    db.Exec("PRAGMA user_version = 16;");
  }
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  // The test's own folder is private; the unprivileged child must be able
  // to reach the file so that it is the removal, not the open, that fails.
  ASSERT_EQ(chmod(this->dir().c_str(), 0755), 0);
  // Root may remove files from read-only folders; run the open as an
  // unprivileged user in a child process.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    BRIXDAL local;
    if (!local.SetDBPath(path)) _exit(4);
    if (local.InitDB(false)) _exit(1);
    // It read the version and failed to remove the file.
    _exit(LogCapture::Contains(
              "Unsupported DB user_verson: 16. current version: 15") &&
                  LogCapture::Contains(
                      "Failed to delete database after closing. Errno: 13")
              ? 0
              : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(dir.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "InitDB should fail, not loop";
  Db db(path);
  EXPECT_EQ(db.One("PRAGMA user_version;"), "16");
}

TEST_F(DalTest, VersionTwoFileFailsInThePrepare) {
  {
    Db db(PathIn("ac.db"));
    db.Exec("PRAGMA user_version = 2;");
  }
  EXPECT_FALSE(Open());
  EXPECT_TRUE(LogCapture::Contains("sqlite3_prepare_v2 failed. rc: 1"));
  // The prepare's own reference keeps the connection open.
  EXPECT_TRUE(LogCapture::Contains("ignore Finalize m_DB"));
  EXPECT_TRUE(dal.IsOpen());
}

// --- Statements and Finalize -------------------------------------------------

TEST_F(DalTest, ExportedSqlTextsAreTheStatementTexts) {
  const std::map<std::string, const char*> expected = {
      {"InsertItemSQL", "INSERT INTO InventoryItems( md5, sha1, sha256, source, fileName, path, nativePath, size, recordTime, isAuthorized, ruleset ) VALUES( :md5, :sha1, :sha256, :source, :fileName, :path, :nativePath, :size, :recordTime, :isAuthorized, :ruleset );"},
      {"InsertTrustRuleSQL", "INSERT INTO TrustRules( processName, paths, trustType, signerName, productName, companyName, sha256, issuerCN, issuerC, issuerL, issuerS, issuerO, issuerOU, ruleset, procUser, procGroup, userList ) VALUES( :processName, :paths, :trustType, :signerName, :productName, :companyName, :sha256, :issuerCN, :issuerC, :issuerL, :issuerS, :issuerO, :issuerOU, :ruleset, :procUser, :procGroup, :userList );"},
      {"InsertUserListSQL", "INSERT INTO UserList( id, user ) VALUES( :id, :user );"},
      {"UpdatePrelinkItemSQL", "UPDATE InventoryItems SET sha256 = :hash, size = :size, recordTime = :recordTime WHERE source = 5 and sha256 = :oldhash and path = :path and fileName = :fileName ;"},
      {"LookupMD5_CountSQL", "select count(*) FROM inventoryItems where source = 2 and md5 IS NOT NULL;"},
      {"LookupSHA1_CountSQL", "select count(*) FROM inventoryItems where source = 2 and sha1 IS NOT NULL;"},
      {"LookupItemAuthSQL", "SELECT * FROM InventoryItems WHERE(sha256 = :hash) and (size = 0 or size = :size) ORDER BY inventoryItemId DESC LIMIT 1;"},
      {"LookupItemAuthRulesetSQL", "SELECT * FROM InventoryItems WHERE(sha256 = :hash) and (size = 0 or size = :size) AND (source = 2 OR source = 1) ORDER BY inventoryItemId DESC LIMIT 1;"},
      {"LookupItemAlternateSHA1HashSQL", "SELECT * FROM InventoryItems WHERE((LENGTH(sha256) IS NULL) AND(sha1 = :sha1)) ORDER BY inventoryItemId DESC LIMIT 1;"},
      {"LookupItemAlternateMD5HashSQL", "SELECT * FROM InventoryItems WHERE((LENGTH(sha256) IS NULL) AND (md5 = :md5 )) ORDER BY inventoryItemId DESC LIMIT 1;"},
      {"LookupTrustRuleSQL", "SELECT trustRuleId, paths, hitcount, processName, ruleset, procGroup FROM TrustRules LEFT JOIN UserList ON TrustRules.userList = UserList.id WHERE (processName is NULL or processName = :processName or instr(processName,'?') or instr(processName,'*')) and (trustType = 0 or trustType = :trustType) and (signerName is NULL or signerName = :signerName) and (productName is NULL or productName = :productName) and (companyName is NULL or companyName = :companyName) and (sha256 is NULL or sha256 = :sha256) and (issuerCN is NULL or issuerCN= :issuerCN) and (issuerC is NULL or issuerC= :issuerC) and (issuerS is NULL or issuerS= :issuerS) and (issuerL is NULL or issuerL= :issuerL) and (issuerO is NULL or issuerO= :issuerO) and (issuerOU is NULL or issuerOU= :issuerOU) and (procGroup is NULL or INSTR(:procGroup, procGroup)) and ((TrustRules.userList is NULL and TrustRules.procUser is NULL) or (TrustRules.procUser = :procUser or UserList.user = :procUser)) ORDER BY trustRuleId ;"},
      {"LookupUserListSQL", "SELECT user FROM UserList WHERE id = :id ;"},
      {"UpdateTrustRuleHitcountSQL", "UPDATE TrustRules SET hitcount = :hitcount WHERE (trustRuleId = :trustRuleId) ;"},
      {"MetricsLookupTrustRuleSQL", "SELECT trustRuleId, paths, hitcount, processName, ruleset, trustType, signerName, productName, companyName, sha256, issuerCN, issuerC, issuerS, issuerL, issuerO, issuerOU, procUser, procGroup, userList FROM TrustRules WHERE hitcount >= 1 ;"},
      {"LookupRuleCountSQL", "SELECT count(*) totalInventoryItems, SUM(CASE WHEN source=1 THEN 1 ELSE 0 END) agentRules, SUM(CASE WHEN source=2 THEN 1 ELSE 0 END) executionRules, SUM(CASE WHEN source=3 THEN 1 ELSE 0 END) scannedItems, SUM(CASE WHEN source=4 THEN 1 ELSE 0 END) approvedDrift FROM InventoryItems;"},
      {"LookupTrustRuleCountSQL", "SELECT count(*) totalTrustRules FROM TrustRules;"},
      {"LookupUserGroupTrustRuleCountSQL", "SELECT count(*) totalUserGroupTrustRules FROM TrustRules WHERE procUser IS NOT NULL OR procGroup IS NOT NULL OR userList IS NOT NULL;"},
      {"LookupRulesetCountSQL", "SELECT ruleset, count(*) totalRules FROM InventoryItems WHERE ruleset != '' GROUP BY ruleset;"},
      {"DeleteInventoryItemsSQL", "DELETE FROM InventoryItems WHERE(fileName = :fileName) AND (path IN (:path, :path2)) AND (source = 3 OR source = 4);"},
      {"GetAcStateSQL", "SELECT settingValue FROM AppControlState WHERE (settingName = :setting);"},
      {"SetAcStateSQL", "UPDATE AppControlState SET settingValue = :value WHERE (settingName = :setting);"},
  };
  // Read them the way a host does: as data symbols of brix.so.
  void* lib = dlopen(BRIX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const auto& [name, text] : expected) {
    auto* symbol = static_cast<const char* const*>(dlsym(lib, name.c_str()));
    ASSERT_NE(symbol, nullptr) << name;
    EXPECT_STREQ(*symbol, text) << name;
  }
  dlclose(lib);
  EXPECT_EQ(expected.size(), 21u);
}

TEST_F(DalTest, FinalizeTwiceIgnoresEverythingTheSecondTime) {
  ASSERT_TRUE(Open());
  LogCapture::Clear();
  dal.Finalize();
  int released = 0, ignored = 0;
  for (const auto& l : LogCapture::Lines()) {
    released += l.message.rfind("Finalize ", 0) == 0;
    ignored += l.message.rfind("ignore Finalize ", 0) == 0;
  }
  EXPECT_EQ(released, 22);
  EXPECT_EQ(ignored, 0);
  EXPECT_EQ(LogCapture::Lines().back().message, "Finalize m_DB");
  EXPECT_FALSE(dal.IsOpen());

  LogCapture::Clear();
  dal.Finalize();
  released = ignored = 0;
  for (const auto& l : LogCapture::Lines()) {
    released += l.message.rfind("Finalize ", 0) == 0;
    ignored += l.message.rfind("ignore Finalize ", 0) == 0;
  }
  EXPECT_EQ(released, 0);
  EXPECT_EQ(ignored, 22);
  EXPECT_TRUE(LogCapture::Contains("ignore Finalize m_pSetAcStateStmt"));
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
    EXPECT_EQ(*borrowed, 7);
    EXPECT_EQ(closed, 0);
  }
  EXPECT_EQ(handle.ReleaseIfSole(), SharedHandle<int>::Release::kReleased);
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(handle.IsSet());
}

TEST_F(DalTest, ReopenAfterFinalizePreparesAgain) {
  ASSERT_TRUE(Open());
  dal.ShutdownDAL();
  EXPECT_FALSE(dal.IsOpen());
  ASSERT_TRUE(dal.InitDB(false));
  std::string value;
  EXPECT_TRUE(dal.GetAppControlState("enableHTML", value));
  EXPECT_EQ(value, "1");
}

// --- Delete and purge --------------------------------------------------------

TEST_F(DalTest, DeleteRemovesTheFileAndClosesTheConnection) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(dal.DeleteDB());
  struct stat st;
  EXPECT_NE(stat(PathIn("ac.db").c_str(), &st), 0);
  EXPECT_FALSE(dal.IsOpen());
  EXPECT_TRUE(LogCapture::Contains("DeleteDB lock"));
  EXPECT_TRUE(LogCapture::Contains("DeleteDB unlock"));
  // A missing file is already deleted.
  EXPECT_TRUE(dal.DeleteDB());
  EXPECT_TRUE(LogCapture::Contains(
      "Failed to delete database after closing. Errno: 2"));
}

TEST_F(DalTest, PurgeBySourceDeletesOnlyThatSource) {
  ASSERT_TRUE(Open());
  {
    Db db(PathIn("ac.db"));
    db.Exec("INSERT INTO InventoryItems(fileName, source) VALUES ('a',1), "
            "('b',2), ('c',3), ('d',3), ('e',4), ('f',5);"
            "INSERT INTO TrustRules(processName) VALUES ('p');"
            "INSERT INTO UserList(id, user) VALUES ('l', 'u');");
  }
  EXPECT_TRUE(dal.PurgeDB(DAL_SOURCE_SCANNED_ITEMS));
  EXPECT_TRUE(LogCapture::Contains(
      "executing DELETE FROM InventoryItems WHERE source = 3;"));
  EXPECT_TRUE(LogCapture::Contains("Vacuuming"));
  EXPECT_TRUE(
      LogCapture::Contains("Returning from PurgeDB with retval 1 unlock"));
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.Rows("SELECT source FROM InventoryItems ORDER BY source"),
            (std::vector<std::string>{"1", "2", "4", "5"}));

  for (DALSource s : {DAL_SOURCE_AGENT_RULES, DAL_SOURCE_EXECUTION_RULES,
                      DAL_SOURCE_APPROVED_DRIFT, DAL_SOURCE_PRELINK})
    EXPECT_TRUE(dal.PurgeDB(s));
  EXPECT_EQ(db.One("SELECT count(*) FROM InventoryItems"), "0");
  EXPECT_EQ(db.One("SELECT count(*) FROM TrustRules"), "1");

  EXPECT_TRUE(dal.PurgeDB(DAL_SOURCE_TRUST_RULES));
  EXPECT_EQ(db.One("SELECT count(*) FROM TrustRules"), "0");
  EXPECT_EQ(db.One("SELECT count(*) FROM UserList"), "0");
  EXPECT_EQ(db.One("SELECT count(*) FROM AppControlState"), "10");
}

TEST_F(DalTest, PurgeOfAnUnknownSourceDeletesNothing) {
  ASSERT_TRUE(Open());
  {
    Db db(PathIn("ac.db"));
    db.Exec("INSERT INTO InventoryItems(fileName, source) VALUES ('a',3);");
  }
  EXPECT_TRUE(dal.PurgeDB(static_cast<DALSource>(9)));
  EXPECT_TRUE(LogCapture::Contains(
      "executing DELETE FROM InventoryItems WHERE source = 9;"));
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("SELECT count(*) FROM InventoryItems"), "1");
}

TEST_F(DalTest, PurgeAllRecreatesTheFile) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(dal.SetAppControlState("agentVersion", std::string("1.0")));
  {
    Db db(PathIn("ac.db"));
    db.Exec("INSERT INTO InventoryItems(fileName, source) VALUES ('a',3);");
  }
  EXPECT_TRUE(dal.PurgeDB(DAL_SOURCE_ALL));
  EXPECT_TRUE(LogCapture::Contains(
      "Re-initializing database after successful deletion."));
  EXPECT_TRUE(dal.IsOpen());
  std::string version = "unchanged";
  EXPECT_TRUE(dal.GetAppControlState("agentVersion", version));
  EXPECT_EQ(version, "");
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("SELECT count(*) FROM InventoryItems"), "0");
  EXPECT_EQ(db.One("PRAGMA user_version;"), "15");
}

TEST_F(DalTest, PurgeWhileClosedRunsNothing) {
  for (int s = 1; s <= 6; ++s) {
    LogCapture::Clear();
    EXPECT_TRUE(dal.PurgeDB(static_cast<DALSource>(s)));
    for (const auto& l : LogCapture::Lines())
      EXPECT_NE(l.message.rfind("executing", 0), 0u) << l.message;
  }
}

TEST_F(DalTest, LastErrorStringWithoutConnection) {
  EXPECT_EQ(dal.GetLastDBErrorString(), sqlite3_errstr(-1));
  ASSERT_TRUE(Open());
  EXPECT_EQ(dal.GetLastDBErrorString(), "not an error");
}

// --- Settings ----------------------------------------------------------------

TEST_F(DalTest, SettingsRoundTrip) {
  ASSERT_TRUE(Open());
  uint64_t number = 0;
  EXPECT_TRUE(dal.SetAppControlState("autoAuthorizeStartTime",
                                     uint64_t{1234}));
  std::string text;
  EXPECT_TRUE(dal.GetAppControlState("autoAuthorizeStartTime", text));
  EXPECT_EQ(text, "1234");
  EXPECT_TRUE(dal.GetAppControlState("autoAuthorizeStartTime", number));
  EXPECT_EQ(number, 1234u);
  EXPECT_TRUE(LogCapture::Contains(
      "Set application control state setting autoAuthorizeStartTime value "
      "1234"));

  EXPECT_TRUE(dal.SetAppControlState("autoAuthorizeEndTime", UINT64_MAX));
  EXPECT_TRUE(dal.GetAppControlState("autoAuthorizeEndTime", text));
  EXPECT_EQ(text, "-1");
  EXPECT_TRUE(dal.GetAppControlState("autoAuthorizeEndTime", number));
  EXPECT_EQ(number, UINT64_MAX);

  EXPECT_TRUE(dal.GetAppControlState("enableHTML", number));
  EXPECT_EQ(number, 1u);
  text = "x";
  EXPECT_TRUE(dal.GetAppControlState("agentVersion", text));
  EXPECT_EQ(text, "");
  // Text without digits reads as 0.
  EXPECT_TRUE(dal.SetAppControlState("agentVersion", std::string("abc")));
  EXPECT_TRUE(dal.GetAppControlState("agentVersion", number));
  EXPECT_EQ(number, 0u);
}

TEST_F(DalTest, UnknownSettingIsNeverCreated) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(dal.SetAppControlState("noSuchSetting", std::string("1")));
  std::string text = "untouched";
  EXPECT_FALSE(dal.GetAppControlState("noSuchSetting", text));
  EXPECT_EQ(text, "untouched");
  EXPECT_TRUE(
      LogCapture::Contains("Unable to get AppControl Setting for noSuchSetting"));
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("SELECT count(*) FROM AppControlState"), "10");
}

TEST_F(DalTest, SettingsWithoutStatementsFail) {
  std::string text;
  uint64_t number = 5;
  EXPECT_FALSE(dal.SetAppControlState("agentVersion", std::string("1")));
  EXPECT_FALSE(dal.GetAppControlState("agentVersion", text));
  EXPECT_FALSE(dal.GetAppControlState("agentVersion", number));
  EXPECT_EQ(number, 5u);
  EXPECT_TRUE(LogCapture::Contains("m_pSetAcStateStmt is released"));
  EXPECT_TRUE(LogCapture::Contains("m_pGetAcStateStmt is released"));
}

TEST_F(DalTest, RuleCountsAreReadAtOpen) {
  BuildAtVersion(PathIn("ac.db"), 15);
  {
    Db db(PathIn("ac.db"));
    db.Exec("INSERT INTO TrustRules(processName) VALUES ('p');"
            "INSERT INTO InventoryItems(source, md5, sha1) VALUES "
            "(2, x'00', NULL), (2, x'01', x'02'), (3, x'03', x'04');");
  }
  ASSERT_TRUE(Open());
  EXPECT_TRUE(dal.TrustRulesPresent());
  EXPECT_EQ(dal.Md5RuleCount(), 2u);
  EXPECT_EQ(dal.Sha1RuleCount(), 1u);
  EXPECT_TRUE(LogCapture::Contains("Found following MD5 count 2"));
  EXPECT_TRUE(LogCapture::Contains("Count for SHA1 unlock"));
}

// --- Concurrency -------------------------------------------------------------

TEST_F(DalTest, ConcurrencySettingsWhilePurging) {
  ASSERT_TRUE(Open());
  BRIXLogger::GetInstance()->SetLogMask(0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; i < 100; ++i) {
        const std::string name =
            t == 0 ? "autoAuthorizeStartTime" : "autoAuthorizeEndTime";
        if (!dal.SetAppControlState(name, i)) ++failures;
        uint64_t value = 0;
        if (!dal.GetAppControlState(name, value)) ++failures;
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop) {
      dal.PurgeDB(DAL_SOURCE_SCANNED_ITEMS);
      dal.PurgeDB(DAL_SOURCE_TRUST_RULES);
    }
  });
  for (int t = 0; t < 3; ++t) threads[t].join();
  stop = true;
  threads.back().join();
  EXPECT_EQ(failures, 0);
  uint64_t value = 0;
  EXPECT_TRUE(dal.GetAppControlState("autoAuthorizeEndTime", value));
  EXPECT_EQ(value, 99u);
}
