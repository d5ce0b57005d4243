// AsyncLog.h: brixd's log, written by a thread of its own.
//
// Threads that answer the kernel must never wait on a disk: while they
// wait, every program start on the watched mounts waits with them.  They
// hand a formatted line to this queue and go on; one writer thread puts
// the lines into the file.  When the queue is full a line is dropped and
// counted rather than blocking the caller.  Control characters in a line
// are escaped.  The file is created with mode 0640 and never through a
// symbolic link.  Reopen (after SIGHUP, when a
// log rotation moved the file away) is done by the writer between lines.
// Under systemd, decisions (blocked, would be blocked, answered by the
// fail policy) also go to the system journal, one entry each with fields
// a query can select on (BRIX_VERDICT, BRIX_PATH ...); the writer thread
// sends them, so a slow journal daemon slows nobody who answers the
// kernel.  Until Release, lines are only queued: a start that fails can
// name its cause before anything else reaches standard error.
// All members are safe from any thread.
#ifndef BRIX_TOOLS_BRIXD_ASYNCLOG_H_
#define BRIX_TOOLS_BRIXD_ASYNCLOG_H_

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brixd {

class AsyncLog {
 public:
  AsyncLog() = default;
  ~AsyncLog();
  AsyncLog(const AsyncLog&) = delete;
  AsyncLog& operator=(const AsyncLog&) = delete;

  // Opens `path` for appending (empty: standard error) and starts the
  // writer, holding lines until Release.  With `systemJournal`, decisions
  // are also sent to the system journal.  False with `error` set when the
  // file cannot be opened.
  bool Start(const std::string& path, bool systemJournal, std::string* error);

  // Lets the writer put out what is queued and what comes.
  void Release();

  // Queues one line; the time stamp and level are added here.
  void Write(unsigned level, const char* text);
  void Printf(unsigned level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // Queues one decision: `text` as a line, and for the system journal an
  // entry with `text` as its message and `fields` ("BRIX_PATH=/x") beside.
  void Decision(unsigned level, const std::string& text, std::vector<std::string> fields);

  // Asks the writer to close and open the file again.
  void RequestReopen() { reopen_.store(true, std::memory_order_relaxed); Wake(); }

  // Writes what is queued and stops the writer.
  void Stop();

  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void Wake();
  void Run();
  void ReopenNow();

  struct Entry {
    std::string line;
    int priority = -1;  // syslog priority; -1: not for the system journal
    std::vector<std::string> fields;
  };

  void Queue(Entry entry);
  void SendToSystemJournal(const Entry& entry);

  static constexpr size_t kMaxQueued = 65536;

  // Constant while the writer runs
  std::string path_;
  bool systemJournal_ = false;

  // Only the writer thread touches the file after Start
  FILE* file_ = nullptr;

  std::atomic<bool> reopen_{false};
  std::atomic<uint64_t> dropped_{0};

  // State below is protected by mutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Entry> queue_;
  bool held_ = true;
  bool stopping_ = false;
  bool running_ = false;

  std::thread writer_;
};

// Appends `text` to `line` with every control character and the
// backslash written as \xNN: a file named with a newline cannot forge a
// log line.
void AppendEscaped(const char* text, std::string* line);

// Whether brixd runs as a systemd service, whose system journal then takes
// its decisions.
bool UnderSystemd();

// The daemon's log; set by main before any other thread starts.
extern AsyncLog* g_log;

}  // namespace brixd

#endif  // BRIX_TOOLS_BRIXD_ASYNCLOG_H_
