// replay: a trace of host events, one JSON object a line.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "Commands.h"
#include "HostEvent.h"
#include "HostStatus.h"
#include "Output.h"
#include "TraceReader.h"

namespace brixctl {

namespace {

using brix_host::TraceEvent;
using brix_host::Verdict;

// Problems beyond this many are counted, not listed.
constexpr size_t kListedProblems = 10;

struct TraceEntry {
  size_t line = 0;
  TraceEvent event;
};

std::string FolderOf(const std::string& path) {
  std::string resolved;
  std::string error;
  if (!brix_host::ResolvePath(path, &resolved, &error)) resolved = path;
  const size_t slash = resolved.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : resolved.substr(0, slash);
}

// Reads and checks the whole trace, so that a mistake on line 90 does not
// leave 89 events applied.
bool LoadTrace(const std::string& path, std::vector<TraceEntry>* entries) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    Fail("replay: cannot read " + path + ": " + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail("replay: " + path + " is not a regular file");
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    Fail("replay: cannot read " + path + ": " + strerror(errno));
    return false;
  }
  const std::string baseDir = FolderOf(path);
  std::string text;
  size_t lineNumber = 0;
  size_t problems = 0;
  while (std::getline(in, text)) {
    ++lineNumber;
    TraceEntry entry;
    entry.line = lineNumber;
    std::string error;
    switch (brix_host::ParseTraceLine(text, baseDir, &entry.event, &error)) {
      case brix_host::TraceLine::kSkip:
        break;
      case brix_host::TraceLine::kEvent:
        entries->push_back(std::move(entry));
        break;
      case brix_host::TraceLine::kError:
        if (++problems <= kListedProblems)
          fprintf(stderr, "%s:%zu: %s\n", path.c_str(), lineNumber, error.c_str());
        break;
    }
  }
  if (in.bad()) {
    Fail("replay: cannot read " + path + ": " + strerror(errno));
    return false;
  }
  if (problems > 0) {
    Fail("replay: " + path + " has " + std::to_string(problems) +
         (problems == 1 ? " invalid line" : " invalid lines") +
         "; no event was sent");
    return false;
  }
  return true;
}

std::string Target(const ac_wrapper_event_s& event) {
  return event.name != nullptr ? event.name : "(no name)";
}

}  // namespace

int RunReplay(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("replay", args, {{"--metrics", false}}, &parsed, &error))
    return Fail(error);
  if (parsed.positional.size() != 1)
    return Fail("replay needs exactly one TRACE file (brixctl replay --help)");
  const std::string& tracePath = parsed.positional[0];

  std::vector<TraceEntry> entries;
  if (!LoadTrace(tracePath, &entries)) return kExitError;

  brix_host::EngineSession session;
  if (!StartEngine(global, DbAccess::kCreate, &session)) return kExitError;

  std::map<Verdict, size_t> counts;
  size_t checked = 0;
  size_t unmet = 0;
  for (const TraceEntry& entry : entries) {
    const ac_wrapper_event_s record = entry.event.event.Record();
    ac_wrapper_response_s response{};
    const uint32_t status = app_ctl(nullptr, &record, &response);
    const Verdict verdict = brix_host::ClassifyResponse(status, response);
    ++counts[verdict];
    const bool hasExpectation = entry.event.expect.has_value();
    const bool met = !hasExpectation || *entry.event.expect == verdict;
    checked += hasExpectation;
    unmet += !met;

    if (global.json) {
      Json json(ResponseToJson(status, response));
      cJSON_AddNumberToObject(json.get(), "line", static_cast<double>(entry.line));
      cJSON_AddNumberToObject(json.get(), "hostType", record.type);
      cJSON_AddStringToObject(json.get(), "name", Target(record).c_str());
      if (hasExpectation) {
        cJSON_AddStringToObject(json.get(), "expect",
                                brix_host::VerdictName(*entry.event.expect));
        cJSON_AddBoolToObject(json.get(), "asExpected", met);
      }
      PrintJsonLine(json.get());
    } else {
      printf("line %-4zu %-18s %s (%s)%s%s\n", entry.line,
             brix_host::VerdictName(verdict), Target(record).c_str(),
             ResponseSummary(response).c_str(), met ? "" : " -- expected ",
             met ? "" : brix_host::VerdictName(*entry.event.expect));
    }
  }

  if (global.json) {
    Json summary(cJSON_CreateObject());
    cJSON_AddNumberToObject(summary.get(), "events", static_cast<double>(entries.size()));
    cJSON* verdicts = cJSON_AddObjectToObject(summary.get(), "verdicts");
    for (const auto& [verdict, count] : counts)
      cJSON_AddNumberToObject(verdicts, brix_host::VerdictName(verdict),
                              static_cast<double>(count));
    cJSON_AddNumberToObject(summary.get(), "expectations", static_cast<double>(checked));
    cJSON_AddNumberToObject(summary.get(), "notAsExpected", static_cast<double>(unmet));
    PrintJsonLine(summary.get());
  } else {
    std::string tally;
    for (const auto& [verdict, count] : counts)
      tally += (tally.empty() ? "" : ", ") + std::to_string(count) + " " +
               brix_host::VerdictName(verdict);
    printf("replayed %zu events: %s\n", entries.size(),
           tally.empty() ? "none" : tally.c_str());
    if (checked > 0)
      printf("%zu of %zu expectations met\n", checked - unmet, checked);
  }
  const bool metricsShown = !parsed.Has("--metrics") || PrintMetricsDocument(global);
  session.Stop();
  if (!metricsShown) return kExitError;
  if (unmet > 0) {
    fprintf(stderr, "brixctl: replay: %zu of %zu events did not get the verdict "
            "the trace expects\n", unmet, checked);
    return kExitBlocked;
  }
  return kExitOk;
}

}  // namespace brixctl
