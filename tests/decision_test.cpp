// The engine deciding real events through app_ctl: program starts,
// mappings, script starts, drift and deletes, against files in a watched
// folder and rules in the database.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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

// An inventory row for the file "tool" (or `file`) with the digest of `seed`.
std::string Item(int source, unsigned char seed, int isAuthorized, const std::string& file = "tool",
                 const std::string& path = "", const std::string& ruleset = "") {
  return "INSERT INTO InventoryItems(fileName, path, sha256, size, isAuthorized, source, "
         "ruleset) VALUES('" + file + "', '" + path + "', x'" + SeedHex(seed) + "', 0, " +
         std::to_string(isAuthorized) + ", " + std::to_string(source) + ", '" + ruleset + "');";
}

// A trust rule of `kind`; `column` empty for a rule that matches everything.
std::string Rule(int kind, const std::string& column = "", const std::string& value = "") {
  return "INSERT INTO TrustRules(trustType" + (column.empty() ? "" : ", " + column) + ") VALUES(" +
         std::to_string(kind) + (column.empty() ? "" : ", '" + value + "'") + ");";
}

class DecisionTest : public EngineTest {
 protected:
  std::string BaseDir() const override { return WatchedBaseDir(); }

  void SetUp() override {
    TempDirTest::SetUp();
    ASSERT_EQ(dir().find("/tmp/"), std::string::npos);
    Start();
  }

  void Start() {
    dbPath_ = PathIn("ac.db");
    ac_engine_start_s s = MakeStart(dbPath_.c_str(), &LogCapture::Callback, 15);
    ASSERT_EQ(engine_start(&s), BRIX_STATUS_SUCCESS);
    // The stored version is the engine's own: lockdown blocks at once.
    BRIXDAL::GetDAL()->SetAppControlState("agentVersion", std::string(BRIX_VERSION));
  }
  // Rows added behind the engine's back; rules are read at the next start.
  void Sql(const std::string& sql) {
    if (sql.empty()) return;
    Db(dbPath_).Exec(sql);
    engine_stop();
    Start();
  }
  std::string Query(const std::string& sql) { return Db(dbPath_).One(sql); }
  void Config(uint32_t bits, uint64_t start = 0) {
    ASSERT_EQ(set_config(bits, start, UINT64_MAX), BRIX_STATUS_SUCCESS);
  }

  // A real file in the test folder; returns its full path.
  std::string File(const std::string& name, const std::string& content = "x", mode_t mode = 0755) {
    return WriteFileAt(PathIn(name), content, mode);
  }

  struct Result {
    uint32_t status;
    ac_wrapper_response_s response;
  };
  Result Send(uint32_t type, const std::string& target, unsigned char seed,
              const std::string& process = "/usr/bin/bash", bool isexec = true) {
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
    e.trusted = trusted_;
    e.oldName = oldName_.empty() ? nullptr : oldName_.c_str();
    const std::string digest = SeedDigest(seed);
    if (seed) e.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
    Result r{};
    r.status = app_ctl(nullptr, &e, &r.response);
    return r;
  }
  // action, isAuthorized, source and decision of a response.
  using Verdict = std::vector<uint32_t>;
  static Verdict VerdictOf(const Result& r) {
    return {r.response.action, r.response.isAuthorized, r.response.source, r.response.decision};
  }
  static long Counter(const char* name) { return BRIXStats::GetStats()->Get(name); }

  std::string dbPath_;
  std::string user_ = "alice";
  std::string cmdLine_;
  std::string oldName_;
  uint64_t mode_ = 0;
  bool trusted_ = false;
};

// --- Program starts ---------------------------------------------------------

struct StartCase {
  const char* what;
  std::string sql;     // rows in the database
  bool lockdown;
  const char* storedVersion;  // nullptr: the engine's own
  unsigned char seed;  // 0: no digest
  bool isexec;
  uint32_t status;
  std::vector<uint32_t> verdict;  // action, isAuthorized, source, decision
  std::vector<std::string> counted;  // once each; the other steps never
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.what; }

class ProgramStartTest : public DecisionTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(ProgramStartTest, Decides) {
  const StartCase& c = GetParam();
  Sql(c.sql);
  if (c.storedVersion != nullptr)
    BRIXDAL::GetDAL()->SetAppControlState("agentVersion", std::string(c.storedVersion));
  Config(c.lockdown ? BRIX_MODE_LOCKDOWN : 0);
  const Result r = Send(kProgramStart, File("tool"), c.seed, "/usr/bin/bash", c.isexec);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(VerdictOf(r), c.verdict);
  EXPECT_EQ(r.response.type, 1u);
  for (const char* step : {"RunAllowedLogOnly", "RunBlockedLockdown", "RunAllowedRule",
                           "RunBlockedRule", "EventBlockByTarget", "EventTrustedExecution",
                           "ALLOWED_WAITING_FOR_MANIFEST", "RunErrorNotExec"})
    EXPECT_EQ(Counter(step), std::count(c.counted.begin(), c.counted.end(), step)) << step;
}

const uint32_t kAllow = BRIX_ACTION_ALLOW, kBlock = BRIX_ACTION_BLOCK;
const uint32_t kOk = BRIX_STATUS_SUCCESS, kBlocked = BRIX_STATUS_BLOCK;
INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramStartTest,
    ::testing::Values(
        StartCase{"Unknown", "", false, nullptr, 1, true, kOk, {kAllow, 0, 0, 0},
                  {"RunAllowedLogOnly"}},
        StartCase{"UnknownInLockdown", "", true, nullptr, 1, true, kBlocked, {kBlock, 0, 0, 0},
                  {"RunBlockedLockdown"}},
        // After an upgrade the block passes until the manifest comes.
        StartCase{"WaitingForTheManifest", "", true, "11.0", 1, true, kOk, {kBlock, 0, 0, 0},
                  {"ALLOWED_WAITING_FOR_MANIFEST", "RunBlockedLockdown"}},
        StartCase{"Scanned", Item(3, 1, 1), true, nullptr, 1, true, kOk, {kAllow, 3, 3, 1},
                  {"RunAllowedRule"}},
        StartCase{"AgentRule", Item(1, 1, 1), true, nullptr, 1, true, kOk, {kAllow, 3, 1, 1},
                  {"RunAllowedRule"}},
        StartCase{"ExecutionRuleBlocks", Item(2, 1, 0), false, nullptr, 1, true, kBlocked,
                  {kBlock, 2, 2, 2}, {"RunBlockedRule"}},
        // A ruleset's answer is final, whatever the trust rules say.
        StartCase{"ExecutionRuleAllows", Item(2, 1, 1) + Rule(DAL_TRUST_BLOCK), false, nullptr,
                  1, true, kOk, {kAllow, 3, 2, 1}, {"RunAllowedRule"}},
        StartCase{"BlockRuleOverTheInventory", Item(3, 1, 1) + Rule(DAL_TRUST_BLOCK), false,
                  nullptr, 1, true, kBlocked, {kBlock, 2, 6, 2},
                  {"EventBlockByTarget", "RunBlockedRule"}},
        StartCase{"UnauthorisedDriftRow", Item(4, 1, 0), true, nullptr, 1, true, kBlocked,
                  {kBlock, 0, 4, 0}, {"RunBlockedLockdown"}},
        StartCase{"TargetRule", Rule(DAL_TRUST_TARGET, "processName", "/usr/bin/bash"), true,
                  nullptr, 1, true, kOk, {kAllow, 4, 6, 1},
                  {"EventTrustedExecution", "RunAllowedRule"}},
        StartCase{"NotExecutable", Item(3, 1, 1), false, nullptr, 1, false, BRIX_STATUS_FAILED,
                  {BRIX_ACTION_ERROR, 0, 0, 0}, {"RunErrorNotExec"}},
        // Without a digest the store cannot judge: no verdict at all.
        StartCase{"NoDigest", "", true, nullptr, 0, true, kOk, {BRIX_ACTION_NONE, 0, 0, 0}, {}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(DecisionTest, AnAllowanceIsCachedPerUserUntilTheFileChanges) {
  Sql(Item(3, 1, 1));
  const std::string target = File("tool");
  ASSERT_EQ(Send(kProgramStart, target, 1).response.action, kAllow);
  // The repeated question of the same user is answered from the cache.
  EXPECT_EQ(VerdictOf(Send(0, target, 0)), (Verdict{kAllow, 3, 0, 0}));
  EXPECT_EQ(BRIXEngine::GetEngine()->GetAllowCache().GetCounters().Hit, 1u);
  user_ = "bob";
  EXPECT_NE(Send(0, target, 0).response.action, kAllow);
  user_ = "alice";
  Send(kClose, target, 9);  // written: the old allowance is void
  EXPECT_NE(Send(0, target, 0).response.action, kAllow);
  ASSERT_EQ(Send(kProgramStart, target, 1).response.action, kAllow);
  Send(kDelete, target, 0);  // deleted: whatever comes next is new
  EXPECT_NE(Send(0, target, 0).response.action, kAllow);
  ASSERT_EQ(Send(kProgramStart, target, 1).response.action, kAllow);
  // A new ruleset voids every allowance.
  set_ruleset_buffer(true, "{\"rules\": []}", "corp");
  EXPECT_NE(Send(0, target, 0).response.action, kAllow);
}

// --- Maintenance window and timestamp mode ------------------------------------

TEST_F(DecisionTest, MaintenanceWindowApprovesFilesMadeInIt) {
  const std::string target = File("tool"), future = File("future");
  std::filesystem::last_write_time(
      future, std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  const uint64_t now = GetCurrentTimeInMillisForTest();
  const struct {
    uint64_t start;
    std::string file;
    uint32_t isAuthorized;
  } kCases[] = {
      {now + 5000, target, 0},  // opened after the file was made
      {0, target, 0},           // a start of 0 never approves
      {now - 60000, future, 0},  // modified in the future: never
      {now - 60000, target, 1},
  };
  for (const auto& c : kCases) {
    Config(BRIX_MODE_AUTO_AUTHORIZE, c.start);
    const Result r = Send(kProgramStart, c.file, 1);
    EXPECT_EQ(r.response.isAuthorized, c.isAuthorized) << c.start << " " << c.file;
    // The file's birth time is reported with the approval.
    if (c.isAuthorized == 1) {
      EXPECT_GT(r.response.changeTime, 0u);
    }
  }
  EXPECT_EQ(Counter("AutoAuthorizeByFileTime"), 1);
  // Recorded as approved drift: the next start is allowed by the inventory,
  // also once the window is closed.
  EXPECT_EQ(Query("SELECT fileName || '|' || source || '|' || isAuthorized FROM InventoryItems"),
            "tool|4|1");
  Config(0);
  EXPECT_EQ(VerdictOf(Send(kProgramStart, target, 1)), (Verdict{kAllow, 3, 4, 1}));
}

TEST_F(DecisionTest, TimestampModeApprovesFilesOlderThanTheUpgrade) {
  const std::string target = File("viewer-file");
  BRIXDAL* dal = BRIXDAL::GetDAL();
  dal->SetAppControlState("enableHTML", uint64_t{0});
  dal->SetAppControlState("upgradetime", uint64_t(time(nullptr) + 3600));
  // A help viewer runs in timestamp mode while its switch is off.  Its type
  // is learnt on its first event and taken from the process cache after.
  EXPECT_EQ(Send(kProgramStart, target, 1, "/opt/viewer/hh.exe").response.isAuthorized, 0u);
  EXPECT_EQ(BRIXEngine::GetEngine()->GetQuery().GetProcess(777, "hh.exe"), 38u);
  EXPECT_EQ(VerdictOf(Send(kProgramStart, target, 1, "/opt/viewer/hh.exe")),
            (Verdict{kAllow, 4, 4, 1}));
  EXPECT_EQ(Counter("AutoAuthorizeByTimeStamp"), 1);
  dal->SetAppControlState("enableHTML", uint64_t{1});
  EXPECT_EQ(Send(kProgramStart, File("other"), 2, "/opt/viewer/hh.exe").response.isAuthorized, 0u);
}

// --- Mappings and scripts ------------------------------------------------------

TEST_F(DecisionTest, ExecutableMappingsSkipTheExecBit) {
  Sql(Item(3, 1, 1, "lib.so") + Item(2, 4, 0, "bad.so"));
  mode_ = 4 | 1;
  const Result known = Send(kMmap, File("lib.so"), 1, "/usr/bin/bash", false);
  EXPECT_EQ(known.response.type, 9u);
  EXPECT_EQ(known.response.action, kAllow);
  EXPECT_EQ(Send(kMmap, File("bad.so"), 4, "/usr/bin/bash", false).status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(Send(kMmap, File("new.so"), 2, "/usr/bin/bash", false).response.action, kAllow);
  Config(BRIX_MODE_LOCKDOWN);
  EXPECT_EQ(Send(kMmap, File("other.so"), 3, "/usr/bin/bash", false).status, BRIX_STATUS_BLOCK);
  EXPECT_EQ(Counter("RunBlockedLockdown"), 1);
  // A mapping that is not executable keeps its host code: an error.
  mode_ = 1;
  const Result data = Send(kMmap, File("data.bin"), 5, "/usr/bin/bash", false);
  EXPECT_EQ(data.status, BRIX_STATUS_FAILED);
  EXPECT_EQ(data.response.type, kMmap);
}

TEST_F(DecisionTest, InterpretersOpeningScriptsAreScriptStarts) {
  const struct {
    const char* file;
    const char* process;
    bool onCommandLine, isexec;
    uint32_t type;  // 8: a script start
  } kCases[] = {
      {"run.py", "/usr/bin/python3", false, true, 8},
      {"run.py", "/usr/bin/cat", false, true, kCreateCheck},  // not an interpreter
      // Another extension needs the command line and the exec bit.
      {"job.txt", "/usr/bin/python3", false, true, kCreateCheck},
      {"job.txt", "/usr/bin/python3", true, true, 8},
      {"job.txt", "/usr/bin/python3", true, false, kCreateCheck},
  };
  for (const auto& c : kCases) {
    const std::string script = File(c.file, "print(1)\n", 0644);
    cmdLine_ = c.onCommandLine ? "python3 " + script : "";
    const Result r = Send(kCreateCheck, script, 1, c.process, c.isexec);
    EXPECT_EQ(r.response.type, c.type) << c.file << " " << c.process;
    EXPECT_EQ(r.response.action, c.type == 8 ? kAllow : BRIX_ACTION_NONE);
  }
  EXPECT_EQ(Counter("RunScript"), 2);
  Sql(Item(2, 2, 0, "bad.py"));
  EXPECT_EQ(Send(kCreateCheck, File("bad.py"), 2, "/usr/bin/python3").status, BRIX_STATUS_BLOCK);
  Config(BRIX_MODE_LOCKDOWN);
  EXPECT_EQ(Send(kCreateCheck, File("run.py"), 1, "/usr/bin/python3").status, BRIX_STATUS_BLOCK);
}

// --- Drift ----------------------------------------------------------------------

TEST_F(DecisionTest, DriftIsJudgedButNeverBlocked) {
  Sql(Item(3, 1, 1, "known") + Item(2, 2, 0, "bad"));
  const struct {
    const char* file;
    unsigned char seed;
    std::vector<uint32_t> verdict;  // action, isAuthorized, source, decision
  } kCases[] = {
      {"known", 1, {BRIX_ACTION_NONE, 3, 3, 1}},
      {"bad", 2, {BRIX_ACTION_NONE, 2, 2, 2}},
      {"new", 3, {BRIX_ACTION_NONE, 0, 4, 0}},
      {"notes.xyz", 7, {BRIX_ACTION_NONE, 0, 4, 0}},  // untracked, but examined
  };
  for (const auto& c : kCases) {
    const Result r = Send(kClose, File(c.file), c.seed);
    EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS) << c.file;
    EXPECT_EQ(r.response.type, 4u) << c.file;
    EXPECT_EQ(VerdictOf(r), c.verdict) << c.file;
  }
  EXPECT_EQ(Query("SELECT count(*) FROM InventoryItems"), "2");
  EXPECT_EQ(Counter("TotalDriftUnknownExtension"), 1);
  EXPECT_EQ(BRIXStats::GetStats()->GetType(BRIX_STATS_DRIFT_UNKNOWN_EXTENSION, "xyz"), 1);
  const Result missing = Send(kClose, PathIn("vanished"), 7);
  EXPECT_EQ(missing.status, BRIX_STATUS_FAILED);
  EXPECT_EQ(missing.response.action, BRIX_ACTION_ERROR);
}

TEST_F(DecisionTest, TrustedDriftIsRecordedUnlessOnlyItsTargetIsTrusted) {
  Sql(Rule(DAL_TRUST_SOURCE, "processName", "/usr/bin/dnf") +
      Rule(DAL_TRUST_TARGET, "paths", dir() + "/vendor/"));
  mkdir(PathIn("vendor").c_str(), 0755);
  const struct {
    const char* file;
    const char* process;
    bool vouched;
    unsigned char seed;
    const char* stored;  // the files recorded so far
  } kCases[] = {
      {"update.bin", "/usr/bin/bash", true, 4, "update.bin"},
      {"pkg.bin", "/usr/bin/dnf", false, 5, "pkg.bin,update.bin"},
      {"vendor/tool", "/usr/bin/cp", false, 6, "pkg.bin,update.bin"},
  };
  for (const auto& c : kCases) {
    trusted_ = c.vouched;
    EXPECT_EQ(Send(kClose, File(c.file), c.seed, c.process).response.isAuthorized, 4u) << c.file;
    EXPECT_EQ(Query("SELECT group_concat(fileName || '', ',') FROM (SELECT fileName FROM "
                    "InventoryItems WHERE source = 4 ORDER BY fileName)"),
              c.stored);
  }
  EXPECT_EQ(Counter("EventTrustedDrift"), 1);
  EXPECT_EQ(Counter("EventTrustRuleSourceDrift"), 2);
}

TEST_F(DecisionTest, BlockRuleTurnsAllowedDriftButNotARulesetsAnswer) {
  Sql(Item(3, 1, 1, "tool") + Item(2, 2, 1, "ruled") + Rule(DAL_TRUST_BLOCK));
  EXPECT_EQ(VerdictOf(Send(kClose, File("tool"), 1)), (Verdict{BRIX_ACTION_NONE, 0, 6, 2}));
  EXPECT_EQ(VerdictOf(Send(kChmod, File("ruled"), 2)), (Verdict{BRIX_ACTION_NONE, 3, 2, 1}));
  EXPECT_EQ(Counter("EventBlockByTarget"), 1);
}

TEST_F(DecisionTest, InTheWindowDriftIsRecordedAndRenamesAndDeletesForgetTheOldName) {
  const std::string folder = dir() + "/";
  Sql(Item(3, 1, 1, "known", folder) + Item(3, 5, 1, "old-name", folder) +
      Item(3, 6, 1, "gone", folder) + Item(3, 7, 1, "gone2", dir()));
  auto names = [&] {
    return Query("SELECT group_concat(fileName || ':' || source, ',') FROM "
                 "(SELECT * FROM InventoryItems ORDER BY fileName)");
  };
  // Outside the window a rename and a delete change nothing.
  oldName_ = folder + "old-name";
  Send(kRename, File("new-name"), 5);
  oldName_.clear();
  EXPECT_EQ(Send(kDelete, folder + "gone", 0).response.type, 7u);
  EXPECT_EQ(names(), "gone:3,gone2:3,known:3,old-name:3");

  Config(BRIX_MODE_AUTO_AUTHORIZE, 1);
  EXPECT_EQ(Send(kClose, File("new"), 3).response.isAuthorized, 1u);
  // A known file is recorded again as approved drift, replacing the scan.
  EXPECT_EQ(Send(kClose, File("known"), 1).response.isAuthorized, 3u);
  oldName_ = folder + "old-name";
  EXPECT_EQ(Send(kRename, File("new-name"), 5).response.type, 4u);
  oldName_.clear();
  // Rows stored with and without the folder's trailing slash both go.
  Send(kDelete, folder + "gone", 0);
  Send(kDelete, folder + "gone2", 0);
  EXPECT_EQ(names(), "known:4,new:4,new-name:4");
}

// --- Exclusions -----------------------------------------------------------------

TEST_F(DecisionTest, ExcludedFoldersAreNotWatchedOutsideTheWindow) {
  for (const char* path : {"/var/tmp/cache/x.so", "/home/u/.cache/tool"}) {
    const Result r = Send(kClose, path, 1);
    EXPECT_EQ(r.status, BRIX_STATUS_SUCCESS) << path;
    EXPECT_EQ(VerdictOf(r), (Verdict{BRIX_ACTION_NOT_RELEVANT, 5, 0, 0})) << path;
  }
  EXPECT_EQ(Counter("EventExcludedBasedOnDirectory"), 2);
  Config(BRIX_MODE_AUTO_AUTHORIZE, 1);
  EXPECT_NE(Send(kClose, "/var/tmp/cache/x.so", 1).response.isAuthorized, 5u);
}

TEST_F(DecisionTest, ExclusionRuleDropsUncategorisedEventsAndCachesThem) {
  Sql(Rule(DAL_TRUST_EXCLUDE, "processName", "/usr/sbin/backupd"));
  const std::string target = File("data");
  EXPECT_EQ(VerdictOf(Send(0, target, 0, "/usr/sbin/backupd")),
            (Verdict{BRIX_ACTION_NOT_RELEVANT, 5, 0, 0}));
  EXPECT_EQ(VerdictOf(Send(0, target, 0, "/usr/sbin/backupd")), (Verdict{kAllow, 3, 0, 0}));
  EXPECT_EQ(Counter("EventExcludedByTrustRule"), 1);
}

}  // namespace
