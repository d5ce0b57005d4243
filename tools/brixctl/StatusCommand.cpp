// StatusCommand.cpp: `brixctl status`, brixd's state in one look.
//
// Nothing is started and nothing is written: the state comes from what
// brixd writes anyway (its stats file, with the options it runs with and
// the engine's database figures) and from /proc and the file system, so
// the command works for any user as far as those files let them read.
// Every member of the stats file is optional: a brixd older or newer than
// this brixctl leaves out or adds some, and each missing one is shown as
// unknown, never taken for zero.
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Commands.h"
#include "Output.h"

namespace brixctl {

namespace {

constexpr char kDefaultStatsFile[] = "/run/brix/stats.json";
// Where `systemctl enable brixd` leaves its mark (the unit's WantedBy).
constexpr char kEnabledLink[] = "/etc/systemd/system/multi-user.target.wants/brixd.service";
// brixd should run, and does not.
constexpr int kExitNotRunning = 3;

// The failure policy's reasons: the stats counter and its name.
const struct {
  const char* counter;
  const char* name;
} kPolicyReasons[] = {
    {"deadlineAnswers", "deadline"},   {"engineErrors", "engine error"},
    {"pathErrors", "no path"},         {"targetErrors", "unreadable"},
    {"tooLarge", "too large"},         {"unstableFiles", "changed while hashed"},
    {"slotsFull", "overload"},         {"stopAnswers", "stopping"},
    {"badEvents", "bad event"},
};

// The database figures of the engine's metrics, in the order shown.
const struct {
  const char* member;
  const char* name;
} kRuleCounts[] = {
    {"totalInventoryItems", "inventory items"}, {"agentRules", "agent rules"},
    {"executionRules", "execution rules"},      {"scannedItems", "scanned items"},
    {"approvedDrift", "approved drift"},        {"totalTrustRules", "trust rules"},
};

std::string ProcText(int pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
  std::string text;
  std::getline(in, text);
  return text;
}

// The pid of the running brixd: the one the stats file names, when it
// names one (the file may belong to one brixd of several), else the first
// found in /proc (its command name is readable by everyone); 0 for none.
int FindDaemon(int named) {
  if (named > 0) return ProcText(named, "comm") == "brixd" ? named : 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  int found = 0;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    if (ProcText(static_cast<int>(pid), "comm") == "brixd") {
      found = static_cast<int>(pid);
      break;
    }
  }
  closedir(proc);
  return found;
}

std::string LocalTime(double millis) {
  const time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

double EpochMillisNow() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

const cJSON* Member(const cJSON* object, const char* name) {
  return object == nullptr ? nullptr : cJSON_GetObjectItemCaseSensitive(object, name);
}

// A percentile of a latency histogram of the stats file: the bound below
// which `share` of the decisions fall, in microseconds; -1 unknown, +inf
// for the open last bucket.
double Percentile(const cJSON* histogram, double share) {
  const cJSON* buckets = Member(histogram, "buckets");
  const double count = NumberMember(histogram, "count", -1);
  if (!cJSON_IsArray(buckets) || count <= 0) return -1;
  const double wanted = std::ceil(share * count);
  double seen = 0;
  const cJSON* bucket = nullptr;
  cJSON_ArrayForEach(bucket, buckets) {
    seen += NumberMember(bucket, "count", 0);
    if (seen >= wanted) {
      const cJSON* bound = Member(bucket, "belowMicros");
      return cJSON_IsNumber(bound) ? bound->valuedouble : INFINITY;
    }
  }
  return -1;
}

std::string MicrosText(double micros) {
  if (micros < 0) return "unknown";
  if (std::isinf(micros)) return "1 s or more";
  char text[32];
  if (micros >= 1000)
    snprintf(text, sizeof(text), "below %g ms", micros / 1000);
  else
    snprintf(text, sizeof(text), "below %g us", micros);
  return text;
}

void AddFileFacts(cJSON* object, const std::string& path) {
  cJSON_AddStringToObject(object, "path", path.c_str());
  struct stat st {};
  if (stat(path.c_str(), &st) == 0)
    cJSON_AddNumberToObject(object, "size", static_cast<double>(st.st_size));
  else
    cJSON_AddStringToObject(object, "error", strerror(errno));
}

// Builds the status document; the exit status goes to `exitStatus`.
Json Gather(const std::string& statsPath, int* exitStatus) {
  Json status(cJSON_CreateObject());
  cJSON* out = status.get();
  cJSON_AddStringToObject(out, "statsFile", statsPath.c_str());
  Json stats;
  {
    std::ifstream in(statsPath);
    if (!in) {
      cJSON_AddStringToObject(out, "statsError", strerror(errno));
    } else {
      std::stringstream text;
      text << in.rdbuf();
      stats.reset(cJSON_Parse(text.str().c_str()));
      if (stats == nullptr) cJSON_AddStringToObject(out, "statsError", "not a JSON document");
    }
  }
  const cJSON* state = Member(stats.get(), "state");
  const cJSON* own = Member(stats.get(), "brixd");
  const cJSON* engine = Member(Member(stats.get(), "engine"), "metrics");

  const int pid = FindDaemon(static_cast<int>(NumberMember(state, "pid", 0)));
  const bool running = pid != 0;
  // Should run: the unit is enabled, or brixd's last word was not a clean
  // stop (it was killed or crashed).
  struct stat link {};
  const bool enabled = lstat(kEnabledLink, &link) == 0;
  const cJSON* lastRunning = Member(state, "running");
  const bool crashed = cJSON_IsTrue(lastRunning) && !running;
  const bool shouldRun = enabled || crashed;
  cJSON_AddBoolToObject(out, "running", running);
  cJSON_AddBoolToObject(out, "shouldRun", shouldRun);
  cJSON_AddBoolToObject(out, "unitEnabled", enabled);
  if (running) cJSON_AddNumberToObject(out, "pid", pid);
  if (crashed) cJSON_AddBoolToObject(out, "endedWithoutStop", true);
  *exitStatus = shouldRun && !running ? kExitNotRunning : kExitOk;
  if (state == nullptr) return status;

  // The stats file describes the brixd that runs, or the last one.
  const bool current = running && NumberMember(state, "pid", 0) == pid;
  cJSON_AddBoolToObject(out, "statsCurrent", current);
  for (const char* member : {"startedMillis", "writtenMillis", "lastReloadMillis"})
    if (const cJSON* value = Member(state, member); cJSON_IsNumber(value))
      cJSON_AddNumberToObject(out, member, value->valuedouble);
  cJSON* mode = cJSON_AddObjectToObject(out, "mode");
  for (const char* member : {"lockdown", "maintenance", "windowStart", "windowEnd", "failPolicy",
                             "deadlineMillis"})
    if (const cJSON* value = Member(state, member))
      cJSON_AddItemToObject(mode, member, cJSON_Duplicate(value, true));
  // What lockdown does now, in brixd's words (it only logs until an agent
  // manifest is imported).
  if (const cJSON* enforcement = Member(own, "enforcement"); cJSON_IsString(enforcement))
    cJSON_AddStringToObject(mode, "enforcement", enforcement->valuestring);
  if (const cJSON* watch = Member(state, "watch"))
    cJSON_AddItemToObject(out, "watch", cJSON_Duplicate(watch, true));
  // Loaded by a brixd that enforces in the kernel too; absent: not reported.
  for (const cJSON* from : {state, own})
    if (const cJSON* kernel = Member(from, "kernelEnforcement")) {
      cJSON_AddItemToObject(out, "kernelEnforcement", cJSON_Duplicate(kernel, true));
      break;
    }

  cJSON* database = cJSON_AddObjectToObject(out, "database");
  if (const cJSON* db = Member(state, "db"); cJSON_IsString(db)) AddFileFacts(database, db->valuestring);
  const cJSON* info = Member(engine, "dbinfo");
  for (const auto& count : kRuleCounts)
    if (const cJSON* value = Member(info, count.member); cJSON_IsNumber(value))
      cJSON_AddNumberToObject(database, count.member, value->valuedouble);
  const cJSON* journal = Member(state, "journal");
  if (cJSON_IsString(journal) && journal->valuestring[0] != '\0')
    AddFileFacts(cJSON_AddObjectToObject(out, "journal"), journal->valuestring);

  if (own != nullptr) {
    cJSON* counters = cJSON_AddObjectToObject(out, "counters");
    for (const char* member : {"allowed", "blocked", "policyAllowed", "policyDenied",
                               "argumentReads", "engineReloads", "reloadFailures"})
      if (const cJSON* value = Member(own, member); cJSON_IsNumber(value))
        cJSON_AddNumberToObject(counters, member, value->valuedouble);
    cJSON* reasons = cJSON_AddObjectToObject(counters, "policyReasons");
    for (const auto& reason : kPolicyReasons)
      if (const cJSON* value = Member(own, reason.counter); cJSON_IsNumber(value))
        cJSON_AddNumberToObject(reasons, reason.counter, value->valuedouble);
    const cJSON* latency = Member(own, "latency");
    if (latency != nullptr) {
      cJSON* summary = cJSON_AddObjectToObject(counters, "latency");
      cJSON_AddNumberToObject(summary, "count", NumberMember(latency, "count", 0));
      for (const auto& [name, share] : {std::pair{"p50Micros", 0.5}, std::pair{"p99Micros", 0.99}}) {
        const double bound = Percentile(latency, share);
        if (bound < 0) continue;
        // The open last bucket has no bound: null.
        cJSON_AddItemToObject(summary, name, std::isinf(bound) ? cJSON_CreateNull()
                                                               : cJSON_CreateNumber(bound));
      }
    }
  }
  return status;
}

std::string Count(const cJSON* object, const char* member) {
  const cJSON* value = Member(object, member);
  if (!cJSON_IsNumber(value)) return "?";
  char text[32];
  snprintf(text, sizeof(text), "%.0f", value->valuedouble);
  return text;
}

void PrintText(const cJSON* status) {
  const bool running = cJSON_IsTrue(Member(status, "running"));
  printf("brixd:       ");
  if (running) {
    printf("running (pid %s", Count(status, "pid").c_str());
    if (const cJSON* started = Member(status, "startedMillis");
        cJSON_IsNumber(started) && cJSON_IsTrue(Member(status, "statsCurrent")))
      printf(", since %s", LocalTime(started->valuedouble).c_str());
    printf(")\n");
  } else {
    printf("not running%s%s\n",
           cJSON_IsTrue(Member(status, "endedWithoutStop")) ? ", ended without a stop" : "",
           cJSON_IsTrue(Member(status, "shouldRun")) ? " (it should run)" : "");
  }
  if (const cJSON* error = Member(status, "statsError")) {
    printf("stats file:  %s: %s\n", Member(status, "statsFile")->valuestring,
           cJSON_IsString(error) ? error->valuestring : "?");
    return;
  }
  if (const cJSON* written = Member(status, "writtenMillis"); cJSON_IsNumber(written))
    printf("stats file:  %s, written %s%s\n", Member(status, "statsFile")->valuestring,
           LocalTime(written->valuedouble).c_str(),
           running && !cJSON_IsTrue(Member(status, "statsCurrent")) ? " by an earlier brixd" : "");
  const cJSON* mode = Member(status, "mode");
  if (mode != nullptr) {
    const cJSON* enforcement = Member(mode, "enforcement");
    std::string text = cJSON_IsString(enforcement)            ? enforcement->valuestring
                       : cJSON_IsTrue(Member(mode, "lockdown")) ? "lockdown"
                                                                : "log-only";
    if (cJSON_IsTrue(Member(mode, "maintenance"))) {
      const double end = NumberMember(mode, "windowEnd", 0);
      text += end > EpochMillisNow() ? ", maintenance window until " + LocalTime(end)
                                     : ", maintenance window (ended " + LocalTime(end) + ")";
    }
    if (const cJSON* policy = Member(mode, "failPolicy"); cJSON_IsString(policy))
      text += std::string(", fail-") + policy->valuestring;
    printf("mode:        %s\n", text.c_str());
  }
  if (const cJSON* watch = Member(status, "watch"); cJSON_IsArray(watch)) {
    std::string text;
    const cJSON* folder = nullptr;
    cJSON_ArrayForEach(folder, watch) {
      if (cJSON_IsString(folder)) text += (text.empty() ? "" : ", ") + std::string(folder->valuestring);
    }
    printf("watching:    %s\n", text.empty() ? "nothing" : text.c_str());
  }
  const cJSON* kernel = Member(status, "kernelEnforcement");
  printf("kernel-side: %s\n", kernel == nullptr     ? "not reported"
                              : cJSON_IsTrue(kernel) ? "loaded"
                              : cJSON_IsString(kernel) ? kernel->valuestring
                                                       : "not loaded");
  if (const cJSON* database = Member(status, "database")) {
    std::string text = Member(database, "path") ? Member(database, "path")->valuestring : "?";
    if (const cJSON* size = Member(database, "size"); cJSON_IsNumber(size))
      text += ", " + HumanBytes(static_cast<uint64_t>(size->valuedouble));
    std::string counts;
    for (const auto& count : kRuleCounts)
      if (Member(database, count.member))
        counts += (counts.empty() ? "" : ", ") + Count(database, count.member) + " " + count.name;
    printf("database:    %s%s%s\n", text.c_str(), counts.empty() ? "" : "; ", counts.c_str());
  }
  if (const cJSON* journal = Member(status, "journal")) {
    const cJSON* size = Member(journal, "size");
    printf("journal:     %s%s\n", Member(journal, "path")->valuestring,
           cJSON_IsNumber(size) ? (", " + HumanBytes(static_cast<uint64_t>(size->valuedouble))).c_str()
                                : "");
  } else if (mode != nullptr) {
    printf("journal:     none\n");
  }
  if (const cJSON* reload = Member(status, "lastReloadMillis"); cJSON_IsNumber(reload))
    printf("rules:       %s\n", reload->valuedouble == 0
                                    ? "as at start"
                                    : ("reloaded " + LocalTime(reload->valuedouble)).c_str());
  if (const cJSON* counters = Member(status, "counters")) {
    printf("since start: %s allowed, %s blocked; failure policy %s allowed, %s denied",
           Count(counters, "allowed").c_str(), Count(counters, "blocked").c_str(),
           Count(counters, "policyAllowed").c_str(), Count(counters, "policyDenied").c_str());
    std::string reasons;
    const cJSON* byReason = Member(counters, "policyReasons");
    for (const auto& reason : kPolicyReasons)
      if (NumberMember(byReason, reason.counter, 0) > 0)
        reasons += (reasons.empty() ? "" : ", ") + std::string(reason.name) + " " +
                   Count(byReason, reason.counter);
    printf("%s%s%s\n", reasons.empty() ? "" : " (", reasons.c_str(), reasons.empty() ? "" : ")");
    if (const cJSON* latency = Member(counters, "latency")) {
      auto bound = [&](const char* name) {
        const cJSON* value = Member(latency, name);
        return value == nullptr ? std::string("unknown")
                                : MicrosText(cJSON_IsNumber(value) ? value->valuedouble : INFINITY);
      };
      printf("latency:     p50 %s, p99 %s (%s decisions)\n", bound("p50Micros").c_str(),
             bound("p99Micros").c_str(), Count(latency, "count").c_str());
    }
  }
}

}  // namespace

int RunStatus(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("status", args, {{"--stats-file", true}}, &parsed, &error))
    return Fail(error);
  if (!parsed.positional.empty()) return Fail("status takes no arguments (brixctl status --help)");
  int exitStatus = kExitOk;
  const Json status = Gather(parsed.Get("--stats-file", kDefaultStatsFile), &exitStatus);
  if (global.json)
    PrintJsonLine(status.get());
  else
    PrintText(status.get());
  return exitStatus;
}

}  // namespace brixctl
