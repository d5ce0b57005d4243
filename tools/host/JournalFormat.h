// JournalFormat.h: one line of brixd's decision journal, written and read.
//
// The journal is a text file of JSON objects, one a line (docs/journal.md).
// A decision line says what was decided about one file (a program start, a
// library, a script, or drift: a file written on a watched file system);
// a summary line counts what was only allowed by the inventory and what
// the journal had to drop.  The writer (brixd) and the readers (brixctl
// report and suggest) share this one definition, so a line written is a
// line read.  Plain values and functions; safe from any thread.
#ifndef BRIX_TOOLS_HOST_JOURNALFORMAT_H_
#define BRIX_TOOLS_HOST_JOURNALFORMAT_H_

#include <cstdint>
#include <string>

namespace brix_host {

enum class JournalKind { kStart, kLibrary, kScript, kDrift, kSummary };

// "start", "library", "script", "drift", "summary".
const char* JournalKindName(JournalKind kind);
bool ParseJournalKind(const std::string& text, JournalKind* kind);

struct JournalRecord {
  uint64_t timeMillis = 0;  // wall clock, milliseconds since the epoch
  JournalKind kind = JournalKind::kStart;

  // Decision lines
  std::string verdict;   // a VerdictName ("logged only", "blocked" ...)
  bool denied = false;   // what the kernel was told: the operation failed
  std::string reason;    // why brixd answered by its fail policy; else empty
  std::string path;      // the target
  std::string oldPath;   // drift by rename: where the file came from
  std::string sha256;    // lower-case hex; empty when not hashed
  uint64_t size = 0;
  uint64_t pid = 0;
  std::string process;   // the acting (for drift: writing) executable
  std::string parent;    // its parent's executable, where known
  std::string user;
  std::string group;
  uint32_t source = 0;        // the engine's response
  uint32_t isAuthorized = 0;
  uint32_t decision = 0;
  std::string ruleset;

  // Summary lines: counts over [sinceMillis, timeMillis]
  uint64_t sinceMillis = 0;
  uint64_t inventoryStarts = 0;     // allowed by the inventory, not listed
  uint64_t inventoryLibraries = 0;
  uint64_t inventoryScripts = 0;
  uint64_t dropped = 0;             // decision lines the journal lost
};

// "2026-12-06T05:55:36.123Z".
std::string FormatJournalTime(uint64_t millis);

// The record as one JSON object, without the line feed.  Empty texts are
// left out.
std::string JournalLine(const JournalRecord& record);

// Parses one line (without its line feed).  False with `error` naming the
// problem for a line that is not a journal record.
bool ParseJournalLine(const std::string& line, JournalRecord* out, std::string* error);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_JOURNALFORMAT_H_
