// Trust rules at scale: what one event costs with 0, 100, 10,000 and
// 100,000 trust rules of a realistic mix, for each kind of event that asks
// the rules; what importing 10,000 rules costs (the in-memory index
// included); how long an engine start with 100,000 rules takes; and how
// much memory the index holds per rule.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "TrustRuleIndex.h"
#include "bench_util.h"
#include "brix.h"
#include "brix_sql.h"

namespace {

constexpr int kItems = 10000;  // scanned items in every database
// Digests: scanned items are 0..kItems-1; these are apart from them.
constexpr uint64_t kExecutionRuleDigest = 5000000;
constexpr uint64_t kUnknownDigest = 6000000;

std::string g_dir;

// Drift is examined only in folders that are watched: not under a system
// temporary folder, not hidden.
void EnsureDir() {
  static std::once_flag once;
  std::call_once(once, [] {
    char dir[] = "/var/lib/brix_trust_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
      perror("brix bench: folder under /var/lib");
      abort();
    }
    g_dir = dir;
    std::ofstream(g_dir + "/drift.o") << "drift";
    atexit([] { std::filesystem::remove_all(g_dir); });
  });
}

// One rule of the mix, i-th of its kind, as the values of (processName,
// paths, trustType, signerName, sha256, userList, procGroup).  None applies
// to the events below, so every lookup does its whole work.
std::string RuleValues(int i) {
  const std::string n = std::to_string(i);
  switch (i % 10) {
    case 0:
    case 1:
    case 2:  // trusted folders of installed applications
      return "NULL, '/opt/app" + n + "/bin/*;/opt/app" + n +
             "/lib/**/*.so', 2, NULL, NULL, NULL, NULL";
    case 3:  // updaters that may write anywhere
      return "'/opt/vendor" + n + "/bin/update*', NULL, 1, NULL, NULL, NULL, "
             "NULL";
    case 4:  // exclusions by exact process name
      return "'/usr/lib/agent" + n + "/agentd', NULL, 3, NULL, NULL, NULL, NULL";
    case 5:  // signed software under its folder
      return "NULL, '/opt/signed" + n + "/', 0, 'Vendor " + n +
             "', NULL, NULL, NULL";
    case 6:  // blocked by digest
      return "NULL, NULL, 4, NULL, X'" +
             bench::HexOf(bench::DigestOf(900000 + i)) + "', NULL, NULL";
    case 7:  // tools of a team, by user list
      return "NULL, '/home/team" + n + "/bin/*', 2, NULL, NULL, 'team" +
             std::to_string(i % 100) + "', NULL";
    case 8:  // a build folder per project, for the project's group
      return "'/usr/bin/make', '/srv/build" + n +
             "/**/out/*', 2, NULL, NULL, NULL, 'project" + n + "'";
    default:  // blocked scripts of a web site, any process
      return "NULL, '/var/www/site" + n + "/*.php', 4, NULL, NULL, NULL, NULL";
  }
}

// A database with the scanned items, one execution-rule item and `rules`
// trust rules with their user lists, built once per count.
std::string EnsureDatabase(int rules) {
  static std::mutex mu;
  static std::map<int, std::string> built;
  std::lock_guard<std::mutex> lock(mu);
  EnsureDir();
  std::string& path = built[rules];
  if (!path.empty()) return path;
  path = "rules" + std::to_string(rules) + ".db";
  bench::StartEngine(path);  // creates the schema
  engine_stop();
  bench::FillInventory(path, 0, kItems);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  const std::string item =
      "INSERT INTO InventoryItems(fileName, path, nativePath, sha256, size, "
      "recordTime, isAuthorized, source, ruleset) VALUES('exec-tool', "
      "'/opt/app/bin/', '/opt/app/bin/exec-tool', X'" +
      bench::HexOf(bench::DigestOf(kExecutionRuleDigest)) +
      "', 1000, 1, 1, 2, 'bench-ruleset')";
  sqlite3_exec(db, item.c_str(), nullptr, nullptr, nullptr);
  for (int i = 0; i < rules; ++i) {
    const std::string sql =
        "INSERT INTO TrustRules(processName, paths, trustType, signerName, "
        "sha256, userList, procGroup, ruleset) VALUES(" +
        RuleValues(i) + ", 'bench-trustrules')";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  for (int list = 0; list < 100 && list < rules; ++list)
    for (int u = 0; u < 10; ++u) {
      const std::string sql = "INSERT INTO UserList(id, user) VALUES('team" +
                              std::to_string(list) + "', 'user" +
                              std::to_string(list * 10 + u) + "')";
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return path;
}

ac_wrapper_event_s Event(uint32_t type, const char* name, const char* process,
                         const std::string& digest) {
  ac_wrapper_event_s e{};
  e.pid = 4321;
  e.type = type;
  e.isexec = 1;
  e.size = 1000;
  e.name = name;
  e.processName = process;
  e.user = "user7";
  e.group = "staff, developers";
  e.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
  return e;
}

// Runs one kind of event against `rules` rules and checks its outcome.
void Lookup(benchmark::State& state, const ac_wrapper_event_s& event,
            uint32_t action, uint32_t decision) {
  bench::StartEngine(EnsureDatabase(static_cast<int>(state.range(0))));
  ac_wrapper_response_s r{};
  for (auto _ : state) {
    ac_wrapper_event_s e = event;
    app_ctl(nullptr, &e, &r);
  }
  if (r.action != action || r.decision != decision)
    state.SkipWithError("unexpected verdict");
  engine_stop();
}

void BM_ExecutionRuleStart(benchmark::State& state) {
  const std::string digest = bench::DigestOf(kExecutionRuleDigest);
  Lookup(state,
         Event(23, "/opt/app/bin/exec-tool", "/usr/bin/bash", digest),
         BRIX_ACTION_ALLOW, 1);
}

void BM_ScannedItemStart(benchmark::State& state) {
  const std::string digest = bench::DigestOf(4242);
  Lookup(state, Event(23, "/opt/app/bin/tool4242", "/usr/bin/bash", digest),
         BRIX_ACTION_ALLOW, 1);
}

void BM_UnknownStart(benchmark::State& state) {
  const std::string digest = bench::DigestOf(kUnknownDigest);
  Lookup(state,
         Event(23, "/home/user7/projects/tool/bin/new-tool", "/usr/bin/bash",
               digest),
         BRIX_ACTION_ALLOW, 0);
}

void BM_WatchedFolderDrift(benchmark::State& state) {
  EnsureDir();
  const std::string digest = bench::DigestOf(kUnknownDigest + 1);
  const std::string name = g_dir + "/drift.o";
  ac_wrapper_event_s e = Event(36, name.c_str(), "/usr/bin/cc", digest);
  e.dirty = 1;
  e.isexec = 0;
  Lookup(state, e, 0, 0);
}

#define RULE_COUNTS ->Arg(0)->Arg(100)->Arg(10000)->Arg(100000)
BENCHMARK(BM_ExecutionRuleStart) RULE_COUNTS->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScannedItemStart) RULE_COUNTS->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnknownStart) RULE_COUNTS->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WatchedFolderDrift) RULE_COUNTS->Unit(benchmark::kMicrosecond);

// --- Import, start, memory ---------------------------------------------------

std::string TrustRulesetText(int count) {
  std::string doc = "{\"Trustrules\": [";
  for (int i = 0; i < count; ++i) {
    if (i) doc += ',';
    const std::string n = std::to_string(i);
    switch (i % 4) {
      case 0:
        doc += "{\"paths\":\"/opt/app" + n + "/bin/*\",\"trustType\":2}";
        break;
      case 1:
        doc += "{\"processName\":\"/opt/vendor" + n +
               "/bin/update*\",\"trustType\":1}";
        break;
      case 2:
        doc += "{\"signerName\":\"Vendor " + n + "\",\"paths\":\"/opt/signed" +
               n + "/\",\"trustType\":0}";
        break;
      default:
        doc += "{\"paths\":\"/home/team" + n +
               "/bin/*\",\"userList\":\"team" + std::to_string(i % 100) +
               "\",\"trustType\":2}";
    }
  }
  doc += "], \"Userlists\": [";
  for (int list = 0; list < 100; ++list) {
    if (list) doc += ',';
    doc += "{\"id\":\"team" + std::to_string(list) + "\",\"users\":[";
    for (int u = 0; u < 10; ++u)
      doc += (u ? ",\"user" : "\"user") + std::to_string(list * 10 + u) + "\"";
    doc += "]}";
  }
  return doc + "]}";
}

void BM_ImportTrustRules(benchmark::State& state) {
  EnsureDir();
  const int count = static_cast<int>(state.range(0));
  const std::string text = TrustRulesetText(count);
  for (auto _ : state) {
    state.PauseTiming();
    unlink("import.db");
    bench::StartEngine("import.db");
    state.ResumeTiming();
    if (set_ruleset_buffer(false, text.c_str(), "bench-trustrules") !=
        BRIX_STATUS_SUCCESS)
      state.SkipWithError("import failed");
    state.PauseTiming();
    engine_stop();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ImportTrustRules)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_EngineStart(benchmark::State& state) {
  const std::string path = EnsureDatabase(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    bench::StartEngine(path);
    state.PauseTiming();
    engine_stop();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_EngineStart)->Arg(0)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

// The index alone, built from a connection whose pages are already read,
// so that the heap growth is the index's own.
void BM_IndexMemory(benchmark::State& state) {
  const int rules = static_cast<int>(state.range(0));
  const std::string path = EnsureDatabase(rules);
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_exec(db, "PRAGMA cache_size = -262144", nullptr, nullptr, nullptr);
  double perRule = 0;
  size_t unkeyed = 0;  // rules every lookup must read: few, for a realistic set
  for (auto _ : state) {
    {
      BRIXTrustRuleIndex warm;  // fills SQLite's page cache
      warm.LoadNewRules(db);
      warm.LoadNewUserListRows(db);
    }
    const size_t before = mallinfo2().uordblks;
    BRIXTrustRuleIndex index;
    index.LoadNewRules(db);
    index.LoadNewUserListRows(db);
    const size_t after = mallinfo2().uordblks;
    perRule = static_cast<double>(after - before) / rules;
    unkeyed = index.RemainderCount();
    benchmark::DoNotOptimize(index.RuleCount());
  }
  sqlite3_close(db);
  state.counters["bytes_per_rule"] = perRule;
  state.counters["unkeyed_rules"] = static_cast<double>(unkeyed);
}
BENCHMARK(BM_IndexMemory)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
