// JournalAnalysis.h: what a decision journal says lockdown would stop.
//
// `report` shows it and `suggest` turns it into rules; both read the
// journals once into this summary.  A file is one path with one content
// (a program replaced in place appears twice, once per digest).  Plain
// values; not shared between threads.
#ifndef BRIX_TOOLS_BRIXCTL_JOURNALANALYSIS_H_
#define BRIX_TOOLS_BRIXCTL_JOURNALANALYSIS_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "JournalFormat.h"
#include "JournalReader.h"

namespace brixctl {

// One file that was started, loaded or run, seen one or more times.
struct SeenFile {
  brix_host::JournalKind kind = brix_host::JournalKind::kStart;
  std::string path;
  std::string sha256;
  uint64_t size = 0;
  uint64_t events = 0;
  uint64_t denied = 0;        // times the operation was refused
  bool blockedByRule = false;  // an execution or trust rule blocks it
  uint64_t firstMillis = 0;
  uint64_t lastMillis = 0;
  std::map<std::string, uint64_t> processes;  // acting executable -> events
  std::set<std::string> parents;
  std::set<std::string> users;
  std::string verdict;   // the last one
  std::string reason;    // the last fail-policy reason
};

// One file written on a watched file system that could run.
struct DriftWrite {
  std::string path;
  std::string sha256;
  uint64_t timeMillis = 0;
  std::string writer;  // executable; empty when the writer was gone
  std::string user;
  std::string verdict;
  bool ranUnknown = false;  // this content at this path ran as unknown
  uint64_t writes = 1;      // records of this same write (path, content, writer)
};

struct FolderCount {
  std::string folder;
  std::set<std::string> files;  // paths of unknown files in it
  std::map<brix_host::JournalKind, uint64_t> kinds;
};

struct JournalAnalysis {
  brix_host::JournalReading reading;
  uint64_t firstMillis = 0;  // of the records read
  uint64_t lastMillis = 0;
  uint64_t inventoryStarts = 0;
  uint64_t inventoryLibraries = 0;
  uint64_t inventoryScripts = 0;
  uint64_t dropped = 0;

  std::vector<SeenFile> unknown;    // what lockdown would stop, by path
  std::vector<SeenFile> undecided;  // answered by the fail policy
  std::vector<SeenFile> trusted;    // allowed by trust rules, window, exclusion
  std::vector<FolderCount> folders;  // of `unknown`, most files first
  std::vector<DriftWrite> drift;     // by path, then time
};

// Reads the journals; false with `error` set when one cannot be read.
bool AnalyseJournals(const std::vector<std::string>& paths,
                     const brix_host::JournalFilter& filter, JournalAnalysis* out,
                     std::string* error);

// Reads the journals named by a command's positional arguments, within
// its --since and --until, and warns about what could not be read.  False
// after printing the error.
bool ReadJournalArgs(const char* command, const CommandArgs& parsed,
                     JournalAnalysis* analysis);

// "start", "library", "script" for people: "program starts" ...
const char* KindHeading(brix_host::JournalKind kind);

}  // namespace brixctl

#endif  // BRIX_TOOLS_BRIXCTL_JOURNALANALYSIS_H_
