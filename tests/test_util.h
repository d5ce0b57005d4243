// test_util.h: shared helpers for the tests.
#ifndef BRIX_TESTS_TEST_UTIL_H_
#define BRIX_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "brix.h"

struct sqlite3;

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
  // Number of captured lines whose message equals `message`.
  static int Count(const std::string& message);
  static bool Contains(const std::string& message) { return Count(message) > 0; }
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

// Messages that `function` logged from the classification code
// ("BRIX/BRIXQuery"), in order, after checking the file and level every
// such line shares.
std::vector<std::string> QueryLog(const std::string& function,
                                  unsigned level = 8 /* trace */);

// A member of a JSON object that the test expects to be a number / a
// string; -1 / "<missing>" (and a failure) otherwise.
struct cJSON;
double JsonNumber(const cJSON* object, const char* name);
std::string JsonText(const cJSON* object, const char* name);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A start record with the given database path and callback.
ac_engine_start_s MakeStart(const char* dbPath, ac_log_callback_t cb,
                            uint32_t mask);

// Wall-clock milliseconds, computed independently of the engine's clock.
uint64_t GetCurrentTimeInMillisForTest();

// Runs `argv` (argv[0] a path) and waits for it, with standard output in
// `outPath` (replaced) and standard error appended to `errPath`.  The exit
// status, 128 after a signal, or -errno when the kernel refused to start
// the program (EPERM: a brixd under lockdown said no).
int SpawnAndWait(std::vector<std::string> argv, const std::string& outPath,
                 const std::string& errPath);

#endif  // BRIX_TESTS_TEST_UTIL_H_
