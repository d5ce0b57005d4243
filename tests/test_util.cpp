#include "test_util.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
std::mutex g_logMutex;
std::vector<CapturedLog> g_lines;
}  // namespace

void TempDirTest::SetUp() {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  previous_ = cwd;
  std::string tmpl = BaseDir() + "/brix_test_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  dir_ = tmpl;
  ASSERT_EQ(chdir(dir_.c_str()), 0);
}

std::string TempDirTest::BaseDir() const {
  return std::filesystem::temp_directory_path().string();
}

std::string WatchedBaseDir() {
  std::vector<std::string> candidates;
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) != nullptr) candidates.push_back(cwd);
  if (const char* home = getenv("HOME")) candidates.push_back(home);
  candidates.push_back("/var/lib");
  candidates.push_back("/opt");
  for (const auto& c : candidates) {
    const std::string probe = c + "/";
    if (probe.find("/tmp/") != std::string::npos ||
        probe.find("/.") != std::string::npos)
      continue;
    if (access(c.c_str(), W_OK) == 0) return c;
  }
  return std::filesystem::temp_directory_path().string();
}

void TempDirTest::TearDown() {
  if (!previous_.empty()) (void)chdir(previous_.c_str());
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

int LogCapture::Callback(unsigned level, unsigned line, const char* function,
                         const char* file, const char* message,
                         unsigned length) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_lines.push_back({level, line, function ? function : "",
                     file ? file : "", message ? message : "", length});
  return 0;
}

std::vector<CapturedLog> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_lines;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_lines.clear();
}

int LogCapture::Count(const std::string& message) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  int n = 0;
  for (const auto& l : g_lines) n += l.message == message;
  return n;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

ac_engine_start_s MakeStart(const char* dbPath, ac_log_callback_t cb,
                            uint32_t mask) {
  ac_engine_start_s s{};
  s.dbPath = dbPath;
  s.logMask = mask;
  s.logCallback = cb;
  return s;
}

uint64_t GetCurrentTimeInMillisForTest() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
}

Db::Db(const std::string& path) {
  EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK) << path;
}

Db::~Db() { sqlite3_close(db_); }

void Db::Exec(const std::string& sql) {
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
      << sql << ": " << (err ? err : "");
  sqlite3_free(err);
}

std::vector<std::string> Db::Rows(const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
      << sql;
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(s); ++i) {
      if (i) row += "|";
      const unsigned char* t = sqlite3_column_text(s, i);
      row += t ? reinterpret_cast<const char*>(t) : "NULL";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(s);
  return rows;
}

std::string Db::One(const std::string& sql) {
  auto rows = Rows(sql);
  return rows.empty() ? "" : rows[0];
}

std::vector<std::string> QueryLog(const std::string& function,
                                  unsigned level) {
  std::vector<std::string> messages;
  for (const CapturedLog& line : LogCapture::Lines()) {
    if (line.function != function) continue;
    EXPECT_EQ(line.file, "BRIX/BRIXQuery") << line.message;
    EXPECT_EQ(line.level, level) << line.message;
    messages.push_back(line.message);
  }
  return messages;
}

double JsonNumber(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  EXPECT_TRUE(cJSON_IsNumber(item)) << name;
  return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

std::string JsonText(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  EXPECT_TRUE(cJSON_IsString(item)) << name;
  return cJSON_IsString(item) ? item->valuestring : "<missing>";
}

int SpawnAndWait(std::vector<std::string> argv, const std::string& outPath,
                 const std::string& errPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return -failed;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -ECHILD;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
