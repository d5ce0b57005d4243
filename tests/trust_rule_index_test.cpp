// The in-memory trust-rule index against the reference lookup: the
// candidate query over the tables and the checks in code on each row it
// returns, in trustRuleId order.  Random rule sets and events; rules, user
// lists, purges, reopenings and deletions between the lookups.  Each lookup
// must give the same answer, the same marks on the event and the same hit
// count update.
//
// BRIX_TRUST_INDEX_SEEDS sets how many seeds run (the fuzz script runs
// many more than the test command).
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "IssuerMeta.h"
#include "PathMatch.h"
#include "brix_sql.h"
#include "test_util.h"

namespace {

// --- The reference lookup ------------------------------------------------------

// The answer of the candidate query and the checks in code, without
// touching the database; *hitId is the rule whose hit count must grow.
bool ReferenceLookup(const std::string& dbPath, bool present, DALTrustType kind, ac_event& event,
                     int64_t* hitId) {
  *hitId = 0;
  if (!present || kind < DAL_TRUST_SOURCE || kind > DAL_TRUST_BLOCK) return false;
  // An exclusion binds none of the values (they stay empty); a source
  // question binds the acting process's, the others the target's.
  static const std::string kEmpty;
  static const SHA256Hash kNoDigest;
  const bool bound = kind != DAL_TRUST_EXCLUDE, source = kind == DAL_TRUST_SOURCE;
  auto pick = [&](const std::string& process, const std::string& file) -> const std::string& {
    return !bound ? kEmpty : source ? process : file;
  };
  const Hash& digest = !bound ? kNoDigest : source ? event.processSha256 : event.fileSha256;
  const std::string& group = bound ? event.group : kEmpty;

  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, LookupTrustRuleSQL, -1, &s, nullptr), SQLITE_OK);
  auto text = [s](const char* name, const std::string& value) {
    sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, name), value.c_str(),
                      -1, SQLITE_TRANSIENT);
  };
  text(":processName", event.processName);
  sqlite3_bind_int(s, sqlite3_bind_parameter_index(s, ":trustType"), kind);
  text(":signerName", pick(event.processSignerName, event.fileSignerName));
  text(":productName", pick(event.processProductName, event.fileProductName));
  text(":companyName", pick(event.processCompanyName, event.fileCompanyName));
  if (digest.HasBytes())
    sqlite3_bind_blob(s, sqlite3_bind_parameter_index(s, ":sha256"), digest.GetBytes(), 32,
                      SQLITE_TRANSIENT);
  for (const auto& meta : IssuerMetaArrayUtil::m_issuerMetas) {
    const int i = meta.getIssuer();
    text(meta.getBindVarName(), pick(event.processIssuer[i], event.fileIssuer[i]));
  }
  text(":procUser", bound ? event.user : kEmpty);
  text(":procGroup", group);

  bool found = false;
  int rc;
  while (!found && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    auto column = [s](int i) { return reinterpret_cast<const char*>(sqlite3_column_text(s, i)); };
    if (const char* p = column(3))
      if (!MatchEventPathWithRulePath(event.processName, p)) continue;
    if (const char* g = column(5)) {
      std::list<std::string> groups;
      split(group, ',', groups);
      if (std::find(groups.begin(), groups.end(), g) == groups.end()) continue;
    }
    if (const char* paths = column(1))
      if (!MatchEventPathWithRulePath(event.name, paths)) continue;
    event.driftTrust = 4;
    if (const char* ruleset = column(4)) event.ruleset = ruleset;
    *hitId = sqlite3_column_int64(s, 0);
    found = true;
  }
  EXPECT_TRUE(found || rc == SQLITE_DONE) << sqlite3_errmsg(db);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return found;
}

// --- Random rule sets and events ---------------------------------------------

const char* const kRuleProcesses[] = {
    "/usr/bin/yum", "/usr/bin/apt", "/opt/app/bin/tool", "/usr/bin/*", "/opt/*/bin/tool",
    "/usr/**/yum", "*", "/usr/bin/a?t", "/usr/bin/;/opt/*", "/opt/app/", "\\win\\*",
    "/usr/bin/yum;/usr/bin/apt", "yum*", "/opt/app/bin/tool*", ";"};
const char* const kRulePaths[] = {
    "/opt/", "/opt/app/bin/*", "/usr/**/lib*.so", "*.sh", "/home/*/x", ";/opt/;/usr/bin/;", ";",
    "/srv/data", "/usr/bin/", "/usr/bin/*", "/tmp/f?.sh", "/a/**/b", "/", "/opt/**/bin/*", "x",
    "/usr/**", "/home/*/x;*.so", "/opt/app/bin/tool"};
const char* const kEventProcesses[] = {
    "/usr/bin/yum", "/usr/bin/apt", "/usr/bin/yumdownloader", "/opt/app/bin/tool",
    "/opt/vendor/bin/tool", "/opt/a/b/bin/tool", "/bin/sh", "yum", "\\win\\x.exe",
    "/usr/bin/yum;/usr/bin/apt", "", "/usr/bin/aXt"};
const char* const kEventNames[] = {
    "/opt/app/bin/tool", "/opt/x", "/usr/lib/libc.so", "/usr/a/lib64/libz.so", "/home/u/x",
    "/home/u/v/x", "/srv/data/file", "/usr/bin/ls", "/tmp/f1.sh", "/a/b", "/a/x/y/b",
    "/opt/a/bin/x", "run.sh", "", "/", "x", "/opt/axbin/x"};
const char* const kValues[] = {"S1", "S2"};
const char* const kUsers[] = {"alice", "bob", "carol", "dave", ""};
const char* const kRuleUsers[] = {"alice", "bob", "carol"};
const char* const kLists[] = {"admins", "ops", "empty"};
const char* const kRuleGroups[] = {"wheel", "users", "whe"};
const char* const kEventGroups[] = {"users, wheel", "wheels", "", "wheel", "users", " wheel ,x"};

template <typename T, size_t N>
const T& Pick(std::mt19937& rng, const T (&items)[N]) {
  return items[rng() % N];
}

std::string Digest(int which) { return std::string(32, which ? '\x22' : '\x11'); }

class TrustRuleIndexDifferential : public PrivateDalTest {
 protected:
  // Thousands of small commits: kept in memory where the system allows.
  std::string BaseDir() const override {
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : PrivateDalTest::BaseDir();
  }

  void SetUp() override {
    PrivateDalTest::SetUp();
    Open();
    BRIXLogger::GetInstance()->SetLogMask(7);
  }

  ac_trust_rule RandomRule() {
    ac_trust_rule r;
    auto maybe = [this](int percent) { return int(rng() % 100) < percent; };
    if (maybe(60)) r.processName = Pick(rng, kRuleProcesses);
    if (maybe(65)) r.paths = Pick(rng, kRulePaths);
    const int kinds[] = {0, 1, 2, 2, 3, 3, 4, 4, 7};
    r.trustType = Pick(rng, kinds);
    if (maybe(15)) r.signerName = Pick(rng, kValues);
    if (maybe(8)) r.productName = Pick(rng, kValues);
    if (maybe(8)) r.companyName = Pick(rng, kValues);
    if (maybe(10)) r.issuer[rng() % kIssuerFieldCount] = Pick(rng, kValues);
    if (maybe(10)) r.sha256.SetHash(Digest(rng() % 2).data());
    if (maybe(15)) r.procUser = Pick(rng, kRuleUsers);
    if (maybe(15)) {
      r.userList = Pick(rng, kLists);
      if (maybe(40)) r.procUser = Pick(rng, kRuleUsers);
    }
    if (maybe(12)) r.procGroup = Pick(rng, kRuleGroups);
    if (maybe(70)) r.ruleset = "rs" + std::to_string(rng() % 5);
    return r;
  }

  // Values no import writes (empty texts, BLOBs, a text kind): written
  // beside the engine, seen after the next open.
  void InsertOddRows() {
    const char* const kRows[] = {
        "INSERT INTO TrustRules(processName, trustType, signerName) VALUES('/usr/bin/yum', 2, '')",
        "INSERT INTO TrustRules(processName, paths, trustType) "
        "VALUES(X'2F7573722F62696E2F2A', X'2F6F70742F', 0)",
        "INSERT INTO TrustRules(paths, trustType, procGroup) VALUES('/opt/', 2, '')",
        "INSERT INTO TrustRules(paths, trustType) VALUES('/usr/', 'x')",
        "INSERT INTO TrustRules(paths, trustType, ruleset) VALUES('/srv/', '4', 'text-kind')",
        "INSERT INTO TrustRules(trustType, sha256) VALUES(2, X'1111')",
        "INSERT INTO TrustRules(trustType, procUser, userList) VALUES(0, X'616C696365', 'admins')",
        "INSERT INTO UserList(id, user) VALUES(X'6F7073', 'carol')",
        "INSERT INTO UserList(id, user) VALUES('ops', NULL)",
        "INSERT INTO UserList(id, user) VALUES('admins', '')",
    };
    Db(PathIn("ac.db")).Exec(Pick(rng, kRows));
  }

  ac_event RandomEvent() {
    ac_event e;
    e.processName = Pick(rng, kEventProcesses);
    e.name = Pick(rng, kEventNames);
    e.user = Pick(rng, kUsers);
    e.group = Pick(rng, kEventGroups);
    auto value = [this]() -> std::string { return rng() % 3 ? Pick(rng, kValues) : ""; };
    for (auto text : {&ac_event::processSignerName, &ac_event::fileSignerName,
                      &ac_event::processProductName, &ac_event::fileProductName,
                      &ac_event::processCompanyName, &ac_event::fileCompanyName})
      e.*text = value();
    for (int i = 0; i < kIssuerFieldCount; ++i) {
      e.processIssuer[i] = value();
      e.fileIssuer[i] = value();
    }
    if (rng() % 2) e.fileSha256.SetHash(Digest(rng() % 2).data());
    if (rng() % 2) e.processSha256.SetHash(Digest(rng() % 2).data());
    return e;
  }

  std::map<int64_t, int64_t> Hitcounts() {
    std::map<int64_t, int64_t> counts;
    Db db(PathIn("ac.db"));
    for (const std::string& row : db.Rows("SELECT trustRuleId, hitcount FROM TrustRules")) {
      const size_t bar = row.find('|');
      counts[std::stoll(row.substr(0, bar))] = std::stoll(row.substr(bar + 1));
    }
    return counts;
  }

  void CompareOneLookup(int step) {
    rng.discard(1);  // keeps each seed's sequence of rule sets as it was
    const int kinds[] = {1, 2, 3, 4, 1, 2, 3, 4, 9};
    const auto kind = static_cast<DALTrustType>(Pick(rng, kinds));
    const ac_event event = RandomEvent();

    ac_event expected(event);
    int64_t hitId = 0;
    const bool want =
        ReferenceLookup(PathIn("ac.db"), dal.TrustRulesPresent(), kind, expected, &hitId);
    std::map<int64_t, int64_t> counts = Hitcounts();

    ac_event actual(event);
    const bool got = dal.IsFoundInTrustRules(kind, actual);

    SCOPED_TRACE("step " + std::to_string(step) + " kind " + std::to_string(kind) + " process '" +
                 event.processName + "' path '" + event.name + "' user '" + event.user +
                 "' group '" + event.group + "'");
    ASSERT_EQ(got, want);
    EXPECT_EQ(actual.driftTrust, expected.driftTrust);
    EXPECT_EQ(actual.ruleset, expected.ruleset);
    if (hitId != 0) ++counts[hitId];
    EXPECT_EQ(Hitcounts(), counts);
    ++lookups;
    matches += got;
  }

  void StoreRules() {
    const int n = 1 + rng() % 4;
    for (int i = 0; i < n; ++i) {
      ac_trust_rule r = RandomRule();
      ASSERT_TRUE(dal.StoreTrustRuleBuffer(r));
    }
    dal.StoreTrustRuleFlush();
  }

  void StoreUserLists() {
    const int n = 1 + rng() % 3;
    for (int i = 0; i < n; ++i) {
      ac_user_list row{Pick(rng, kLists), Pick(rng, kUsers)};
      if (row.id == std::string("empty")) row.id = "admins";
      // Stored at once or buffered.
      ASSERT_TRUE(rng() % 2 ? dal.StoreUserList(row) != 0 : dal.StoreUserListBuffer(row));
    }
    dal.StoreUserListFlush();
  }

  void Import(bool append) {
    std::string doc = R"({"Trustrules": [)";
    const int n = rng() % 3;
    for (int i = 0; i < n; ++i) {
      const ac_trust_rule r = RandomRule();
      if (i) doc += ",";
      doc += R"({"trustType": )" + std::to_string(r.trustType);
      if (!r.processName.empty()) {
        std::string escaped;
        for (char c : r.processName) {
          if (c == '\\') escaped += '\\';
          escaped += c;
        }
        doc += R"(, "processName": ")" + escaped + "\"";
      }
      if (!r.paths.empty()) doc += R"(, "paths": ")" + r.paths + "\"";
      if (!r.signerName.empty()) doc += R"(, "signerName": ")" + r.signerName + "\"";
      if (!r.procUser.empty()) doc += R"(, "user": ")" + r.procUser + "\"";
      if (!r.userList.empty()) doc += R"(, "userList": ")" + r.userList + "\"";
      if (!r.procGroup.empty()) doc += R"(, "group": ")" + r.procGroup + "\"";
      doc += "}";
    }
    doc += R"(], "Userlists": [{"id": "ops", "users": ["carol", "alice"]}]})";
    ASSERT_TRUE(dal.ImportRulesetBuffer(append, doc.c_str(), "TrustRules-diff"));
  }

  void Run(uint32_t seed, int steps) {
    rng.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int step = 0; step < steps && !HasFatalFailure(); ++step) {
      const int op = rng() % 100;
      if (op < 50) {
        CompareOneLookup(step);
      } else if (op < 62) {
        ac_trust_rule r = RandomRule();
        ASSERT_NE(dal.StoreTrustRule(r), 0u);
      } else if (op < 72) {
        StoreRules();
      } else if (op < 80) {
        StoreUserLists();
      } else if (op < 85) {
        Import(true);
      } else if (op < 87) {
        Import(false);
      } else if (op < 90) {
        ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_TRUST_RULES));
      } else if (op < 92) {
        ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_SCANNED_ITEMS));
      } else if (op < 96) {
        dal.ShutdownDAL();
        InsertOddRows();
        ASSERT_TRUE(dal.InitDB(false));
      } else if (op < 98) {
        ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_ALL));
      } else {
        ASSERT_TRUE(dal.DeleteDB());
        ASSERT_TRUE(dal.InitDB(false));
      }
    }
  }

  std::mt19937 rng;
  int lookups = 0;
  int matches = 0;
};

TEST_F(TrustRuleIndexDifferential, SameAnswersAsTheQueryForRandomRuleSets) {
  const char* env = getenv("BRIX_TRUST_INDEX_SEEDS");
  const int seeds = env != nullptr ? atoi(env) : 3;
  for (int seed = 1; seed <= seeds && !HasFatalFailure(); ++seed) {
    Run(static_cast<uint32_t>(seed), 400);
    ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_ALL));
  }
  // The rule sets must make lookups match often enough to mean something.
  EXPECT_GT(matches, lookups / 10);
}

}  // namespace
