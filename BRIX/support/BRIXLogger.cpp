#include "BRIXLogger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

BRIXLogger* BRIXLogger::GetInstance() {
  static BRIXLogger instance;
  return &instance;
}

BRIXLogger::BRIXLogger() = default;

BRIXLogger::~BRIXLogger() { CloseFile(); }

int BRIXLogger::InitLogger(ac_log_callback_t callback, unsigned mask) {
  if (GetInited()) {
    Log(BRIX_WARNING, "InitLogger", kLogFileLogger, __LINE__,
        "BRIX Logging already initialized!");
    return 0;
  }
  if (callback == nullptr) {
    // Without a host to receive them, everything goes to the file.
    SetLogMask(15);
    SetLogPath("LogFile.log");
    m_mutex.Lock();
    OpenFile();
    m_mutex.Unlock();
    SetInited(true);
    return 0;
  }
  SetCallback(callback);
  SetLogMask(mask);
  SetInited(true);
  return 0;
}

void BRIXLogger::SetCallback(ac_log_callback_t callback) {
  if (callback != nullptr) m_callback.store(callback, std::memory_order_release);
}

void BRIXLogger::OpenFile() {
  if (m_logFile.is_open()) return;
  if (m_logPath.empty()) return;
  m_logFile.open(m_logPath, std::ios::out | std::ios::app);
}

void BRIXLogger::CloseFile() {
  if (m_logFile.is_open()) m_logFile.close();
}

void BRIXLogger::WriteLog(const std::string& line) {
  brix::MutexLock lock(&m_mutex);
  if (!m_logFile.is_open()) return;
  m_logFile << line << '\n';
  m_logFile.flush();
}

std::string BRIXLogger::LogLevelToString(unsigned level) {
  switch (level) {
    case BRIX_INFO:
      return "INFO";
    case BRIX_WARNING:
      return "WARNING";
    case BRIX_ERROR:
      return "ERROR";
    case BRIX_TRACE:
      return "TRACE";
    default:
      return "UNKNOWN";
  }
}

void BRIXLogger::Log(int level, const char* function, const char* file,
                     int line, const char* format, ...) {
  if (!GetInited()) return;
  const unsigned bits = static_cast<unsigned>(level);
  if ((GetLogMask() & bits) != bits) return;

  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  ac_log_callback_t callback = m_callback.load(std::memory_order_acquire);
  if (callback != nullptr) {
    callback(bits, static_cast<unsigned>(line), function, file, message,
             static_cast<unsigned>(strlen(message)));
    return;
  }

  char when[160];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(when, sizeof(when), "%Y %m %d %X ", &local);

  // A null function or file name puts the stream into its bad state; what
  // was formed before it is still written as the line.
  std::ostringstream out;
  out << when << LogLevelToString(bits) << " ";
  if (file != nullptr) {
    out << file << " ";
    if (function != nullptr) out << function << " " << line << ": " << message;
  }
  WriteLog(out.str());
}
