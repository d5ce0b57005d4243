#include "AsyncLog.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "EngineSession.h"
#include "WriteAccess.h"

namespace brixd {

AsyncLog* g_log = nullptr;

void AppendEscaped(const char* text, std::string* line) {
  static const char kDigits[] = "0123456789abcdef";
  for (const char* c = text; *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7f || byte == '\\') {
      line->append("\\x");
      *line += kDigits[byte >> 4];
      *line += kDigits[byte & 0x0f];
    } else {
      *line += *c;
    }
  }
}

namespace {

// Appends to the log at `path`, creating it with mode 0640; a symbolic
// link there is refused, so nobody can point brixd's writes elsewhere, and
// so is a file someone else planted there (`*why` says what is wrong).
FILE* OpenLogFile(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC |
                                        O_NOCTTY, 0640);
  if (fd < 0) {
    *why = strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *why = "not a regular file";
    return nullptr;
  }
  const std::string foreign = ForeignFile(st);
  if (!foreign.empty()) {
    close(fd);
    *why = foreign + " (another user may read or forge its lines; remove it or give it to root "
                     "with mode 0640)";
    return nullptr;
  }
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) {
    *why = strerror(errno);
    close(fd);
  }
  return file;
}

}  // namespace

bool UnderSystemd() {
  // systemd sets both for a service; JOURNAL_STREAM alone also marks a
  // standard error that already is the journal.
  const char* stream = getenv("JOURNAL_STREAM");
  const char* invocation = getenv("INVOCATION_ID");
  return (stream != nullptr && stream[0] != '\0') ||
         (invocation != nullptr && invocation[0] != '\0');
}

AsyncLog::~AsyncLog() { Stop(); }

bool AsyncLog::Start(const std::string& path, bool systemJournal, std::string* error) {
  path_ = path;
  systemJournal_ = systemJournal;
  if (!path_.empty()) {
    std::string why;
    file_ = OpenLogFile(path_, &why);
    if (file_ == nullptr) {
      *error = "cannot open log file " + path_ + ": " + why;
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    stopping_ = false;
    held_ = true;
  }
  writer_ = std::thread(&AsyncLog::Run, this);
  pthread_setname_np(writer_.native_handle(), "brixd-log");
  return true;
}

void AsyncLog::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  wake_.notify_one();
}

void AsyncLog::Write(unsigned level, const char* text) {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &local);
  std::string line = stamp;
  char millis[24];
  snprintf(millis, sizeof(millis), ".%03ld ", static_cast<long>(now.tv_usec / 1000));
  line += millis;
  line += brix_host::LogLevelName(level);
  line += ' ';
  AppendEscaped(text, &line);
  line += '\n';
  Entry entry;
  entry.line = std::move(line);
  Queue(std::move(entry));
}

void AsyncLog::Queue(Entry entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) {
      // Before Start and after Stop nobody writes for us; standard error
      // is the only place left.
      fputs(entry.line.c_str(), stderr);
      return;
    }
    if (queue_.size() >= kMaxQueued) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    queue_.push_back(std::move(entry));
  }
  wake_.notify_one();
}

void AsyncLog::Decision(unsigned level, const std::string& text,
                        std::vector<std::string> fields) {
  if (!systemJournal_) {
    Write(level, text.c_str());
    return;
  }
  // The line is made as Write makes it; the entry rides with it.
  Write(level, text.c_str());
  Entry entry;
  entry.priority = level == BRIX_LOG_ERROR     ? LOG_ERR
                   : level == BRIX_LOG_WARNING ? LOG_WARNING
                                               : LOG_NOTICE;
  std::string message;
  AppendEscaped(text.c_str(), &message);
  fields.insert(fields.begin(), "MESSAGE=" + message);
  entry.fields = std::move(fields);
  Queue(std::move(entry));
}

void AsyncLog::SendToSystemJournal(const Entry& entry) {
  std::vector<std::string> parts = entry.fields;
  parts.push_back("PRIORITY=" + std::to_string(entry.priority));
  parts.push_back("SYSLOG_IDENTIFIER=brixd");
  std::vector<struct iovec> vectors;
  for (const std::string& part : parts)
    vectors.push_back({const_cast<char*>(part.data()), part.size()});
  // A journal that cannot take the entry loses it; the log file keeps it.
  (void)sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
}

void AsyncLog::Printf(unsigned level, const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  Write(level, buffer);
}

void AsyncLog::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_one();
}

void AsyncLog::ReopenNow() {
  if (path_.empty()) return;
  std::string why;
  FILE* file = OpenLogFile(path_, &why);
  if (file == nullptr) {
    // Keep writing to the old file: a line in a moved file is better than
    // a line lost.
    fprintf(file_ != nullptr ? file_ : stderr,
            "brixd: cannot reopen log file %s: %s\n", path_.c_str(), why.c_str());
    return;
  }
  if (file_ != nullptr) fclose(file_);
  file_ = file;
}

void AsyncLog::Run() {
  std::vector<Entry> batch;
  uint64_t reportedDrops = 0;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] {
        return stopping_ ||
               (!held_ && (!queue_.empty() || reopen_.load(std::memory_order_relaxed)));
      });
      stopping = stopping_;
      batch.assign(std::make_move_iterator(queue_.begin()),
                   std::make_move_iterator(queue_.end()));
      queue_.clear();
    }
    if (reopen_.exchange(false)) ReopenNow();
    FILE* out = file_ != nullptr ? file_ : stderr;
    const uint64_t drops = dropped_.load(std::memory_order_relaxed);
    if (drops != reportedDrops) {
      fprintf(out, "brixd: %llu log lines dropped: the log could not keep up\n",
              static_cast<unsigned long long>(drops - reportedDrops));
      reportedDrops = drops;
    }
    for (const Entry& entry : batch) {
      if (entry.priority >= 0) {
        SendToSystemJournal(entry);
      } else {
        fputs(entry.line.c_str(), out);
      }
    }
    fflush(out);
    batch.clear();
    if (stopping) break;
  }
}

void AsyncLog::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace brixd
