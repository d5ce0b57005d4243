// report: what lockdown would have stopped, from brixd's journals.
//
// Grouped so that a person can act on it: each unknown file with how
// often, when and by whom it ran; the folders that hold many of them; and
// the files written on watched file systems with their writers.  No
// engine is started: a report only reads the journals.
#include <cstdio>

#include "Commands.h"
#include "JournalAnalysis.h"
#include "Output.h"

namespace brixctl {

namespace {

using brix_host::FormatJournalTime;
using brix_host::JournalKind;

constexpr JournalKind kDecidedKinds[] = {JournalKind::kStart, JournalKind::kLibrary,
                                         JournalKind::kScript};

std::string ShortHash(const std::string& sha256) {
  return sha256.empty() ? "(not hashed)" : sha256.substr(0, 16) + "...";
}

// "1 file", "3 files".
std::string Counted(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string JoinedProcesses(const SeenFile& file) {
  std::string text;
  for (const auto& [process, count] : file.processes)
    text += (text.empty() ? "" : ", ") + process + " (" + std::to_string(count) + ")";
  return text;
}

std::string Joined(const std::set<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

cJSON* FileJson(const SeenFile& file) {
  cJSON* json = cJSON_CreateObject();
  cJSON_AddStringToObject(json, "kind", brix_host::JournalKindName(file.kind));
  cJSON_AddStringToObject(json, "path", file.path.c_str());
  cJSON_AddStringToObject(json, "sha256", file.sha256.c_str());
  cJSON_AddNumberToObject(json, "size", static_cast<double>(file.size));
  cJSON_AddNumberToObject(json, "events", static_cast<double>(file.events));
  cJSON_AddNumberToObject(json, "denied", static_cast<double>(file.denied));
  cJSON_AddBoolToObject(json, "blockedByRule", file.blockedByRule);
  cJSON_AddStringToObject(json, "first", FormatJournalTime(file.firstMillis).c_str());
  cJSON_AddStringToObject(json, "last", FormatJournalTime(file.lastMillis).c_str());
  cJSON_AddStringToObject(json, "verdict", file.verdict.c_str());
  if (!file.reason.empty()) cJSON_AddStringToObject(json, "reason", file.reason.c_str());
  cJSON* processes = cJSON_AddArrayToObject(json, "processes");
  for (const auto& [process, count] : file.processes) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "process", process.c_str());
    cJSON_AddNumberToObject(item, "events", static_cast<double>(count));
    cJSON_AddItemToArray(processes, item);
  }
  cJSON* parents = cJSON_AddArrayToObject(json, "parents");
  for (const std::string& parent : file.parents)
    cJSON_AddItemToArray(parents, cJSON_CreateString(parent.c_str()));
  cJSON* users = cJSON_AddArrayToObject(json, "users");
  for (const std::string& user : file.users)
    cJSON_AddItemToArray(users, cJSON_CreateString(user.c_str()));
  return json;
}

cJSON* FilesJson(const std::vector<SeenFile>& files) {
  cJSON* array = cJSON_CreateArray();
  for (const SeenFile& file : files) cJSON_AddItemToArray(array, FileJson(file));
  return array;
}

void PrintJson(const JournalAnalysis& analysis) {
  Json json(cJSON_CreateObject());
  cJSON* root = json.get();
  cJSON* journal = cJSON_AddObjectToObject(root, "journal");
  cJSON* files = cJSON_AddArrayToObject(journal, "files");
  for (const std::string& file : analysis.reading.files)
    cJSON_AddItemToArray(files, cJSON_CreateString(file.c_str()));
  cJSON_AddNumberToObject(journal, "records", static_cast<double>(analysis.reading.records));
  cJSON_AddNumberToObject(journal, "outsideTime", static_cast<double>(analysis.reading.outsideTime));
  cJSON_AddNumberToObject(journal, "badLines", static_cast<double>(analysis.reading.badLines));
  cJSON_AddNumberToObject(journal, "truncated", static_cast<double>(analysis.reading.truncated));
  cJSON_AddNumberToObject(journal, "dropped", static_cast<double>(analysis.dropped));
  if (analysis.firstMillis != 0) {
    cJSON_AddStringToObject(journal, "first", FormatJournalTime(analysis.firstMillis).c_str());
    cJSON_AddStringToObject(journal, "last", FormatJournalTime(analysis.lastMillis).c_str());
  }
  cJSON* inventory = cJSON_AddObjectToObject(root, "inventoryAllowed");
  cJSON_AddNumberToObject(inventory, "start", static_cast<double>(analysis.inventoryStarts));
  cJSON_AddNumberToObject(inventory, "library", static_cast<double>(analysis.inventoryLibraries));
  cJSON_AddNumberToObject(inventory, "script", static_cast<double>(analysis.inventoryScripts));
  cJSON_AddItemToObject(root, "unknown", FilesJson(analysis.unknown));
  cJSON* folders = cJSON_AddArrayToObject(root, "folders");
  for (const FolderCount& folder : analysis.folders) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "folder", folder.folder.c_str());
    cJSON_AddNumberToObject(item, "files", static_cast<double>(folder.files.size()));
    for (const auto& [kind, count] : folder.kinds)
      cJSON_AddNumberToObject(item, brix_host::JournalKindName(kind), static_cast<double>(count));
    cJSON_AddItemToArray(folders, item);
  }
  cJSON* drift = cJSON_AddArrayToObject(root, "drift");
  for (const DriftWrite& write : analysis.drift) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "path", write.path.c_str());
    cJSON_AddStringToObject(item, "sha256", write.sha256.c_str());
    cJSON_AddStringToObject(item, "time", FormatJournalTime(write.timeMillis).c_str());
    cJSON_AddStringToObject(item, "writer", write.writer.c_str());
    cJSON_AddStringToObject(item, "user", write.user.c_str());
    cJSON_AddStringToObject(item, "verdict", write.verdict.c_str());
    cJSON_AddBoolToObject(item, "ranUnknown", write.ranUnknown);
    cJSON_AddNumberToObject(item, "writes", static_cast<double>(write.writes));
    cJSON_AddItemToArray(drift, item);
  }
  cJSON_AddItemToObject(root, "undecided", FilesJson(analysis.undecided));
  cJSON_AddItemToObject(root, "trusted", FilesJson(analysis.trusted));
  PrintJsonLine(root);
}

void PrintFile(const SeenFile& file) {
  printf("  %s\n", file.path.c_str());
  printf("    sha256 %s, %s; %llu %s, first %s, last %s%s\n", ShortHash(file.sha256).c_str(),
         HumanBytes(file.size).c_str(), static_cast<unsigned long long>(file.events),
         file.events == 1 ? "time" : "times", FormatJournalTime(file.firstMillis).c_str(),
         FormatJournalTime(file.lastMillis).c_str(),
         file.blockedByRule ? "; blocked by a rule"
         : file.denied > 0  ? "; already refused"
                            : "");
  printf("    by %s", JoinedProcesses(file).c_str());
  if (!file.users.empty()) printf("; users %s", Joined(file.users).c_str());
  if (!file.parents.empty()) printf("; parents %s", Joined(file.parents).c_str());
  if (!file.reason.empty()) printf("; %s", file.reason.c_str());
  putchar('\n');
}

void PrintText(const JournalAnalysis& analysis) {
  const brix_host::JournalReading& reading = analysis.reading;
  printf("Journal: %zu %s, %llu records", reading.files.size(),
         reading.files.size() == 1 ? "file" : "files",
         static_cast<unsigned long long>(reading.records));
  if (analysis.firstMillis != 0)
    printf(" from %s to %s", FormatJournalTime(analysis.firstMillis).c_str(),
           FormatJournalTime(analysis.lastMillis).c_str());
  putchar('\n');
  // The answer first: what lockdown would have done, in one line.
  uint64_t unknownEvents = 0;
  for (const SeenFile& file : analysis.unknown) unknownEvents += file.events;
  printf("Summary: lockdown would have stopped %s (%s); %s answered by the fail policy; "
         "%s written on watched file systems\n",
         Counted(analysis.unknown.size(), "file").c_str(),
         Counted(unknownEvents, "event").c_str(),
         Counted(analysis.undecided.size(), "file").c_str(),
         Counted(analysis.drift.size(), "file").c_str());
  printf("Allowed by the inventory (counted only): %llu starts, %llu libraries, %llu scripts\n",
         static_cast<unsigned long long>(analysis.inventoryStarts),
         static_cast<unsigned long long>(analysis.inventoryLibraries),
         static_cast<unsigned long long>(analysis.inventoryScripts));

  std::map<JournalKind, std::pair<uint64_t, uint64_t>> byKind;  // files, events
  for (const SeenFile& file : analysis.unknown) {
    ++byKind[file.kind].first;
    byKind[file.kind].second += file.events;
  }
  printf("\nLockdown would have stopped %zu %s", analysis.unknown.size(),
         analysis.unknown.size() == 1 ? "file" : "files");
  std::string kinds;
  for (JournalKind kind : kDecidedKinds)
    if (byKind.count(kind))
      kinds += (kinds.empty() ? "" : "; ") + std::string(KindHeading(kind)) + " " +
               Counted(byKind[kind].first, "file") + ", " + Counted(byKind[kind].second, "event");
  printf("%s%s%s\n", kinds.empty() ? "" : ": ", kinds.c_str(), analysis.unknown.empty() ? "." : ":");
  for (JournalKind kind : kDecidedKinds) {
    if (!byKind.count(kind)) continue;
    printf("\n%c%s:\n", KindHeading(kind)[0] - 'a' + 'A', KindHeading(kind) + 1);
    for (const SeenFile& file : analysis.unknown)
      if (file.kind == kind) PrintFile(file);
  }

  bool folderHeading = false;
  for (const FolderCount& folder : analysis.folders) {
    if (folder.files.size() < 2) break;
    if (!folderHeading) printf("\nFolders with several unknown files:\n");
    folderHeading = true;
    std::string kindsText;
    for (const auto& [kind, count] : folder.kinds)
      kindsText += (kindsText.empty() ? "" : ", ") + std::string(KindHeading(kind)) + " " +
                   std::to_string(count);
    printf("  %s/  %zu files (%s)\n", folder.folder == "/" ? "" : folder.folder.c_str(),
           folder.files.size(), kindsText.c_str());
  }

  if (!analysis.drift.empty()) {
    printf("\nWritten on watched file systems (drift), by writer:\n");
    for (const DriftWrite& write : analysis.drift)
      printf("  %s  %s by %s%s%s, %s%s%s\n", write.path.c_str(), ShortHash(write.sha256).c_str(),
             write.writer.empty() ? "(writer unknown)" : write.writer.c_str(),
             write.user.empty() ? "" : " as ", write.user.c_str(), write.verdict.c_str(),
             write.ranUnknown ? "; ran later as unknown" : "",
             write.writes > 1 ? ("; " + std::to_string(write.writes) + " records").c_str() : "");
  }
  if (!analysis.undecided.empty()) {
    printf("\nAnswered by the fail policy (undecided):\n");
    for (const SeenFile& file : analysis.undecided) PrintFile(file);
  }
  if (!analysis.trusted.empty()) {
    uint64_t events = 0;
    for (const SeenFile& file : analysis.trusted) events += file.events;
    printf("\nAllowed by trust rules, the maintenance window or exclusion: %zu files, "
           "%llu events\n",
           analysis.trusted.size(), static_cast<unsigned long long>(events));
  }
  if (analysis.dropped > 0 || reading.badLines > 0 || reading.truncated > 0) {
    printf("\nIncomplete: %llu records dropped by brixd, %llu bad lines, %llu cut-off lines\n",
           static_cast<unsigned long long>(analysis.dropped),
           static_cast<unsigned long long>(reading.badLines),
           static_cast<unsigned long long>(reading.truncated));
  }
}

}  // namespace

int RunReport(const GlobalOptions& global, const std::vector<std::string>& args) {
  CommandArgs parsed;
  std::string error;
  if (!ParseCommandArgs("report", args, {{"--since", true}, {"--until", true}}, &parsed,
                        &error))
    return Fail(error);
  JournalAnalysis analysis;
  if (!ReadJournalArgs("report", parsed, &analysis)) return kExitError;
  if (global.json) PrintJson(analysis);
  else PrintText(analysis);
  return kExitOk;
}

}  // namespace brixctl
