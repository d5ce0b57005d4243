// bench_util.h: shared set-up for the benchmarks: a private folder, an
// engine started on a database in it, and synthetic digests.
#ifndef BRIX_BENCH_BENCH_UTIL_H_
#define BRIX_BENCH_BENCH_UTIL_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "brix.h"

namespace bench {

// A new folder under /var/tmp (kept apart from the system's /tmp so large
// databases do not land in a RAM-backed folder); the process moves into it.
std::string EnterScratchDir();

// Starts the engine on `db` with the given log mask and a callback that
// does nothing; aborts on failure.
void StartEngine(const std::string& db, uint32_t mask = 0);

// The 32-byte digest of item i, and its hexadecimal text.
std::string DigestOf(uint64_t i);
std::string HexOf(const std::string& bytes);

// Writes `count` scanned items (sha256 = DigestOf(first + k), size 1000,
// name /opt/app/bin/tool<k>) into the database at `path` with plain SQL in
// large transactions; the engine must not hold the file open.
void FillInventory(const std::string& path, uint64_t first, uint64_t count);

// Peak resident set size of this process in KiB.
long PeakRssKib();

// A no-op host log callback.
int NullLog(unsigned, unsigned, const char*, const char*, const char*,
            unsigned);

}  // namespace bench

#endif  // BRIX_BENCH_BENCH_UTIL_H_
