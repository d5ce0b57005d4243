#include "bench_util.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "brix_sql.h"

namespace bench {

std::string EnterScratchDir() {
  char dir[] = "/var/tmp/brix_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
    perror("brix bench: scratch folder");
    abort();
  }
  return dir;
}

int NullLog(unsigned, unsigned, const char*, const char*, const char*,
            unsigned) {
  return 0;
}

void StartEngine(const std::string& db, uint32_t mask) {
  ac_engine_start_s s{};
  s.dbPath = db.c_str();
  s.logMask = mask;
  s.logCallback = &NullLog;
  if (engine_start(&s) != BRIX_STATUS_SUCCESS) {
    fprintf(stderr, "brix bench: engine_start failed\n");
    abort();
  }
}

std::string DigestOf(uint64_t i) {
  std::string d(32, '\0');
  // Spread the index over the digest so rows do not share prefixes.
  uint64_t x = i * 0x9E3779B97F4A7C15ULL + 1;
  for (int k = 0; k < 32; ++k) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    d[k] = static_cast<char>(x >> 56);
  }
  memcpy(&d[0], &i, sizeof(i));
  return d;
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

void FillInventory(const std::string& path, uint64_t first, uint64_t count) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) abort();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, InsertItemSQL, -1, &s, nullptr);
  for (uint64_t k = 0; k < count; ++k) {
    const std::string d = DigestOf(first + k);
    const std::string name = "tool" + std::to_string(first + k);
    sqlite3_bind_blob(s, sqlite3_bind_parameter_index(s, ":sha256"), d.data(),
                      32, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, sqlite3_bind_parameter_index(s, ":source"), 3);
    sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":fileName"),
                      name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":path"),
                      "/opt/app/bin/", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":nativePath"),
                      ("/opt/app/bin/" + name).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":size"), 1000);
    sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":recordTime"), 1);
    sqlite3_bind_int(s, sqlite3_bind_parameter_index(s, ":isAuthorized"), 1);
    sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, ":ruleset"), "", -1,
                      SQLITE_STATIC);
    sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (k % 100000 == 99999) {
      sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(s);
  sqlite3_close(db);
}

long PeakRssKib() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace bench
