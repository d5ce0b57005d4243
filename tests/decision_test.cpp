// The engine deciding real events end to end through app_ctl: program
// starts, mappings, script starts, drift and deletes, against files in a
// watched folder and rules in the database.
#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "BRIX.h"
#include "BRIXDataAccessLayer.h"
#include "BRIXEventAbstraction.h"
#include "BRIXStats.h"
#include "brix.h"
#include "test_util.h"

namespace {

constexpr uint32_t kProgramStart = 23;
constexpr uint32_t kCreateCheck = 15;
constexpr uint32_t kClose = 36;
constexpr uint32_t kChmod = 32;
constexpr uint32_t kRename = 40;
constexpr uint32_t kDelete = 50;
constexpr uint32_t kMmap = 53;

std::string Digest(unsigned char seed) { return std::string(32, char(seed)); }

std::string Hex(unsigned char seed) {
  const std::string d = Digest(seed);
  return Hash::ToHex(reinterpret_cast<const unsigned char*>(d.data()), 32);
}

class DecisionTest : public TempDirTest {
 protected:
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(dir().find("/tmp/"), std::string::npos);
    Start();
  }
  void TearDown() override {
    engine_stop();
    TempDirTest::TearDown();
  }

  void Start() {
    ac_engine_start_s s =
        MakeStart(PathIn("ac.db").c_str(), &LogCapture::Callback, 15);
    dbPath_ = PathIn("ac.db");
    s.dbPath = dbPath_.c_str();
    ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
    // The stored version is the engine's own: lockdown blocks at once.
    BRIXDAL::GetDAL()->SetAppControlState("agentVersion",
                                          std::string(BRIX_VERSION));
    LogCapture::Clear();
  }
  // Rules added behind the engine's back are seen after a restart.
  void Restart() {
    engine_stop();
    Start();
  }

  void Sql(const std::string& sql) {
    Db db(dbPath_);
    db.Exec(sql);
  }
  std::string Query(const std::string& sql) {
    Db db(dbPath_);
    return db.One(sql);
  }
  void AddItem(int source, unsigned char seed, int isAuthorized,
               const std::string& file = "tool", const std::string& path = "",
               const std::string& ruleset = "") {
    Sql("INSERT INTO InventoryItems(fileName, path, sha256, size, "
        "isAuthorized, source, ruleset) VALUES('" + file + "', '" + path +
        "', x'" + Hex(seed) + "', 0, " + std::to_string(isAuthorized) + ", " +
        std::to_string(source) + ", '" + ruleset + "');");
  }
  void AddRule(int kind, const std::string& columns,
               const std::string& values) {
    Sql(std::string("INSERT INTO TrustRules(trustType") +
        (columns.empty() ? "" : ", ") +
        columns + ") VALUES(" + std::to_string(kind) +
        (values.empty() ? "" : ", ") + values + ");");
  }

  // A real file in the test folder; returns its full path.
  std::string File(const std::string& name, const std::string& content = "x",
                   mode_t mode = 0755) {
    const std::string path = PathIn(name);
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
    return path;
  }

  struct Result {
    uint32_t status;
    ac_wrapper_response_s response;
  };
  Result Send(uint32_t type, const std::string& target, unsigned char seed,
              const std::string& process = "/usr/bin/bash",
              bool isexec = true) {
    ac_wrapper_event_s e{};
    e.pid = 777;
    e.type = type;
    e.isexec = isexec;
    e.name = target.c_str();
    e.processName = process.c_str();
    e.user = user_.c_str();
    e.group = "users";
    e.cmdLine = cmdLine_.c_str();
    e.mode = mode_;
    e.dirty = dirty_;
    e.trusted = trusted_;
    e.oldName = oldName_.empty() ? nullptr : oldName_.c_str();
    const std::string digest = Digest(seed);
    if (seed)
      e.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
    Result r{};
    r.status = app_ctl(nullptr, &e, &r.response);
    return r;
  }

  static long Counter(const char* name) {
    return BRIXStats::GetStats()->Get(name);
  }

  std::string dbPath_;
  std::string user_ = "alice";
  std::string cmdLine_;
  std::string oldName_;
  uint64_t mode_ = 0;
  bool dirty_ = false;
  bool trusted_ = false;
};

// --- Program starts ---------------------------------------------------------

TEST_F(DecisionTest, UnknownProgramIsLoggedOnlyWithoutLockdown) {
  const std::string target = File("tool");
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.isAuthorized, 0u);
  EXPECT_EQ(r.response.decision, 0u);
  EXPECT_EQ(r.response.type, 1u);
  EXPECT_EQ(Counter("RunAllowedLogOnly"), 1);
  EXPECT_EQ(Counter("RunProgram"), 1);
  EXPECT_TRUE(LogCapture::Contains("Run Allowed Log Only"));
}

TEST_F(DecisionTest, UnknownProgramIsBlockedUnderLockdown) {
  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN, 0, 0), BRIX_STATUS_SUCCESS);
  const std::string target = File("tool");
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(r.response.action, BRIX_ACTION_BLOCK);
  EXPECT_EQ(Counter("RunBlockedLockdown"), 1);
  EXPECT_TRUE(LogCapture::Contains("Blocking event: '" + target + "'"));
  EXPECT_TRUE(LogCapture::Contains(
      "Unrecognized process " + target +
      " was not approved due to lockdown."));
}

TEST_F(DecisionTest, LockdownAfterAnUpgradeLetsBlocksThrough) {
  BRIXDAL::GetDAL()->SetAppControlState("agentVersion", std::string("11.0"));
  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN, 0, 0), BRIX_STATUS_SUCCESS);
  Result r = Send(kProgramStart, File("tool"), 1);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_BLOCK);
  EXPECT_EQ(Counter("ALLOWED_WAITING_FOR_MANIFEST"), 1);
  config.SetManifestApplied(true);
}

TEST_F(DecisionTest, KnownProgramIsAllowedAndCached) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1);
  const std::string target = File("tool");
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.isAuthorized, 3u);
  EXPECT_EQ(r.response.source, 3u);
  EXPECT_EQ(r.response.decision, 1u);
  EXPECT_EQ(Counter("RunAllowedRule"), 1);
  // The repeated question of the same user is answered from the cache.
  LogCapture::Clear();
  Result again = Send(0, target, 0);
  EXPECT_EQ(again.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(again.response.isAuthorized, 3u);
  EXPECT_EQ(BRIXEngine::GetEngine()->GetAllowCache().GetCounters().Hit, 1u);
  // Another user is not.
  user_ = "bob";
  Result other = Send(0, target, 0);
  EXPECT_NE(other.response.action, BRIX_ACTION_ALLOW);
}

TEST_F(DecisionTest, ProgramBlockedByAnExecutionRule) {
  AddItem(DAL_SOURCE_EXECUTION_RULES, 1, 0, "tool", "", "deny");
  Result r = Send(kProgramStart, File("tool"), 1);
  EXPECT_EQ(r.status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(r.response.action, BRIX_ACTION_BLOCK);
  EXPECT_EQ(r.response.isAuthorized, 2u);
  EXPECT_EQ(r.response.source, 2u);
  EXPECT_EQ(std::string(r.response.ruleset), "deny");
  EXPECT_EQ(Counter("RunBlockedRule"), 1);
}

TEST_F(DecisionTest, RulesetVerdictIsFinal) {
  AddItem(DAL_SOURCE_EXECUTION_RULES, 1, 1, "tool", "", "allow");
  AddRule(DAL_TRUST_BLOCK, "", "");
  Restart();
  Result r = Send(kProgramStart, File("tool"), 1);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.source, 2u);
  EXPECT_EQ(Counter("EventBlockByTarget"), 0);
}

TEST_F(DecisionTest, BlockRuleOverridesAnInventoryAllow) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1);
  const std::string target = File("tool");
  AddRule(DAL_TRUST_BLOCK, "paths", "'" + target + "'");
  Restart();
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(r.response.decision, 2u);
  EXPECT_EQ(r.response.source, 6u);
  EXPECT_EQ(r.response.isAuthorized, 2u);
  EXPECT_EQ(Counter("EventBlockByTarget"), 1);
  EXPECT_TRUE(LogCapture::Contains("Process " + target + " blocked pid 777"));
}

TEST_F(DecisionTest, TrustRuleAllowsAnUnknownProgram) {
  const std::string target = File("tool");
  AddRule(DAL_TRUST_TARGET, "processName", "'/usr/bin/bash'");
  Restart();
  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN, 0, 0), BRIX_STATUS_SUCCESS);
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.source, 6u);
  EXPECT_EQ(r.response.isAuthorized, 4u);
  EXPECT_EQ(Counter("EventTrustedExecution"), 1);
  Db db(dbPath_);
  EXPECT_EQ(db.One("SELECT hitcount FROM TrustRules"), "1");
}

TEST_F(DecisionTest, NonExecutableTargetIsAnError) {
  Result r = Send(kProgramStart, File("tool"), 1, "/usr/bin/bash", false);
  EXPECT_EQ(r.status, BRIX_STATUS_FAILED);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ERROR);
  EXPECT_EQ(Counter("RunErrorNotExec"), 1);
}

TEST_F(DecisionTest, ProgramWithoutDigestLeavesTheEventUndecided) {
  Result r = Send(kProgramStart, File("tool"), 0);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(r.response.action, BRIX_ACTION_NONE);
  EXPECT_TRUE(LogCapture::Contains("IsAllowedInDB Returned false"));
}

// --- Maintenance window and timestamp mode ------------------------------------

TEST_F(DecisionTest, MaintenanceWindowApprovesNewFiles) {
  const std::string target = File("tool");
  const uint64_t now = GetCurrentTimeInMillisForTest();
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, now - 60000, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result r = Send(kProgramStart, target, 1);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.isAuthorized, 1u);
  EXPECT_EQ(r.response.decision, 1u);
  EXPECT_GT(r.response.changeTime, 0u);
  EXPECT_EQ(Counter("AutoAuthorizeByFileTime"), 1);
  // Recorded as approved drift: the next start is allowed by the inventory.
  EXPECT_EQ(Query("SELECT source || '|' || isAuthorized FROM InventoryItems"),
            "4|1");
  ASSERT_EQ(set_config(0, 0, 0), BRIX_STATUS_SUCCESS);
  Result later = Send(kProgramStart, target, 1);
  EXPECT_EQ(later.response.isAuthorized, 3u);
  EXPECT_EQ(later.response.source, 4u);
}

TEST_F(DecisionTest, MaintenanceWindowRefusesOldAndFutureFiles) {
  const std::string old = File("old");
  const std::string future = File("future");
  struct timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[1] = times[0];
  times[1].tv_sec += 3600;
  ASSERT_EQ(utimes(future.c_str(), times), 0);
  const uint64_t now = GetCurrentTimeInMillisForTest();
  // The window opened after both files were made.
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, now + 5000, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result r = Send(kProgramStart, old, 1);
  EXPECT_EQ(r.response.isAuthorized, 0u);
  EXPECT_EQ(Counter("AutoAuthorizeByFileTime"), 0);
  // A modification time in the future never qualifies.
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, now - 60000, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result f = Send(kProgramStart, future, 2);
  EXPECT_EQ(f.response.isAuthorized, 0u);
  EXPECT_EQ(Counter("AutoAuthorizeByFileTime"), 0);
  // A start of 0 never approves.
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 0, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result zero = Send(kProgramStart, old, 1);
  EXPECT_EQ(zero.response.isAuthorized, 0u);
}

TEST_F(DecisionTest, TimestampModeApprovesFilesOlderThanTheUpgrade) {
  const std::string target = File("viewer-file");
  BRIXDAL* dal = BRIXDAL::GetDAL();
  dal->SetAppControlState("enableHTML", uint64_t{0});
  dal->SetAppControlState("upgradetime",
                          uint64_t(time(nullptr) + 3600));
  // The acting process is a help viewer, a type that runs in timestamp mode
  // while its switch is off.  Its type is learnt on its first event and
  // used from the process cache from then on.
  Result first = Send(kProgramStart, target, 1, "/opt/viewer/hh.exe");
  EXPECT_EQ(first.response.isAuthorized, 0u);
  EXPECT_EQ(BRIXEngine::GetEngine()->GetQuery().GetProcess(777, "hh.exe"),
            38u);
  Result r = Send(kProgramStart, target, 1, "/opt/viewer/hh.exe");
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(r.response.isAuthorized, 4u);
  EXPECT_EQ(Counter("AutoAuthorizeByTimeStamp"), 1);

  // With the switch on, the type is out of timestamp mode.
  dal->SetAppControlState("enableHTML", uint64_t{1});
  Result off = Send(kProgramStart, File("other"), 2, "/opt/viewer/hh.exe");
  EXPECT_EQ(off.response.isAuthorized, 0u);
}

// --- Mappings and scripts ------------------------------------------------------

TEST_F(DecisionTest, ExecutableMappingsSkipTheExecBit) {
  mode_ = 4 | 1;
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "lib.so");
  Result known = Send(kMmap, File("lib.so"), 1, "/usr/bin/bash", false);
  EXPECT_EQ(known.response.type, 9u);
  EXPECT_EQ(known.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(Counter("RunAllowedRule"), 1);

  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN, 0, 0), BRIX_STATUS_SUCCESS);
  Result unknown = Send(kMmap, File("other.so"), 2, "/usr/bin/bash", false);
  EXPECT_EQ(unknown.status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(Counter("RunBlockedLockdown"), 1);

  // A mapping that is not executable keeps its host code: an error.
  mode_ = 1;
  Result data = Send(kMmap, File("data.bin"), 3, "/usr/bin/bash", false);
  EXPECT_EQ(data.status, BRIX_STATUS_FAILED);
  EXPECT_EQ(data.response.type, 53u);
}

TEST_F(DecisionTest, InterpreterOpeningAScriptIsAScriptStart) {
  const std::string script = File("run.py", "print(1)\n", 0644);
  Result r = Send(kCreateCheck, script, 1, "/usr/bin/python3", true);
  EXPECT_EQ(r.response.type, 8u);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(Counter("RunScript"), 1);
  EXPECT_EQ(Counter("RunAllowedLogOnly"), 1);

  ASSERT_EQ(set_config(BRIX_MODE_LOCKDOWN, 0, 0), BRIX_STATUS_SUCCESS);
  Result blocked = Send(kCreateCheck, script, 1, "/usr/bin/python3", true);
  EXPECT_EQ(blocked.status, BRIX_STATUS_BLOCK);
  EXPECT_TRUE(LogCapture::Contains("Process " + script + " was not approved"));
}

TEST_F(DecisionTest, ScriptWithAnotherExtensionNeedsTheCommandLine) {
  const std::string script = File("job.txt", "print(1)\n", 0755);
  Result plain = Send(kCreateCheck, script, 1, "/usr/bin/python3", true);
  EXPECT_EQ(plain.response.action, BRIX_ACTION_NONE);
  EXPECT_EQ(plain.response.type, kCreateCheck);
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 1);

  cmdLine_ = "python3 " + script;
  Result named = Send(kCreateCheck, script, 1, "/usr/bin/python3", true);
  EXPECT_EQ(named.response.type, 8u);
  EXPECT_EQ(named.response.action, BRIX_ACTION_ALLOW);
  // Without the exec bit the command line is not enough.
  Result noExec = Send(kCreateCheck, script, 1, "/usr/bin/python3", false);
  EXPECT_EQ(noExec.response.type, kCreateCheck);
}

TEST_F(DecisionTest, NonInterpreterOpeningAFileIsIgnored) {
  Result r = Send(kCreateCheck, File("run.py"), 1, "/usr/bin/cat", true);
  EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 1);
}

// --- Drift ----------------------------------------------------------------------

TEST_F(DecisionTest, DriftOfKnownFilesIsReported) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "known");
  AddItem(DAL_SOURCE_EXECUTION_RULES, 2, 0, "bad");
  Result known = Send(kClose, File("known"), 1);
  EXPECT_EQ(known.status, BRIX_STATUS_SUCCESS);
  EXPECT_EQ(known.response.type, 4u);
  EXPECT_EQ(known.response.isAuthorized, 3u);
  EXPECT_EQ(known.response.decision, 1u);
  EXPECT_EQ(known.response.action, BRIX_ACTION_NONE);
  Result bad = Send(kClose, File("bad"), 2);
  EXPECT_EQ(bad.status, BRIX_STATUS_SUCCESS);  // drift is never blocked
  EXPECT_EQ(bad.response.isAuthorized, 2u);
  EXPECT_EQ(bad.response.decision, 2u);
  EXPECT_TRUE(LogCapture::Contains("Blocklisted drift bad"));
}

TEST_F(DecisionTest, UnrecognisedDriftIsNotTrusted) {
  Result r = Send(kClose, File("new"), 3);
  EXPECT_EQ(r.response.isAuthorized, 0u);
  EXPECT_EQ(r.response.decision, 0u);
  EXPECT_EQ(r.response.source, 4u);
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "0");
  EXPECT_TRUE(LogCapture::Contains("Unrecognized Drift new"));
}

TEST_F(DecisionTest, DriftInTheWindowIsRecorded) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "known", dir() + "/");
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 1, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result fresh = Send(kClose, File("new"), 3);
  EXPECT_EQ(fresh.response.isAuthorized, 1u);
  Result known = Send(kClose, File("known"), 1);
  EXPECT_EQ(known.response.isAuthorized, 3u);
  // The known file is recorded again as approved drift, replacing the scan.
  EXPECT_EQ(Query("SELECT group_concat(fileName || ':' || source, ',') FROM "
                  "(SELECT * FROM InventoryItems ORDER BY fileName)"),
            "known:4,new:4");
}

TEST_F(DecisionTest, DriftByAVouchedProcessIsRecorded) {
  trusted_ = true;
  Result r = Send(kClose, File("update.bin"), 4);
  EXPECT_EQ(r.response.isAuthorized, 4u);
  EXPECT_EQ(Counter("EventTrustedDrift"), 1);
  EXPECT_EQ(Query("SELECT source FROM InventoryItems"), "4");
}

TEST_F(DecisionTest, DriftTrustedBySourceAndTargetRules) {
  AddRule(DAL_TRUST_SOURCE, "processName", "'/usr/bin/dnf'");
  AddRule(DAL_TRUST_TARGET, "paths", "'" + dir() + "/vendor/'");
  Restart();
  Result bySource = Send(kClose, File("pkg.bin"), 5, "/usr/bin/dnf");
  EXPECT_EQ(bySource.response.isAuthorized, 4u);
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "1");

  mkdir(PathIn("vendor").c_str(), 0755);
  Result byTarget = Send(kClose, File("vendor/tool"), 6, "/usr/bin/cp");
  EXPECT_EQ(byTarget.response.isAuthorized, 4u);
  // Trusted, but not recorded.
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "1");
  EXPECT_EQ(Counter("EventTrustRuleSourceDrift"), 2);
}

TEST_F(DecisionTest, AllowedDriftBlockedByARule) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "tool");
  AddItem(DAL_SOURCE_EXECUTION_RULES, 2, 1, "ruled");
  AddRule(DAL_TRUST_BLOCK, "", "");
  Restart();
  Result r = Send(kClose, File("tool"), 1);
  EXPECT_EQ(r.response.decision, 2u);
  EXPECT_EQ(r.response.source, 6u);
  EXPECT_EQ(r.response.isAuthorized, 0u);
  // A ruleset's allowance is not turned into a block.
  Result ruled = Send(kChmod, File("ruled"), 2);
  EXPECT_EQ(ruled.response.decision, 1u);
  EXPECT_EQ(ruled.response.isAuthorized, 3u);
  EXPECT_EQ(Counter("EventBlockByTarget"), 1);
}

TEST_F(DecisionTest, UntrackedExtensionsAreCountedAndExamined) {
  Result r = Send(kClose, File("notes.xyz"), 7);
  EXPECT_EQ(r.response.source, 4u);
  EXPECT_EQ(Counter("TotalDriftUnknownExtension"), 1);
  EXPECT_EQ(BRIXStats::GetStats()->GetType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION,
                                           "xyz"),
            1);
}

TEST_F(DecisionTest, DriftOfAMissingFileIsAnError) {
  Result r = Send(kClose, PathIn("vanished"), 7);
  EXPECT_EQ(r.status, BRIX_STATUS_FAILED);
  EXPECT_EQ(r.response.action, BRIX_ACTION_ERROR);
}

TEST_F(DecisionTest, ChangeVoidsTheCachedAllowance) {
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1);
  const std::string target = File("tool");
  ASSERT_EQ(Send(kProgramStart, target, 1).response.action,
            BRIX_ACTION_ALLOW);
  Send(kClose, target, 9);
  Result after = Send(0, target, 0);
  EXPECT_NE(after.response.action, BRIX_ACTION_ALLOW);
}

// --- Renames and deletes ------------------------------------------------------

TEST_F(DecisionTest, RenameInTheWindowForgetsTheOldName) {
  const std::string folder = dir() + "/";
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "old-name", folder);
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 1, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  oldName_ = folder + "old-name";
  Result r = Send(kRename, File("new-name"), 1);
  EXPECT_EQ(r.response.type, 4u);
  EXPECT_EQ(Query("SELECT group_concat(fileName, ',') FROM InventoryItems"),
            "new-name");
}

TEST_F(DecisionTest, RenameOutsideTheWindowKeepsTheOldName) {
  const std::string folder = dir() + "/";
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "old-name", folder);
  oldName_ = folder + "old-name";
  Send(kRename, File("new-name"), 1);
  EXPECT_EQ(Query("SELECT group_concat(fileName, ',') FROM InventoryItems"),
            "old-name");
}

TEST_F(DecisionTest, DeleteRemovesItemsOnlyInTheWindow) {
  const std::string folder = dir() + "/";
  AddItem(DAL_SOURCE_SCANNED_ITEMS, 1, 1, "gone", folder);
  Result outside = Send(kDelete, folder + "gone", 0);
  EXPECT_EQ(outside.response.type, 7u);
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "1");
  EXPECT_TRUE(LogCapture::Contains("File " + folder +
                                   "gone was not deleted because not in "
                                   "maintenance mode"));
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 1, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Send(kDelete, folder + "gone", 0);
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "0");
}

// --- Exclusions -----------------------------------------------------------------

TEST_F(DecisionTest, ExcludedFoldersAreNotWatched) {
  for (const char* path : {"/var/tmp/cache/x.so", "/home/u/.cache/tool"}) {
    Result r = Send(kClose, path, 1);
    EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS) << path;
    EXPECT_EQ(r.response.action, BRIX_ACTION_NOT_RELEVANT) << path;
    EXPECT_EQ(r.response.isAuthorized, 5u) << path;
  }
  EXPECT_EQ(Counter("EventExcludedBasedOnDirectory"), 2);
  // In the maintenance window nothing is excluded.
  ASSERT_EQ(set_config(BRIX_MODE_AUTO_AUTHORIZE, 1, UINT64_MAX),
            BRIX_STATUS_SUCCESS);
  Result r = Send(kClose, "/var/tmp/cache/x.so", 1);
  EXPECT_NE(r.response.isAuthorized, 5u);
}

TEST_F(DecisionTest, ExclusionRuleDropsUncategorisedEventsAndCachesThem) {
  AddRule(DAL_TRUST_EXCLUDE, "processName", "'/usr/sbin/backupd'");
  Restart();
  const std::string target = File("data");
  Result r = Send(0, target, 0, "/usr/sbin/backupd");
  EXPECT_EQ(r.response.action, BRIX_ACTION_NOT_RELEVANT);
  EXPECT_EQ(r.response.isAuthorized, 5u);
  EXPECT_EQ(Counter("EventExcludedByTrustRule"), 1);
  EXPECT_EQ(Counter("TotalIgnoredEvent"), 1);
  Result again = Send(0, target, 0, "/usr/sbin/backupd");
  EXPECT_EQ(again.response.action, BRIX_ACTION_ALLOW);
  EXPECT_EQ(again.response.isAuthorized, 3u);
  EXPECT_EQ(Counter("EventExcludedByTrustRule"), 1);
}

}  // namespace
