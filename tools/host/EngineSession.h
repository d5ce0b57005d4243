// EngineSession.h: starting and stopping the engine the way a host does.
//
// A host hands the engine a start record with the database path, a log
// mask and a log callback, sets the operating modes with set_config, and
// stops the engine last.  EngineSession does that once per process and
// routes the engine's log lines to standard error or to a file of the
// host's choice.  Start and Stop belong to one thread; the log sink itself
// may be called by the engine from any thread.
#ifndef BRIX_TOOLS_HOST_ENGINESESSION_H_
#define BRIX_TOOLS_HOST_ENGINESESSION_H_

#include <cstdint>
#include <string>

#include "brix.h"

namespace brix_host {

// A host's own handler of engine log lines, for hosts that must not wait
// on a file (a daemon answering the kernel queues them instead).  Called
// from any engine thread, possibly several at once.
using LogForward = void (*)(unsigned level, unsigned line, const char* function,
                            const char* file, const char* message);

// Where engine log lines go.
struct LogSettings {
  uint32_t mask = 0;     // BRIX_LOG_* bits; 0 keeps the engine silent
  std::string filePath;  // empty: standard error; else appended to
  LogForward forward = nullptr;  // set: every line goes here, filePath unused
};

// "INFO", "WARNING", "ERROR", "TRACE" or "UNKNOWN".
const char* LogLevelName(unsigned level);

// The level a host gives an engine line.  The engine reports every
// statement it closes at stop as an error although nothing went wrong:
// those lines count as trace, so that a clean stop shows no error.
unsigned HostLogLevel(unsigned level, const char* function);

// The rule database both hosts use unless told otherwise: $BRIX_DB when
// set, else /var/lib/brix/ac.db.
std::string DefaultDatabasePath();

// Whether the rule database at `path` exists and this process may use
// it (read it, and with `write` change it: the file and, for the engine's
// journal files beside it, its folder).  False with `error` set to one
// line naming the cause ("no rule database at PATH", "PATH: Permission
// denied").  Nothing is created.
bool CheckDatabase(const std::string& path, bool write, std::string* error);

// The operating modes of one run.
struct Modes {
  uint32_t bits = 0;  // BRIX_MODE_* bits
  uint64_t windowStart = 0;  // maintenance window, ms since the epoch
  uint64_t windowEnd = 0;
};

// Parses a log mask: a number from 0 to 15 or a comma-separated list of
// level names (info, warning, error, trace, all, none).
bool ParseLogMask(const std::string& text, uint32_t* mask);

class EngineSession {
 public:
  EngineSession() = default;
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // Opens the log destination and starts the engine on `dbPath`.  Returns
  // the engine's status (or BRIX_STATUS_LOGGER_INIT_FAILED when the log
  // file cannot be opened); on failure `error` says what went wrong in
  // words, naming the status's meaning and, where it can be told, why.
  uint32_t Start(const std::string& dbPath, const LogSettings& log,
                 std::string* error);

  // set_config with the modes; the engine's status.
  uint32_t ApplyModes(const Modes& modes);

  // Stops the engine (flushing its write buffers); harmless when stopped.
  void Stop();

  bool started() const { return started_; }

 private:
  bool started_ = false;
};

// The metrics document from get_metrics_mem; the engine's status.
uint32_t ReadMetrics(std::string* document);

}  // namespace brix_host

#endif  // BRIX_TOOLS_HOST_ENGINESESSION_H_
