#include "Stats.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace brixd {

namespace {

struct JsonFree {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

struct CounterField {
  const char* name;
  std::atomic<uint64_t> Stats::*member;
};

const CounterField kCounters[] = {
    {"permissionEvents", &Stats::permissionEvents},
    {"execEvents", &Stats::execEvents},
    {"openEvents", &Stats::openEvents},
    {"plainOpens", &Stats::plainOpens},
    {"libraryEvents", &Stats::libraryEvents},
    {"scriptEvents", &Stats::scriptEvents},
    {"notScripts", &Stats::notScripts},
    {"interpreterProbes", &Stats::interpreterProbes},
    {"writableRefused", &Stats::writableRefused},
    {"ignoreMarks", &Stats::ignoreMarks},
    {"ruleChanges", &Stats::ruleChanges},
    {"argumentReads", &Stats::argumentReads},
    {"engineReloads", &Stats::engineReloads},
    {"reloadFailures", &Stats::reloadFailures},
    {"allowed", &Stats::allowed},
    {"blocked", &Stats::blocked},
    {"manifestWaits", &Stats::manifestWaits},
    {"policyAllowed", &Stats::policyAllowed},
    {"policyDenied", &Stats::policyDenied},
    {"engineErrors", &Stats::engineErrors},
    {"targetErrors", &Stats::targetErrors},
    {"pathErrors", &Stats::pathErrors},
    {"tooLarge", &Stats::tooLarge},
    {"unstableFiles", &Stats::unstableFiles},
    {"deadlineAnswers", &Stats::deadlineAnswers},
    {"deadlineAllowed", &Stats::deadlineAllowed},
    {"deadlineDenied", &Stats::deadlineDenied},
    {"slotsFull", &Stats::slotsFull},
    {"stopAnswers", &Stats::stopAnswers},
    {"badEvents", &Stats::badEvents},
    {"lateDecisions", &Stats::lateDecisions},
    {"readErrors", &Stats::readErrors},
    {"answerErrors", &Stats::answerErrors},
    {"hashRepeats", &Stats::hashRepeats},
    {"ownEvents", &Stats::ownEvents},
    {"verdictCacheHits", &Stats::verdictCacheHits},
    {"logOnlyMemoryHits", &Stats::logOnlyMemoryHits},
    {"knownProcessOpens", &Stats::knownProcessOpens},
    {"markProbes", &Stats::markProbes},
    {"cacheDrops", &Stats::cacheDrops},
    {"cacheHits", &Stats::cacheHits},
    {"cacheMisses", &Stats::cacheMisses},
    {"driftEvents", &Stats::driftEvents},
    {"driftWrites", &Stats::driftWrites},
    {"driftRenames", &Stats::driftRenames},
    {"driftDeletes", &Stats::driftDeletes},
    {"driftAttributes", &Stats::driftAttributes},
    {"driftSkipped", &Stats::driftSkipped},
    {"driftOverflows", &Stats::driftOverflows},
    {"driftRescans", &Stats::driftRescans},
    {"driftWritersRemembered", &Stats::driftWritersRemembered},
};

}  // namespace

void LatencyHistogram::Record(uint64_t nanos) {
  const uint64_t micros = nanos / 1000;
  size_t bucket = 0;
  while (bucket < kBoundsMicros.size() && micros >= kBoundsMicros[bucket]) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
  totalNanos_.fetch_add(nanos, std::memory_order_relaxed);
  uint64_t seen = maxNanos_.load(std::memory_order_relaxed);
  while (nanos > seen &&
         !maxNanos_.compare_exchange_weak(seen, nanos, std::memory_order_relaxed)) {
  }
}

std::string LatencyHistogram::ToJson() const {
  Json root(cJSON_CreateObject());
  cJSON* buckets = cJSON_AddArrayToObject(root.get(), "buckets");
  for (size_t i = 0; i < buckets_.size(); ++i) {
    cJSON* bucket = cJSON_CreateObject();
    // "belowMicros": the bucket holds decisions faster than this; the
    // last bucket has no bound.
    if (i < kBoundsMicros.size())
      cJSON_AddNumberToObject(bucket, "belowMicros", static_cast<double>(kBoundsMicros[i]));
    else
      cJSON_AddNullToObject(bucket, "belowMicros");
    cJSON_AddNumberToObject(bucket, "count",
                            static_cast<double>(buckets_[i].load(std::memory_order_relaxed)));
    cJSON_AddItemToArray(buckets, bucket);
  }
  const uint64_t count = count_.load(std::memory_order_relaxed);
  cJSON_AddNumberToObject(root.get(), "count", static_cast<double>(count));
  cJSON_AddNumberToObject(
      root.get(), "meanMicros",
      count == 0 ? 0.0
                 : static_cast<double>(totalNanos_.load(std::memory_order_relaxed)) /
                       static_cast<double>(count) / 1000.0);
  cJSON_AddNumberToObject(
      root.get(), "maxMicros",
      static_cast<double>(maxNanos_.load(std::memory_order_relaxed)) / 1000.0);
  char* text = cJSON_PrintUnformatted(root.get());
  std::string result = text != nullptr ? text : "{}";
  cJSON_free(text);
  return result;
}

bool WriteStatsFile(const std::string& path, const Stats& stats,
                    uint64_t logLinesDropped, const std::string& engineMetrics,
                    std::string* error, const DaemonState* state) {
  Json root(cJSON_CreateObject());
  cJSON* own = cJSON_AddObjectToObject(root.get(), "brixd");
  cJSON_AddStringToObject(own, "enforcement", stats.enforcement.c_str());
  for (const CounterField& field : kCounters)
    cJSON_AddNumberToObject(
        own, field.name,
        static_cast<double>((stats.*field.member).load(std::memory_order_relaxed)));
  cJSON_AddNumberToObject(own, "logLinesDropped", static_cast<double>(logLinesDropped));
  cJSON_AddItemToObject(own, "latency", cJSON_Parse(stats.latency.ToJson().c_str()));
  cJSON_AddItemToObject(own, "cachedLatency",
                        cJSON_Parse(stats.cachedLatency.ToJson().c_str()));
  if (state != nullptr) {
    cJSON* s = cJSON_AddObjectToObject(root.get(), "state");
    cJSON_AddNumberToObject(s, "pid", state->pid);
    cJSON_AddNumberToObject(s, "startedMillis", static_cast<double>(state->startedMillis));
    cJSON_AddNumberToObject(s, "writtenMillis", static_cast<double>(state->writtenMillis));
    cJSON_AddBoolToObject(s, "running", state->running);
    cJSON_AddBoolToObject(s, "lockdown", state->lockdown);
    cJSON_AddBoolToObject(s, "maintenance", state->maintenance);
    if (state->maintenance) {
      cJSON_AddNumberToObject(s, "windowStart", static_cast<double>(state->windowStart));
      cJSON_AddNumberToObject(s, "windowEnd", static_cast<double>(state->windowEnd));
    }
    cJSON_AddStringToObject(s, "failPolicy", state->failOpen ? "open" : "closed");
    cJSON_AddNumberToObject(s, "deadlineMillis", static_cast<double>(state->deadlineMillis));
    cJSON* watch = cJSON_AddArrayToObject(s, "watch");
    for (const std::string& folder : state->watch)
      cJSON_AddItemToArray(watch, cJSON_CreateString(folder.c_str()));
    cJSON_AddStringToObject(s, "db", state->db.c_str());
    cJSON_AddStringToObject(s, "journal", state->journal.c_str());
    cJSON_AddStringToObject(s, "logFile", state->logFile.c_str());
    cJSON_AddNumberToObject(s, "lastReloadMillis", static_cast<double>(state->lastReloadMillis));
    if (!state->kernelEnforcement.empty())
      cJSON_AddStringToObject(s, "kernelEnforcement", state->kernelEnforcement.c_str());
  }
  cJSON* engine = engineMetrics.empty() ? nullptr : cJSON_Parse(engineMetrics.c_str());
  cJSON_AddItemToObject(root.get(), "engine", engine != nullptr ? engine : cJSON_CreateNull());
  char* text = cJSON_Print(root.get());
  if (text == nullptr) {
    *error = "out of memory";
    return false;
  }
  std::unique_ptr<char, void (*)(void*)> owned(text, cJSON_free);
  // A fresh temporary name, created exclusively (never a file or link
  // someone planted), then renamed over the path: a link at the path is
  // replaced, not followed.
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot write " + temporary + ": " + strerror(errno);
    return false;
  }
  if (fchmod(fd, 0640) != 0) {
    *error = "cannot set the mode of " + temporary + ": " + strerror(errno);
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  const size_t length = strlen(text);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, text + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot write " + temporary + ": " + strerror(errno);
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (write(fd, "\n", 1) != 1 || close(fd) != 0) {
    *error = "cannot write " + temporary + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace brixd
