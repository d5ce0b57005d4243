// Journal.h: brixd's decision journal, written off the decision path.
//
// Every decision that a person may need to act on before switching to
// lockdown (a block, a start that lockdown would block, an allow by a
// trust rule or the maintenance window, an error answered by the fail
// policy, a new executable written) becomes one JSON line (the format is
// in JournalFormat.h and docs/journal.md).  Allows by the inventory are
// only counted: they are most of a machine's starts and say nothing new;
// a summary line carries their counts.
//
// The threads that answer the kernel call Add and go on: the record joins
// a bounded queue, and one writer thread puts it into the file.  A full
// queue or a failing disk drops records, never delays an answer; what was
// dropped is counted, reported through the error sink and written into
// the next summary line.  The file is appended to across restarts and
// rotated by size: PATH becomes PATH.1, PATH.1 becomes PATH.2, and so on,
// keeping `keep` old files.  It is opened without following symbolic
// links, must be a regular file with a single link, and is created with
// mode 0640.  All public members are safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_JOURNAL_H_
#define BRIX_TOOLS_BRIXD_JOURNAL_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "JournalFormat.h"
#include "brix.h"

namespace brixd {

struct JournalSettings {
  std::string path;                       // empty: no journal
  uint64_t maxSize = 32ull << 20;         // bytes a file may reach
  unsigned keep = 3;                      // rotated files kept
  uint64_t summaryIntervalMillis = 60000;  // counts are written this often
  size_t maxQueued = 16384;               // records waiting for the writer
};

// What the journal does with one answered event.
enum class JournalEntry {
  kSkip,             // nothing to say (not a judged event, known content)
  kCountInventory,   // allowed by the inventory or a hash rule: counted
  kRecord,           // one line
};

// Decides from the engine's answer for an event of `kind`.  `policyAnswer`
// is set when brixd answered by its fail policy rather than the engine.
// `executableName` says whether a drift target looks like a program or a
// library (execute bit, script extension or a ".so" name).
JournalEntry JournalEntryFor(brix_host::JournalKind kind, uint32_t status,
                             const ac_wrapper_response_s& response, bool policyAnswer,
                             bool executableName);

// Fills the verdict, answer and engine fields of `record` from an answer.
void SetJournalVerdict(uint32_t status, const ac_wrapper_response_s& response,
                       bool denied, brix_host::JournalRecord* record);

// The executable of `pid`'s parent, from /proc; empty when either is gone.
std::string ParentExecutable(pid_t pid);

// Wall-clock milliseconds since the epoch.
uint64_t WallMillis();

class Journal {
 public:
  using ErrorSink = std::function<void(const std::string&)>;

  Journal(JournalSettings settings, ErrorSink onError);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (or creates) the file and starts the writer.  False with
  // `error` set when the file cannot be used.
  bool Start(std::string* error);

  // Queues one decision line; stamps the time when the record has none.
  // Never waits for the disk.
  void Add(brix_host::JournalRecord record);

  // One allow by the inventory of an event of `kind`.
  void CountInventoryAllow(brix_host::JournalKind kind);

  // Writes what is queued and a last summary, then closes the file.
  void Stop();

  bool running() const { return started_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t written() const { return written_.load(std::memory_order_relaxed); }

 private:
  bool OpenFile(std::string* error);
  void Rotate();
  void Run();
  // Writes one line, rotating first when it would not fit.
  void WriteLine(const std::string& line);
  void WriteSummary(uint64_t now);

  // Constant after construction
  const JournalSettings settings_;
  const ErrorSink onError_;

  // Only the writer thread touches these after Start
  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t summarySince_ = 0;
  uint64_t droppedReported_ = 0;
  int lastErrno_ = 0;  // the write error already reported

  std::atomic<bool> started_{false};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> inventoryStarts_{0};
  std::atomic<uint64_t> inventoryLibraries_{0};
  std::atomic<uint64_t> inventoryScripts_{0};

  // State below is protected by mutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<brix_host::JournalRecord> queue_;
  bool stopping_ = false;

  std::thread writer_;
};

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_JOURNAL_H_
