// Stats.h: what brixd counts, and the stats file it writes.
//
// Counters are bumped by the threads that answer the kernel, so each is a
// relaxed atomic: a reader may see one counter a moment ahead of another,
// never a torn value.  The latency histogram counts decisions by the time
// from reading the event to answering it, in fixed buckets, so it costs
// one increment per event and no allocation.
#ifndef BRIX_TOOLS_BRIXD_STATS_H_
#define BRIX_TOOLS_BRIXD_STATS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace brixd {

class LatencyHistogram {
 public:
  // Upper bounds of the buckets in microseconds; the last bucket takes
  // everything slower.
  static constexpr std::array<uint64_t, 13> kBoundsMicros = {
      5, 10, 20, 30, 50, 100, 200, 500, 1000, 5000, 20000, 100000, 1000000};

  void Record(uint64_t nanos);
  // JSON object text: bucket bounds, counts, count, mean and maximum.
  std::string ToJson() const;

 private:
  std::array<std::atomic<uint64_t>, kBoundsMicros.size() + 1> buckets_{};
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> totalNanos_{0};
  std::atomic<uint64_t> maxNanos_{0};
};

struct Stats {
  // Every event the kernel held an opener or a starter for: what the
  // ignore marks exist to make rare.
  std::atomic<uint64_t> permissionEvents{0};
  // Program starts
  std::atomic<uint64_t> execEvents{0};
  // Opens: all of them, those answered as ordinary, those decided as a
  // library or an interpreter's, and the engine probes for interpreters.
  std::atomic<uint64_t> openEvents{0};
  std::atomic<uint64_t> plainOpens{0};
  std::atomic<uint64_t> libraryEvents{0};
  std::atomic<uint64_t> scriptEvents{0};
  std::atomic<uint64_t> notScripts{0};
  std::atomic<uint64_t> interpreterProbes{0};
  std::atomic<uint64_t> writableRefused{0};  // known code a user could rewrite after the answer
  std::atomic<uint64_t> ignoreMarks{0};   // files the kernel stops asking about
  std::atomic<uint64_t> ruleChanges{0};   // rule database changes seen
  std::atomic<uint64_t> argumentReads{0}; // an interpreter's command-line data files
  std::atomic<uint64_t> engineReloads{0};  // the engine restarted on changed rules
  std::atomic<uint64_t> reloadFailures{0};
  std::atomic<uint64_t> allowed{0};
  std::atomic<uint64_t> blocked{0};
  // Answered by the failure policy, for one of the reasons below.
  std::atomic<uint64_t> manifestWaits{0};  // blocks let through: no manifest
  std::atomic<uint64_t> policyAllowed{0};
  std::atomic<uint64_t> policyDenied{0};
  std::atomic<uint64_t> engineErrors{0};    // engine failed or no verdict
  std::atomic<uint64_t> targetErrors{0};    // target unreadable
  std::atomic<uint64_t> pathErrors{0};      // target path unreadable
  std::atomic<uint64_t> tooLarge{0};        // above --max-hash-size
  std::atomic<uint64_t> unstableFiles{0};   // rewritten while hashed
  std::atomic<uint64_t> deadlineAnswers{0};  // no verdict in time
  std::atomic<uint64_t> deadlineAllowed{0};
  std::atomic<uint64_t> deadlineDenied{0};
  std::atomic<uint64_t> slotsFull{0};        // too many events waiting
  std::atomic<uint64_t> stopAnswers{0};      // pending when brixd stopped
  std::atomic<uint64_t> badEvents{0};        // unexpected version or kind
  std::atomic<uint64_t> lateDecisions{0};    // decided after the answer
  std::atomic<uint64_t> readErrors{0};       // poll or read of the group
  std::atomic<uint64_t> answerErrors{0};     // the answer was refused
  std::atomic<uint64_t> hashRepeats{0};      // hashed again: file changed
  std::atomic<uint64_t> ownEvents{0};        // caused by brixd: not judged
  std::atomic<uint64_t> verdictCacheHits{0};  // answered by the allow cache
  std::atomic<uint64_t> logOnlyMemoryHits{0};  // a log-only verdict taken again
  std::atomic<uint64_t> knownProcessOpens{0};  // opens answered without /proc
  std::atomic<uint64_t> markProbes{0};  // plain files asked about for a mark
  std::atomic<uint64_t> cacheDrops{0};  // everything remembered dropped
  std::atomic<uint64_t> cacheHits{0};
  std::atomic<uint64_t> cacheMisses{0};
  // Drift
  std::atomic<uint64_t> driftEvents{0};
  std::atomic<uint64_t> driftWrites{0};
  std::atomic<uint64_t> driftRenames{0};
  std::atomic<uint64_t> driftDeletes{0};
  std::atomic<uint64_t> driftAttributes{0};
  std::atomic<uint64_t> driftSkipped{0};     // path gone before it was read
  std::atomic<uint64_t> driftOverflows{0};   // the kernel dropped events
  std::atomic<uint64_t> driftRescans{0};     // folders rescanned after one
  std::atomic<uint64_t> driftWritersRemembered{0};  // gone, named from the table

  // What brixd does with the engine's blocks: "lockdown", "log only", or
  // "log only: ..." with the reason lockdown does not enforce.  Set once
  // before the monitors start.
  std::string enforcement;

  LatencyHistogram latency;
  // Only the events answered from what brixd already knew, without a
  // worker: ordinary opens and remembered verdicts.
  LatencyHistogram cachedLatency;
};

// What `brixctl status` shows of a running brixd besides its counters:
// how it was started, and whether it still runs.
struct DaemonState {
  int pid = 0;
  uint64_t startedMillis = 0;  // since the epoch
  uint64_t writtenMillis = 0;
  bool running = true;         // false in the last stats of a clean stop
  bool lockdown = false;
  bool maintenance = false;
  uint64_t windowStart = 0;    // the maintenance window, ms since the epoch
  uint64_t windowEnd = 0;
  bool failOpen = false;
  uint64_t deadlineMillis = 0;
  std::vector<std::string> watch;
  std::string db;
  std::string journal;  // empty: none
  std::string logFile;
  uint64_t lastReloadMillis = 0;  // 0: never since start
  // Whether decisions are enforced in the kernel as well ("loaded", "not
  // loaded"); empty: this brixd has no such part, and nothing is written.
  std::string kernelEnforcement;
};

// Writes {"brixd": {...counters, "latency": {...}}, "state": {...},
// "engine": METRICS} to `path` through a temporary file and a rename, so a
// reader never sees half a document; the file gets mode 0640.
// `engineMetrics` is the engine's own JSON document, or empty when it
// could not be read; `state` may be null.  False with `error` set on
// failure.
bool WriteStatsFile(const std::string& path, const Stats& stats,
                    uint64_t logLinesDropped, const std::string& engineMetrics,
                    std::string* error, const DaemonState* state = nullptr);

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_STATS_H_
