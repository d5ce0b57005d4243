// Costs that depend on the rule database: known program starts against a
// large inventory, trust-rule growth, ruleset import and inventory export,
// each beside a raw SQLite baseline measured in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "bench_util.h"
#include "brix.h"
#include "brix_sql.h"

namespace {

constexpr uint64_t kInventory = 1000000;

std::string g_dir;

void EnsureDir() {
  static std::once_flag once;
  std::call_once(once, [] { g_dir = bench::EnterScratchDir(); });
}

// The 1,000,000-item inventory, built once per run with plain SQL.
void EnsureInventory() {
  static std::once_flag once;
  std::call_once(once, [] {
    EnsureDir();
    bench::StartEngine("inventory.db");  // creates the schema
    engine_stop();
    bench::FillInventory("inventory.db", 0, kInventory);
  });
}

ac_wrapper_event_s StartEvent(const std::string& name,
                              const std::string& digest) {
  ac_wrapper_event_s e{};
  e.pid = 4321;
  e.type = 23;
  e.isexec = 1;
  e.size = 1000;
  e.name = name.c_str();
  e.processName = "/usr/bin/bash";
  e.user = "root";
  e.group = "root";
  e.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
  return e;
}

// --- Known program start ---------------------------------------------------

void KnownStart(benchmark::State& state) {
  uint64_t i = 0;
  std::string name, digest;
  for (auto _ : state) {
    const uint64_t k = (i++ * 7919) % kInventory;
    name = "/opt/app/bin/tool" + std::to_string(k);
    digest = bench::DigestOf(k);
    ac_wrapper_event_s e = StartEvent(name, digest);
    ac_wrapper_response_s r;
    app_ctl(nullptr, &e, &r);
    if (r.action != BRIX_ACTION_ALLOW) {
      state.SkipWithError("known program not allowed");
      break;
    }
  }
}

void BM_KnownStart_Engine(benchmark::State& state) {
  EnsureInventory();
  bench::StartEngine("inventory.db");
  KnownStart(state);
  engine_stop();
}
BENCHMARK(BM_KnownStart_Engine)->Unit(benchmark::kMicrosecond);

// The same lookup as one prepared statement on the same file: the least a
// lookup by hash can cost.
void BM_KnownStart_Baseline(benchmark::State& state) {
  EnsureInventory();
  sqlite3* db = nullptr;
  sqlite3_open_v2("inventory.db", &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, LookupItemAuthSQL, -1, &s, nullptr);
  const int hash = sqlite3_bind_parameter_index(s, ":hash");
  const int size = sqlite3_bind_parameter_index(s, ":size");
  uint64_t i = 0;
  std::string name, digest;
  for (auto _ : state) {
    const uint64_t k = (i++ * 7919) % kInventory;
    name = "/opt/app/bin/tool" + std::to_string(k);
    digest = bench::DigestOf(k);
    sqlite3_bind_blob(s, hash, digest.data(), 32, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, size, 1000);
    if (sqlite3_step(s) != SQLITE_ROW) {
      state.SkipWithError("row not found");
      break;
    }
    benchmark::DoNotOptimize(sqlite3_column_int(s, 9));
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
}
BENCHMARK(BM_KnownStart_Baseline)->Unit(benchmark::kMicrosecond);

// --- Trust-rule growth -------------------------------------------------------

// Block rules for other programs: every start is checked against them and
// none applies.
void SetTrustRules(int count) {
  sqlite3* db = nullptr;
  sqlite3_open("inventory.db", &db);
  sqlite3_exec(db, "DELETE FROM TrustRules; BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < count; ++i) {
    const std::string sql =
        "INSERT INTO TrustRules(processName, paths, trustType, ruleset) "
        "VALUES('/opt/vendor" +
        std::to_string(i) + "/bin/updater', '/opt/vendor" + std::to_string(i) +
        "/', 4, 'bench')";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

void BM_KnownStart_TrustRules(benchmark::State& state) {
  EnsureInventory();
  SetTrustRules(static_cast<int>(state.range(0)));
  bench::StartEngine("inventory.db");
  KnownStart(state);
  engine_stop();
  SetTrustRules(0);
}
BENCHMARK(BM_KnownStart_TrustRules)
    ->Arg(0)
    ->Arg(100)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

// --- Ruleset import --------------------------------------------------------

std::string RulesetText(uint64_t count) {
  std::string doc = "{\"rules\": [";
  doc.reserve(count * 140);
  for (uint64_t i = 0; i < count; ++i) {
    if (i) doc += ',';
    doc += "{\"fileName\":\"tool" + std::to_string(i) + "\",\"sha256\":\"" +
           bench::HexOf(bench::DigestOf(i)) +
           "\",\"size\":1000,\"action\":\"allow\"}";
  }
  doc += "]}";
  return doc;
}

void BM_Import_Engine(benchmark::State& state) {
  EnsureDir();
  const std::string text = RulesetText(kInventory);
  for (auto _ : state) {
    state.PauseTiming();
    unlink("import.db");
    bench::StartEngine("import.db");
    state.ResumeTiming();
    if (set_ruleset_buffer(false, text.c_str(), "bench-ruleset") !=
        BRIX_STATUS_SUCCESS)
      state.SkipWithError("import failed");
    state.PauseTiming();
    engine_stop();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kInventory);
  state.counters["peak_rss_MiB"] = bench::PeakRssKib() / 1024.0;
}
BENCHMARK(BM_Import_Engine)->Iterations(1)->Unit(benchmark::kSecond);

// The same rows inserted with the engine's own statement, 1001 rows to a
// transaction, into a file with the same schema.
void BM_Import_Baseline(benchmark::State& state) {
  EnsureDir();
  for (auto _ : state) {
    state.PauseTiming();
    unlink("raw.db");
    bench::StartEngine("raw.db");
    engine_stop();
    sqlite3* db = nullptr;
    sqlite3_open("raw.db", &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, InsertItemSQL, -1, &s, nullptr);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (uint64_t i = 0; i < kInventory; ++i) {
      const std::string digest = bench::DigestOf(i);
      const std::string name = "tool" + std::to_string(i);
      sqlite3_bind_blob(s, sqlite3_bind_parameter_index(s, ":sha256"),
                        digest.data(), 32, SQLITE_TRANSIENT);
      sqlite3_bind_int(s, sqlite3_bind_parameter_index(s, ":source"), 2);
      sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":fileName"),
                        name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":path"), "", -1,
                        SQLITE_STATIC);
      sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":nativePath"), "",
                        -1, SQLITE_STATIC);
      sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":size"), 1000);
      sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":recordTime"), 1);
      sqlite3_bind_int(s, sqlite3_bind_parameter_index(s, ":isAuthorized"), 1);
      sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":ruleset"),
                        "bench-ruleset", -1, SQLITE_STATIC);
      sqlite3_step(s);
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
      if (i % 1001 == 1000)
        sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    state.PauseTiming();
    sqlite3_finalize(s);
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kInventory);
}
BENCHMARK(BM_Import_Baseline)->Iterations(1)->Unit(benchmark::kSecond);

// --- Inventory export --------------------------------------------------------

void BM_Export_Engine(benchmark::State& state) {
  EnsureInventory();
  bench::StartEngine("inventory.db");
  for (auto _ : state) {
    if (get_inventory(0, kInventory, DAL_SOURCE_SCANNED_ITEMS, "export.json",
                      "bench-scan") != BRIX_STATUS_SUCCESS)
      state.SkipWithError("export failed");
  }
  engine_stop();
  state.SetItemsProcessed(state.iterations() * kInventory);
}
BENCHMARK(BM_Export_Engine)->Iterations(1)->Unit(benchmark::kSecond);

void AppendJsonText(std::string& out, const char* text) {
  out += '"';
  for (const char* p = text; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  out += '"';
}

// The same lines from one select, formatted by hand and written in large
// blocks: the least an export can cost.
void BM_Export_Baseline(benchmark::State& state) {
  EnsureInventory();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2("inventory.db", &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT * FROM Items WHERE inventoryItemId > 0 and "
                       "source = 3 ORDER BY inventoryItemId LIMIT 1000000;",
                       -1, &s, nullptr);
    FILE* out = fopen("raw-export.json", "w");
    std::string line;
    auto hex = [](const void* blob, int n) {
      std::string d(static_cast<const char*>(blob), n);
      return bench::HexOf(d);
    };
    while (sqlite3_step(s) == SQLITE_ROW) {
      line = "{\"inventoryItemId\":" + std::to_string(sqlite3_column_int64(s, 0));
      line += ",\"fileName\":";
      AppendJsonText(line, reinterpret_cast<const char*>(sqlite3_column_text(s, 1)));
      line += ",\"path\":";
      AppendJsonText(line, reinterpret_cast<const char*>(sqlite3_column_text(s, 2)));
      line += ",\"nativePath\":";
      AppendJsonText(line, reinterpret_cast<const char*>(sqlite3_column_text(s, 3)));
      for (int c = 4; c <= 6; ++c) {
        static const char* const kNames[] = {"md5", "sha1", "sha256"};
        line += ",\"";
        line += kNames[c - 4];
        line += "\":\"";
        if (sqlite3_column_type(s, c) == SQLITE_BLOB)
          line += hex(sqlite3_column_blob(s, c), sqlite3_column_bytes(s, c));
        line += '"';
      }
      line += ",\"size\":" + std::to_string(sqlite3_column_int(s, 7));
      line += ",\"recordTime\":" + std::to_string(sqlite3_column_int64(s, 8));
      line += ",\"isAuthorized\":" + std::to_string(sqlite3_column_int(s, 9));
      line += ",\"source\":" + std::to_string(sqlite3_column_int(s, 10));
      line += ",\"rulesetId\":";
      const unsigned char* rs = sqlite3_column_text(s, 11);
      AppendJsonText(line, rs ? reinterpret_cast<const char*>(rs) : "");
      line += ",\"scanUuid\":\"bench-scan\"}\r\n";
      fwrite(line.data(), 1, line.size(), out);
    }
    fclose(out);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * kInventory);
}
BENCHMARK(BM_Export_Baseline)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
