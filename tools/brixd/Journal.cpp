#include "Journal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "HostStatus.h"
#include "WriteAccess.h"

namespace brixd {

namespace {

using brix_host::JournalKind;
using brix_host::JournalRecord;
using brix_host::Verdict;

constexpr uint32_t kAuthorisedByWindow = 1;
constexpr uint32_t kAuthorisedTrusted = 4;

}  // namespace

uint64_t WallMillis() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

JournalEntry JournalEntryFor(JournalKind kind, uint32_t status,
                             const ac_wrapper_response_s& response, bool policyAnswer,
                             bool executableName) {
  if (policyAnswer) return JournalEntry::kRecord;
  const Verdict verdict = brix_host::ClassifyResponse(status, response);
  if (kind == JournalKind::kDrift) {
    switch (verdict) {
      case Verdict::kDriftUntrusted:
        // Every written file reaches the engine; only those that could
        // run are worth a line.
        return executableName ? JournalEntry::kRecord : JournalEntry::kSkip;
      case Verdict::kDriftTrusted:
      case Verdict::kDriftAuthorised:
      case Verdict::kDriftBlockListed:
      case Verdict::kError:
        return JournalEntry::kRecord;
      default:
        return JournalEntry::kSkip;  // known content, deletes, excluded
    }
  }
  switch (verdict) {
    case Verdict::kAllowed:
      // Trust rules, the maintenance window and timestamp trust vouch for
      // files the inventory does not know: those are listed.
      if (response.isAuthorized == kAuthorisedByWindow ||
          response.isAuthorized == kAuthorisedTrusted ||
          response.source == DAL_SOURCE_TRUST_RULES)
        return JournalEntry::kRecord;
      return JournalEntry::kCountInventory;
    case Verdict::kIgnored:
      return JournalEntry::kSkip;
    default:
      return JournalEntry::kRecord;
  }
}

void SetJournalVerdict(uint32_t status, const ac_wrapper_response_s& response, bool denied,
                       JournalRecord* record) {
  record->verdict = brix_host::VerdictName(brix_host::ClassifyResponse(status, response));
  record->denied = denied;
  record->source = response.source;
  record->isAuthorized = response.isAuthorized;
  record->decision = response.decision;
  record->ruleset = brix_host::ResponseRuleset(response);
}

std::string ParentExecutable(pid_t pid) {
  // The parent id is the fourth field of /proc/PID/stat, after the
  // command name in parentheses, which may itself hold ") ".
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  std::string stat;
  std::getline(in, stat);
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  int parent = 0;
  char state = 0;
  if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2 || parent <= 0)
    return "";
  snprintf(path, sizeof(path), "/proc/%d/exe", parent);
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

Journal::Journal(JournalSettings settings, ErrorSink onError)
    : settings_(std::move(settings)), onError_(std::move(onError)) {}

Journal::~Journal() { Stop(); }

bool Journal::OpenFile(std::string* error) {
  // No link is followed and nothing but a regular file with one name is
  // written: brixd runs as root, and the journal's folder may be one that
  // others can plant a link in.  O_NONBLOCK keeps a planted FIFO from
  // holding the open; read access lets the last byte be checked.
  const int fd = open(settings_.path.c_str(),
                      O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY |
                          O_NONBLOCK,
                      0640);
  if (fd < 0) {
    *error = "cannot open journal " + settings_.path + ": " + strerror(errno);
    if (errno == ELOOP) *error += " (a symbolic link is not followed)";
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    *error = "cannot use journal " + settings_.path +
             ": not a regular file with a single name";
    close(fd);
    return false;
  }
  const std::string foreign = ForeignFile(st);
  if (!foreign.empty()) {
    // Planted in a shared folder, it would let its owner read the journal
    // and forge lines that `brixctl suggest` turns into rules.
    *error = "cannot use journal " + settings_.path + ": " + foreign +
             " (remove it or give it to root with mode 0640)";
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  size_ = static_cast<uint64_t>(st.st_size);
  // A line cut off by a crash stays a line of its own: the next record
  // must not be glued to it.
  char last = '\n';
  if (size_ > 0 && pread(fd, &last, 1, static_cast<off_t>(size_ - 1)) == 1 && last != '\n' &&
      write(fd, "\n", 1) == 1)
    ++size_;
  fd_ = fd;
  return true;
}

bool Journal::Start(std::string* error) {
  if (settings_.path.empty() || started_.load()) return true;
  if (!OpenFile(error)) return false;
  summarySince_ = WallMillis();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  started_.store(true);
  writer_ = std::thread(&Journal::Run, this);
  pthread_setname_np(writer_.native_handle(), "brixd-journal");
  return true;
}

void Journal::Add(JournalRecord record) {
  if (!started_.load(std::memory_order_relaxed)) return;
  if (record.timeMillis == 0) record.timeMillis = WallMillis();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || queue_.size() >= settings_.maxQueued) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    queue_.push_back(std::move(record));
  }
  wake_.notify_one();
}

void Journal::CountInventoryAllow(JournalKind kind) {
  switch (kind) {
    case JournalKind::kLibrary:
      inventoryLibraries_.fetch_add(1, std::memory_order_relaxed);
      break;
    case JournalKind::kScript:
      inventoryScripts_.fetch_add(1, std::memory_order_relaxed);
      break;
    default:
      inventoryStarts_.fetch_add(1, std::memory_order_relaxed);
      break;
  }
}

void Journal::Rotate() {
  close(fd_);
  fd_ = -1;
  // rename() replaces the oldest kept file and never follows a link at
  // its last component.
  const std::string& path = settings_.path;
  if (settings_.keep == 0) {
    unlink(path.c_str());
  } else {
    for (unsigned n = settings_.keep; n > 1; --n) {
      const std::string from = path + "." + std::to_string(n - 1);
      if (rename(from.c_str(), (path + "." + std::to_string(n)).c_str()) != 0 && errno != ENOENT)
        onError_("journal: cannot rotate " + from + ": " + strerror(errno));
    }
    if (rename(path.c_str(), (path + ".1").c_str()) != 0)
      onError_("journal: cannot rotate " + path + ": " + strerror(errno));
  }
  std::string error;
  if (!OpenFile(&error)) onError_("journal: " + error + "; records are dropped");
}

void Journal::WriteLine(const std::string& line) {
  if (fd_ >= 0 && size_ > 0 && size_ + line.size() > settings_.maxSize) Rotate();
  if (fd_ < 0) {
    // Try again after a failed rotation, once per line at most.
    std::string error;
    if (!OpenFile(&error)) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  // One write a line with O_APPEND: a reader never sees two records
  // interleaved, and a crash cuts off at most the last one.
  const ssize_t n = write(fd_, line.data(), line.size());
  if (n == static_cast<ssize_t>(line.size())) {
    size_ += line.size();
    written_.fetch_add(1, std::memory_order_relaxed);
    lastErrno_ = 0;
    return;
  }
  const int why = n < 0 ? errno : ENOSPC;
  if (n > 0) size_ += static_cast<uint64_t>(n);
  dropped_.fetch_add(1, std::memory_order_relaxed);
  if (why != lastErrno_)
    onError_("journal: cannot write " + settings_.path + ": " + strerror(why) +
             "; records are dropped and counted");
  lastErrno_ = why;
}

void Journal::WriteSummary(uint64_t now) {
  JournalRecord summary;
  summary.kind = JournalKind::kSummary;
  summary.timeMillis = now;
  summary.sinceMillis = summarySince_;
  summary.inventoryStarts = inventoryStarts_.exchange(0);
  summary.inventoryLibraries = inventoryLibraries_.exchange(0);
  summary.inventoryScripts = inventoryScripts_.exchange(0);
  const uint64_t dropped = dropped_.load();
  summary.dropped = dropped - droppedReported_;
  droppedReported_ = dropped;
  if (summary.dropped > 0)
    onError_("journal: " + std::to_string(summary.dropped) +
             " records dropped: the journal could not keep up");
  WriteLine(brix_host::JournalLine(summary) + "\n");
  summarySince_ = now;
}

void Journal::Run() {
  std::vector<JournalRecord> batch;
  const auto interval = std::chrono::milliseconds(settings_.summaryIntervalMillis);
  auto nextSummary = std::chrono::steady_clock::now() + interval;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_until(lock, nextSummary, [&] { return stopping_ || !queue_.empty(); });
      stopping = stopping_;
      batch.assign(std::make_move_iterator(queue_.begin()),
                   std::make_move_iterator(queue_.end()));
      queue_.clear();
    }
    for (const JournalRecord& record : batch) WriteLine(brix_host::JournalLine(record) + "\n");
    batch.clear();
    const auto now = std::chrono::steady_clock::now();
    if (stopping) {
      WriteSummary(WallMillis());
      break;
    }
    if (now >= nextSummary) {
      // Quiet periods leave no line: a summary says something or nothing
      // is written.
      if (inventoryStarts_.load() + inventoryLibraries_.load() + inventoryScripts_.load() > 0 ||
          dropped_.load() != droppedReported_)
        WriteSummary(WallMillis());
      nextSummary = now + interval;
    }
  }
}

void Journal::Stop() {
  if (!started_.load()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
  started_.store(false);
  if (fd_ >= 0) {
    fdatasync(fd_);
    close(fd_);
    fd_ = -1;
  }
}

}  // namespace brixd
