#include "EngineSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <mutex>
#include <vector>

#include "HostStatus.h"

namespace brix_host {

namespace {

// The engine's callback carries no context pointer, so the destination is
// process-wide.  Set before engine_start and left in place until exit:
// the engine keeps its first callback for the life of the process.
std::mutex g_logMutex;
FILE* g_logFile = nullptr;  // null: standard error
std::atomic<LogForward> g_forward{nullptr};

// The database path the engine holds (its data access layer is
// process-wide too); starts come from one thread at a time.
std::string g_enginePath;

}  // namespace

const char* LogLevelName(unsigned level) {
  switch (level) {
    case BRIX_LOG_INFO: return "INFO";
    case BRIX_LOG_WARNING: return "WARNING";
    case BRIX_LOG_ERROR: return "ERROR";
    case BRIX_LOG_TRACE: return "TRACE";
    default: return "UNKNOWN";
  }
}

unsigned HostLogLevel(unsigned level, const char* function) {
  if (function != nullptr && strcmp(function, "Finalize") == 0) return BRIX_LOG_TRACE;
  return level;
}

std::string DefaultDatabasePath() {
  const char* path = getenv("BRIX_DB");
  return path != nullptr && path[0] != '\0' ? path : "/var/lib/brix/ac.db";
}

bool CheckDatabase(const std::string& path, bool write, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *error = errno == ENOENT ? "no rule database at " + path
                             : path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a rule database (not a regular file)";
    return false;
  }
  // As this process's own user: what the engine will be allowed to do.
  if (faccessat(AT_FDCWD, path.c_str(), write ? R_OK | W_OK : R_OK, AT_EACCESS) != 0) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (write && faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *error = "folder " + folder + " (the database's journal goes there): " + strerror(errno);
    return false;
  }
  return true;
}

namespace {

uint32_t g_sinkMask = 0;  // what the host shows; set before engine_start

int LogSink(unsigned level, unsigned line, const char* function,
            const char* file, const char* message, unsigned /*length*/) {
  level = HostLogLevel(level, function);
  if ((level & g_sinkMask) == 0) return 0;
  if (LogForward forward = g_forward.load(std::memory_order_acquire)) {
    forward(level, line, function, file, message);
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logFile != nullptr) {
    // A file outlives the run: each line carries its local time.
    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &local);
    fprintf(g_logFile, "%s.%03ld %s %s:%u %s: %s\n", stamp,
            static_cast<long>(now.tv_usec / 1000), LogLevelName(level),
            file ? file : "?", line, function ? function : "?",
            message ? message : "");
    fflush(g_logFile);
  } else {
    fprintf(stderr, "brix %s %s:%u %s: %s\n", LogLevelName(level),
            file ? file : "?", line, function ? function : "?",
            message ? message : "");
  }
  return 0;
}

// Why the engine could not open a database at `path`, when the file
// system can tell; empty otherwise.
std::string DiagnoseDatabasePath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    return "folder " + folder + ": " + strerror(errno);
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return path + " is a folder";
    if (access(path.c_str(), R_OK | W_OK) != 0)
      return path + ": " + strerror(errno);
  } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return "folder " + folder + ": " + strerror(errno);
  }
  return "";
}

}  // namespace

bool ParseLogMask(const std::string& text, uint32_t* mask) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = strtoul(text.c_str(), &end, 0);
  if (*end == '\0' && text[0] != '-') {
    if (errno != 0 || value > 15) return false;
    *mask = static_cast<uint32_t>(value);
    return true;
  }
  struct Level {
    const char* name;
    uint32_t bits;
  };
  static const Level kLevels[] = {
      {"none", 0},
      {"info", BRIX_LOG_INFO},
      {"warning", BRIX_LOG_WARNING},
      {"error", BRIX_LOG_ERROR},
      {"trace", BRIX_LOG_TRACE},
      {"all", BRIX_LOG_INFO | BRIX_LOG_WARNING | BRIX_LOG_ERROR | BRIX_LOG_TRACE},
  };
  uint32_t bits = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string word =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    bool known = false;
    for (const Level& level : kLevels) {
      if (word == level.name) {
        bits |= level.bits;
        known = true;
      }
    }
    if (!known) return false;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *mask = bits;
  return true;
}

EngineSession::~EngineSession() { Stop(); }

uint32_t EngineSession::Start(const std::string& dbPath,
                              const LogSettings& log, std::string* error) {
  // Set once, before the engine can log: the engine keeps its first
  // callback for the life of the process.
  if (log.forward != nullptr) {
    g_forward.store(log.forward, std::memory_order_release);
  } else if (!log.filePath.empty()) {
    FILE* file = fopen(log.filePath.c_str(), "ae");
    if (file == nullptr) {
      *error = "cannot open log file " + log.filePath + ": " + strerror(errno);
      return BRIX_STATUS_LOGGER_INIT_FAILED;
    }
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_logFile != nullptr) fclose(g_logFile);
    g_logFile = file;
  }
  g_sinkMask = log.mask;
  ac_engine_start_s start{};
  start.dbPath = dbPath.c_str();
  start.logMask = log.mask;
  // Always a callback: without one the engine writes its own log file
  // into the current folder.
  start.logCallback = &LogSink;
  uint32_t status = engine_start(&start);
  // A start whose database failed to initialise (a table missing while
  // another process rebuilds it) leaves the engine's connection open, and
  // the engine refuses any path while it is: a start on the same path
  // then continues on that connection, preparing what was missing, or a
  // repaired database would be refused until the host process restarts.
  if (status == BRIX_STATUS_BAD_PATH && dbPath == g_enginePath) {
    start.dbPath = nullptr;
    status = engine_start(&start);
  }
  if (status == BRIX_STATUS_SUCCESS || status == BRIX_STATUS_DB_INIT_FAILED)
    g_enginePath = dbPath;
  if (status != BRIX_STATUS_SUCCESS) {
    *error = "cannot start the engine on " + dbPath + ": " + DescribeStatus(status);
    if (status == BRIX_STATUS_DB_INIT_FAILED) {
      const std::string why = DiagnoseDatabasePath(dbPath);
      if (!why.empty()) *error += ": " + why;
    }
    return status;
  }
  started_ = true;
  return status;
}

uint32_t EngineSession::ApplyModes(const Modes& modes) {
  return set_config(modes.bits, modes.windowStart, modes.windowEnd);
}

void EngineSession::Stop() {
  if (!started_) return;
  engine_stop();
  started_ = false;
}

uint32_t ReadMetrics(std::string* document) {
  uint32_t length = 0;
  uint32_t status = get_metrics_mem(nullptr, &length);
  std::vector<char> buffer;
  // The document may grow between the size query and the copy.
  for (int attempt = 0; status == BRIX_STATUS_BUFFER_TOO_SMALL && attempt < 8;
       ++attempt) {
    buffer.resize(length + 1024);
    length = static_cast<uint32_t>(buffer.size());
    status = get_metrics_mem(buffer.data(), &length);
  }
  if (status != BRIX_STATUS_SUCCESS) return status;
  document->assign(buffer.data());
  return status;
}

}  // namespace brix_host
