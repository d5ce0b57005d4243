// JournalReader.h: reading brixd's decision journals back.
//
// A journal is read as brixd left it: the current file beside its rotated
// predecessors (PATH.1 the newest, PATH.N the oldest), the last line
// perhaps cut short by a crash or still being written, and now and then a
// line that is not a record at all (a disk that filled up, a hand edit).
// None of that stops a reading: a cut-off last line is counted as
// truncated, any other bad line is counted with its place, and the rest is
// read.  Only a journal that cannot be opened is an error.  Plain
// functions; safe from any thread.
#ifndef BRIX_TOOLS_HOST_JOURNALREADER_H_
#define BRIX_TOOLS_HOST_JOURNALREADER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "JournalFormat.h"

namespace brix_host {

struct JournalFilter {
  uint64_t sinceMillis = 0;           // records before it are left out
  uint64_t untilMillis = UINT64_MAX;  // records after it are left out
};

struct JournalReading {
  std::vector<std::string> files;  // read, oldest first
  uint64_t lines = 0;
  uint64_t records = 0;      // passed to the caller
  uint64_t outsideTime = 0;  // records the filter left out
  uint64_t badLines = 0;
  uint64_t truncated = 0;    // a file's last line, cut off
  std::vector<std::string> problems;  // the first bad lines: "FILE:LINE: why"
};

// The files that make up the journals named: for each PATH its rotated
// files PATH.N ... PATH.1 (those that exist) and then PATH itself, oldest
// first.  A file named twice, or reached through two names, is read once.
std::vector<std::string> JournalFiles(const std::vector<std::string>& paths);

// Reads the journals named and calls `take` for every record inside the
// filter.  False with `error` set when a journal cannot be opened or read;
// bad lines are counted in `reading`, never fatal.
bool ReadJournals(const std::vector<std::string>& paths, const JournalFilter& filter,
                  const std::function<void(const JournalRecord&)>& take,
                  JournalReading* reading, std::string* error);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_JOURNALREADER_H_
