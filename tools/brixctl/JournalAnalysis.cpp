#include "JournalAnalysis.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "Commands.h"
#include "Output.h"

namespace brixctl {

namespace {

using brix_host::JournalKind;
using brix_host::JournalRecord;

// Verdicts of starts, loads and script runs that lockdown turns into a
// refusal: unknown software let through, blocks, and blocks let through
// while the engine waits for its manifest.
bool WouldBeStopped(const JournalRecord& record) {
  return record.verdict == "logged only" || record.verdict == "blocked" ||
         record.verdict == "allowed waiting for manifest";
}

void Note(SeenFile* file, const JournalRecord& record) {
  if (file->events == 0) {
    file->kind = record.kind;
    file->path = record.path;
    file->sha256 = record.sha256;
    file->size = record.size;
    file->firstMillis = file->lastMillis = record.timeMillis;
  }
  ++file->events;
  file->denied += record.denied;
  // A block by an execution rule (decision 2) or a trust rule (source 6
  // with "not approved") is a choice someone made, not unknown software.
  if (record.decision == 2 || record.isAuthorized == 2) file->blockedByRule = true;
  file->firstMillis = std::min(file->firstMillis, record.timeMillis);
  file->lastMillis = std::max(file->lastMillis, record.timeMillis);
  ++file->processes[record.process.empty() ? "(unknown)" : record.process];
  if (!record.parent.empty()) file->parents.insert(record.parent);
  if (!record.user.empty()) file->users.insert(record.user);
  file->verdict = record.verdict;
  if (!record.reason.empty()) file->reason = record.reason;
}

using FileKey = std::tuple<JournalKind, std::string, std::string>;

std::vector<SeenFile> Values(std::map<FileKey, SeenFile>& files) {
  std::vector<SeenFile> out;
  out.reserve(files.size());
  for (auto& entry : files) out.push_back(std::move(entry.second));
  std::stable_sort(out.begin(), out.end(), [](const SeenFile& a, const SeenFile& b) {
    return std::tie(a.path, a.firstMillis) < std::tie(b.path, b.firstMillis);
  });
  return out;
}

// "30s", "5m", "2h", "7d": that long before now, the question an
// administrator asks when a user's program was just refused.
bool ParseAgo(const std::string& text, uint64_t* millis) {
  if (text.size() < 2) return false;
  uint64_t unit = 0;
  switch (text.back()) {
    case 's': unit = 1000; break;
    case 'm': unit = 60 * 1000; break;
    case 'h': unit = 3600 * 1000; break;
    case 'd': unit = 86400 * 1000; break;
    default: return false;
  }
  uint64_t count = 0;
  uint64_t now = 0;
  if (!ParseUnsigned(text.substr(0, text.size() - 1), 100000000, &count) ||
      !ParseTime("now", &now))
    return false;
  *millis = now > count * unit ? now - count * unit : 0;
  return true;
}

bool ParseTimeOption(const CommandArgs& parsed, const char* name, uint64_t* millis) {
  if (!parsed.Has(name)) return true;
  const std::string text = parsed.Get(name, "");
  if (ParseTime(text, millis) || ParseAgo(text, millis)) return true;
  Fail(std::string("report: ") + name + " takes a time such as 2026-01-31T08:00, "
       "milliseconds since the epoch, \"now\" or a time ago such as 5m, 2h or 7d, not '" +
       text + "'");
  return false;
}

}  // namespace

const char* KindHeading(JournalKind kind) {
  switch (kind) {
    case JournalKind::kLibrary: return "libraries";
    case JournalKind::kScript: return "scripts";
    case JournalKind::kDrift: return "drift";
    default: return "program starts";
  }
}

bool AnalyseJournals(const std::vector<std::string>& paths,
                     const brix_host::JournalFilter& filter, JournalAnalysis* out,
                     std::string* error) {
  JournalAnalysis result;
  std::map<FileKey, SeenFile> unknown, undecided, trusted;
  const auto take = [&](const JournalRecord& record) {
    if (result.firstMillis == 0 || record.timeMillis < result.firstMillis)
      result.firstMillis = record.timeMillis;
    result.lastMillis = std::max(result.lastMillis, record.timeMillis);
    if (record.kind == JournalKind::kSummary) {
      result.inventoryStarts += record.inventoryStarts;
      result.inventoryLibraries += record.inventoryLibraries;
      result.inventoryScripts += record.inventoryScripts;
      result.dropped += record.dropped;
      return;
    }
    if (record.kind == JournalKind::kDrift) {
      DriftWrite write;
      write.path = record.path;
      write.sha256 = record.sha256;
      write.timeMillis = record.timeMillis;
      write.writer = record.process;
      write.user = record.user;
      write.verdict = record.verdict;
      result.drift.push_back(std::move(write));
      return;
    }
    const FileKey key{record.kind, record.path, record.sha256};
    if (!record.reason.empty() || record.verdict == "error") Note(&undecided[key], record);
    else if (WouldBeStopped(record)) Note(&unknown[key], record);
    else Note(&trusted[key], record);
  };
  if (!brix_host::ReadJournals(paths, filter, take, &result.reading, error)) return false;

  result.unknown = Values(unknown);
  result.undecided = Values(undecided);
  result.trusted = Values(trusted);

  std::map<std::string, FolderCount> folders;
  for (const SeenFile& file : result.unknown) {
    FolderCount& folder = folders[FolderPart(file.path)];
    folder.folder = FolderPart(file.path);
    folder.files.insert(file.path);
    ++folder.kinds[file.kind];
  }
  for (auto& entry : folders) result.folders.push_back(std::move(entry.second));
  std::stable_sort(result.folders.begin(), result.folders.end(),
                   [](const FolderCount& a, const FolderCount& b) {
                     return a.files.size() > b.files.size();
                   });

  // A written file that ran unknown: its writer made software that
  // lockdown would stop.  Matched by path and content, not by time: brixd
  // hears of a write after the fact, often after the new file started.
  std::set<std::pair<std::string, std::string>> ran;
  for (const SeenFile& file : result.unknown) ran.insert({file.path, file.sha256});
  for (DriftWrite& write : result.drift)
    write.ranUnknown = ran.count({write.path, write.sha256}) != 0;
  std::stable_sort(result.drift.begin(), result.drift.end(),
                   [](const DriftWrite& a, const DriftWrite& b) {
                     return std::tie(a.path, a.timeMillis) < std::tie(b.path, b.timeMillis);
                   });
  // brixd hears of one write more than once (the file closed, then its
  // attributes changed): the same content by the same writer is one line.
  std::vector<DriftWrite> merged;
  for (DriftWrite& write : result.drift) {
    if (!merged.empty()) {
      DriftWrite& last = merged.back();
      if (std::tie(last.path, last.sha256, last.writer, last.user, last.verdict) ==
          std::tie(write.path, write.sha256, write.writer, write.user, write.verdict)) {
        last.timeMillis = write.timeMillis;
        last.writes += write.writes;
        continue;
      }
    }
    merged.push_back(std::move(write));
  }
  result.drift = std::move(merged);
  *out = std::move(result);
  return true;
}

bool ReadJournalArgs(const char* command, const CommandArgs& parsed,
                     JournalAnalysis* analysis) {
  if (parsed.positional.empty()) {
    Fail(std::string(command) + " needs at least one JOURNAL (brixctl " + command + " --help)");
    return false;
  }
  brix_host::JournalFilter filter;
  if (!ParseTimeOption(parsed, "--since", &filter.sinceMillis) ||
      !ParseTimeOption(parsed, "--until", &filter.untilMillis))
    return false;
  // brixd refuses to append to a journal that is not its own; one found
  // so was written by someone else too, and its lines may be forged.
  for (const std::string& path : parsed.positional) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;  // reported by the reading
    std::string who;
    if (st.st_uid != 0 && st.st_uid != geteuid())
      who = "is owned by uid " + std::to_string(st.st_uid);
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
      who = (st.st_mode & S_IWOTH) ? "is writable by everyone" : "is writable by its group";
    if (!who.empty())
      Warn(path + " " + who + ": its lines may have been written by another user, not brixd; "
                  "check them before you act on them");
  }
  std::string error;
  if (!AnalyseJournals(parsed.positional, filter, analysis, &error)) {
    Fail(std::string(command) + ": " + error);
    return false;
  }
  for (const std::string& problem : analysis->reading.problems)
    Warn("skipped bad line " + problem);
  if (analysis->reading.badLines > analysis->reading.problems.size())
    Warn("... and " +
         std::to_string(analysis->reading.badLines - analysis->reading.problems.size()) +
         " more bad lines");
  if (analysis->reading.truncated > 0)
    Warn(std::to_string(analysis->reading.truncated) +
         " cut-off last lines skipped (a journal still being written, or a crash)");
  if (analysis->dropped > 0)
    Warn("brixd dropped " + std::to_string(analysis->dropped) +
         " journal records: what follows may be incomplete");
  return true;
}

}  // namespace brixctl
