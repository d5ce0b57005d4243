// BRIXLogger.h: the engine's single logging channel.
//
// Every part of the engine reports through BRIXLogger::Log with a level bit,
// its function name, its source path ("BRIX/BRIXDataAccessLayer", ...), its
// source line and a printf-style message.  A message passes only when all
// of its level bits are in the mask; that test comes before any formatting,
// so a disabled level costs one load and one compare.
//
// After InitLogger the logger is, for the rest of the process, either in
// callback mode (each accepted message goes to the host's callback, no file,
// no lock) or in file mode (lines appended to "LogFile.log" in the current
// directory, each written and flushed under the file mutex).
//
// Threads: Log may be called from any thread at any time.  The mask,
// the inited flag and the callback are atomics, so SetLogMask may run while
// other threads log; each Log call sees either the old or the new mask.
#ifndef BRIX_BRIXLOGGER_H_
#define BRIX_BRIXLOGGER_H_

#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>

#include "Mutex.h"
#include "brix.h"

// Level bits.
enum BRIXLogLevel : unsigned {
  BRIX_INFO = 1,
  BRIX_WARNING = 2,
  BRIX_ERROR = 4,
  BRIX_TRACE = 8,
};

// Source paths that callers pass as the "file" of a log line.
inline constexpr const char kLogFileBRIX[] = "BRIX/BRIX";
inline constexpr const char kLogFileEventAbstraction[] =
    "BRIX/BRIXEventAbstraction";
inline constexpr const char kLogFileDAL[] = "BRIX/BRIXDataAccessLayer";
inline constexpr const char kLogFileQuery[] = "BRIX/BRIXQuery";
inline constexpr const char kLogFileStats[] = "BRIX/BRIXStats";
inline constexpr const char kLogFileLogger[] = "BRIX/BRIXLogger";

class BRIXLogger {
 public:
  // The process-wide instance, built on first use, destroyed at unload.
  static BRIXLogger* GetInstance();

  // Public so tests can exercise a private instance; the engine itself only
  // uses GetInstance().
  BRIXLogger();
  ~BRIXLogger();
  BRIXLogger(const BRIXLogger&) = delete;
  BRIXLogger& operator=(const BRIXLogger&) = delete;

  // Only the first call in a logger's life has an effect.  A null callback
  // chooses file mode with mask 15, whatever the mask argument says.
  // Always returns 0.
  int InitLogger(ac_log_callback_t callback, unsigned mask);

  void SetCallback(ac_log_callback_t callback);
  void SetLogMask(unsigned mask) {
    m_logMask.store(mask, std::memory_order_relaxed);
  }
  unsigned GetLogMask() const {
    return m_logMask.load(std::memory_order_relaxed);
  }
  void SetLogPath(const std::string& path) { m_logPath = path; }
  bool GetInited() const { return m_inited.load(std::memory_order_acquire); }
  void SetInited(bool inited) {
    m_inited.store(inited, std::memory_order_release);
  }

  void OpenFile();   // caller holds m_mutex (or no other thread can log)
  void CloseFile();
  void WriteLog(const std::string& line);

  static std::string LogLevelToString(unsigned level);

  // True when a message of this level would be passed on.  Callers on hot
  // paths test it before evaluating their arguments.
  bool ShouldLog(unsigned level) const {
    return GetInited() && (GetLogMask() & level) == level;
  }

  void Log(int level, const char* function, const char* file, int line,
           const char* format, ...) __attribute__((format(printf, 6, 7)));

 private:
  // Written by InitLogger, SetLogPath and the destructor only; read by
  // OpenFile under m_mutex.
  std::string m_logPath;
  std::ofstream m_logFile;  // guarded by m_mutex
  std::atomic<unsigned> m_logMask{0};
  std::atomic<bool> m_inited{false};
  brix::Mutex m_mutex;
  std::atomic<ac_log_callback_t> m_callback{nullptr};
};

// Logs at `level` from the enclosing function; arguments are evaluated only
// when the level passes the mask.
#define BRIX_LOG(level, file, ...)                                       \
  do {                                                                   \
    BRIXLogger* brix_logger_ = BRIXLogger::GetInstance();                \
    if (brix_logger_->ShouldLog(level))                                  \
      brix_logger_->Log((level), __func__, (file), __LINE__, __VA_ARGS__); \
  } while (0)

// The same with an explicit function name, for log lines whose function name
// differs from the C++ function that writes them.
#define BRIX_LOG_AS(level, function, file, ...)                          \
  do {                                                                   \
    BRIXLogger* brix_logger_ = BRIXLogger::GetInstance();                \
    if (brix_logger_->ShouldLog(level))                                  \
      brix_logger_->Log((level), (function), (file), __LINE__, __VA_ARGS__); \
  } while (0)

#endif  // BRIX_BRIXLOGGER_H_
