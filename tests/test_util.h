// test_util.h: shared helpers for the tests.
#ifndef BRIX_TESTS_TEST_UTIL_H_
#define BRIX_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BRIXDataAccessLayer.h"
#include "BRIXLogger.h"
#include "brix.h"

// Runs each test in a fresh temporary directory (the engine writes
// "ac.db" and "LogFile.log" into the current directory) and returns to the
// previous directory afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& dir() const { return dir_; }
  std::string PathIn(const std::string& name) const { return dir_ + "/" + name; }
  // The folder the test's own folder is made in.
  virtual std::string BaseDir() const;

 private:
  std::string dir_;
  std::string previous_;
};

// A test that starts the engine: stopped again afterwards, with the
// process-wide wait for a manifest reset.
class EngineTest : public TempDirTest {
 protected:
  void TearDown() override;
};

// A private data-access layer (the singleton is left to the tests of the
// exported functions) over "ac.db" in the test's folder, with every log
// line captured.
class PrivateDalTest : public TempDirTest {
 protected:
  void SetUp() override;
  // Opens the file; the captured log starts empty afterwards.
  void Open();

  BRIXDAL dal;
};

// A folder whose path the engine watches: no "/tmp/" in it (the system's
// temporary folders are excluded from drift) and no hidden component.
std::string WatchedBaseDir();

// One log line as the host callback received it.
struct CapturedLog {
  unsigned level;
  unsigned line;
  std::string function;
  std::string file;
  std::string message;
  unsigned length;
};

// A host log callback that records every line; thread-safe.
class LogCapture {
 public:
  static int Callback(unsigned level, unsigned line, const char* function,
                      const char* file, const char* message, unsigned length);
  static std::vector<CapturedLog> Lines();
  static void Clear();
  // Whether a captured line's message equals `message`.
  static bool Contains(const std::string& message);
};

// A second connection to a database file, for preparing and inspecting
// files directly in tests.
class Db {
 public:
  explicit Db(const std::string& path);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  void Exec(const std::string& sql);
  // Every row of a query, columns joined by '|' (NULL as "NULL").
  std::vector<std::string> Rows(const std::string& sql);
  // The first row, or "".
  std::string One(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};

// A member of a JSON object that the test expects to be a number / a
// string; -1 / "<missing>" (and a failure) otherwise.
struct cJSON;
double JsonNumber(const cJSON* object, const char* name);
std::string JsonText(const cJSON* object, const char* name);
// The names of an object's members, in order.
std::vector<std::string> JsonMemberNames(const cJSON* object);
// A parsed JSON document that frees itself; null (and a failure) when the
// text is not JSON.
using JsonPtr = std::unique_ptr<cJSON, void (*)(cJSON*)>;
JsonPtr ParseJson(const std::string& text);

// The lines of `text`, without their ends.
std::vector<std::string> TextLines(const std::string& text);
// Writes `text` to `path`, replacing it, and gives the file `mode`.
void WriteText(const std::string& path, const std::string& text, mode_t mode = 0644);

// `size` bytes that all equal `seed`: a digest that names its seed.
inline std::string SeedDigest(unsigned char seed, size_t size = 32) {
  return std::string(size, static_cast<char>(seed));
}
// The same digest as hex text, as rulesets and SQL literals take it.
inline std::string SeedHex(unsigned char seed, size_t size = 32) {
  const std::string d = SeedDigest(seed, size);
  return Hash::ToHex(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

// Writes `content` to `path`, replacing it, with the permission bits
// `mode`; returns `path`.
std::string WriteFileAt(const std::string& path, const std::string& content,
                        mode_t mode = 0644);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A start record with the given database path and callback.
ac_engine_start_s MakeStart(const char* dbPath, ac_log_callback_t cb,
                            uint32_t mask);

// Wall-clock milliseconds, computed independently of the engine's clock.
uint64_t GetCurrentTimeInMillisForTest();


// --- Child processes -----------------------------------------------------------

// The user and group id an unprivileged child runs as (nobody).
constexpr uid_t kUnprivilegedId = 65534;

// What a child said, and how it ended.
struct ChildOutcome {
  std::vector<std::string> lines;
  int status = -1;  // as waitpid reports it
  bool killed = false;

  bool ExitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  // The text after "key " of the first line that starts so, or "(none)".
  std::string Value(const std::string& key) const {
    for (const std::string& line : lines)
      if (line.compare(0, key.size() + 1, key + " ") == 0)
        return line.substr(key.size() + 1);
    return "(none)";
  }
};

// A status as "0x%08x".
inline std::string StatusHex(uint32_t status) {
  char hex[16];
  snprintf(hex, sizeof(hex), "0x%08x", status);
  return hex;
}

// Sends one line to the parent.
class Say {
 public:
  explicit Say(int fd) : fd_(fd) {}
  void operator()(const std::string& key, const std::string& value) const {
    const std::string line = key + " " + value + "\n";
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = write(fd_, line.data() + done, line.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  void operator()(const std::string& key, uint32_t status) const {
    (*this)(key, StatusHex(status));
  }
  // Every captured log line at `level`, as "log <message>".
  void Logs(unsigned level) const {
    for (const CapturedLog& line : LogCapture::Lines())
      if (line.level == level) (*this)("log", line.message);
  }

 private:
  int fd_;
};

// Runs `body` in a forked child, optionally as an unprivileged user.  The
// parent reads the child's lines; `onLine` may answer true to have the
// child killed with SIGKILL at once.
ChildOutcome RunInChild(
    const std::function<void(const Say&)>& body, bool unprivileged = false,
    const std::function<bool(const std::string&)>& onLine = nullptr);

// Another process that holds a lock on a database file: a writer's
// exclusive lock, which keeps everyone else out, or a reader's shared lock,
// which lets others write but not commit.  The process is forked before
// the test touches SQLite, so it shares no SQLite state with the engine.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    if (pipe(commands_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) Serve(path);
    close(commands_[0]);
    close(answers_[1]);
  }
  ~LockHolder() {
    Send('q');
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    close(commands_[1]);
    close(answers_[0]);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // True once the lock is held / released.
  bool LockExclusive() { return Send('w'); }
  bool LockShared() { return Send('r'); }
  bool Release() { return Send('u'); }

 private:
  bool Send(char command) {
    char answer = 0;
    return write(commands_[1], &command, 1) == 1 && read(answers_[0], &answer, 1) == 1 &&
           answer == 'k';
  }

  [[noreturn]] void Serve(const std::string& path) {
    close(commands_[1]);
    close(answers_[0]);
    sqlite3* db = nullptr;
    char c;
    while (read(commands_[0], &c, 1) == 1 && c != 'q') {
      char answer = 'k';
      if (c == 'u') {
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        db = nullptr;
      } else {
        // The reader's SELECT opens a read transaction that holds its
        // shared lock until the rollback.
        const char* sql =
            c == 'w' ? "BEGIN EXCLUSIVE;" : "BEGIN; SELECT count(*) FROM sqlite_master;";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
          answer = 'e';
      }
      if (write(answers_[1], &answer, 1) != 1) break;
    }
    // Leaving releases whatever lock is still held.
    _exit(0);
  }

  pid_t pid_ = -1;
  int commands_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
};

// What a command-line tool printed, and its exit status (-1 after a signal).
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) with its output caught in files of
// `folder`; as the unprivileged user when `unprivileged` is set and the
// tests run as root, finding libraries in `libraryDir` if one is given.
ToolRun RunTool(const std::vector<std::string>& argv, const std::string& folder,
                bool unprivileged = false, const std::string& libraryDir = "");

#endif  // BRIX_TESTS_TEST_UTIL_H_
