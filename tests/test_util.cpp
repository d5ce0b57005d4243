#include "test_util.h"

#include <cjson/cJSON.h>
#include <grp.h>
#include <signal.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "BRIXConfig.h"

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

void EngineTest::TearDown() {
  engine_stop();
  config.SetManifestApplied(true);
  TempDirTest::TearDown();
}

void PrivateDalTest::SetUp() {
  TempDirTest::SetUp();
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, 15);
  LogCapture::Clear();
}

void PrivateDalTest::Open() {
  ASSERT_TRUE(dal.SetDBPath(PathIn("ac.db")));
  ASSERT_TRUE(dal.InitDB(false));
  LogCapture::Clear();
}

namespace {
// Whether every folder on the way to `path` lets other users through: the
// tests run steps as an unprivileged user, and a checkout may sit below a
// private (0700) home folder.
bool ReachableByAll(const std::string& path) {
  std::string at = path;
  while (!at.empty() && at != "/") {
    struct stat st {};
    if (stat(at.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    at = std::filesystem::path(at).parent_path().string();
  }
  return true;
}
}  // namespace

std::string WatchedBaseDir() {
  char cwd[4096];
  const char* home = getenv("HOME");
  // An empty candidate (no folder or no HOME) is never writable.
  const std::string candidates[] = {getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "",
                                    home != nullptr ? home : "", "/var/lib", "/opt"};
  for (const auto& c : candidates) {
    const std::string probe = c + "/";
    if (probe.find("/tmp/") != std::string::npos ||
        probe.find("/.") != std::string::npos)
      continue;
    if (access(c.c_str(), W_OK) == 0 && ReachableByAll(c)) return c;
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

bool LogCapture::Contains(const std::string& message) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return std::any_of(g_lines.begin(), g_lines.end(),
                     [&](const CapturedLog& l) { return l.message == message; });
}

std::string WriteFileAt(const std::string& path, const std::string& content,
                        mode_t mode) {
  WriteText(path, content, mode);
  return path;
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

std::vector<std::string> JsonMemberNames(const cJSON* object) {
  std::vector<std::string> names;
  for (const cJSON* c = object != nullptr ? object->child : nullptr;
       c != nullptr; c = c->next)
    names.push_back(c->string != nullptr ? c->string : "");
  return names;
}

JsonPtr ParseJson(const std::string& text) {
  JsonPtr json(cJSON_Parse(text.c_str()), &cJSON_Delete);
  EXPECT_NE(json, nullptr) << text;
  return json;
}

std::vector<std::string> TextLines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void WriteText(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

ToolRun RunTool(const std::vector<std::string>& argv, const std::string& folder,
                bool unprivileged, const std::string& libraryDir) {
  const std::string outPath = folder + "/.out";
  const std::string errPath = folder + "/.err";
  // Opened here: the unprivileged user may not write files root made.
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  const ChildOutcome child = RunInChild(
      [&](const Say&) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (!libraryDir.empty()) setenv("LD_LIBRARY_PATH", libraryDir.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
      },
      unprivileged);
  close(out);
  close(err);
  ToolRun run;
  run.status = WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

// Runs `body` in a forked child, optionally as an unprivileged user.  The
// parent reads the child's lines; `onLine` may answer true to have the
// child killed with SIGKILL at once.
ChildOutcome RunInChild(
    const std::function<void(const Say&)>& body, bool unprivileged,
    const std::function<bool(const std::string&)>& onLine) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe(fds) != 0) return outcome;
  const pid_t child = fork();
  if (child < 0) return outcome;
  if (child == 0) {
    close(fds[0]);
    if (unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
         setuid(kUnprivilegedId) != 0))
      _exit(90);
    body(Say(fds[1]));
    _exit(0);
  }
  close(fds[1]);
  std::string pending;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      outcome.lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      if (!outcome.killed && onLine && onLine(outcome.lines.back())) {
        kill(child, SIGKILL);
        outcome.killed = true;
      }
    }
  }
  close(fds[0]);
  waitpid(child, &outcome.status, 0);
  return outcome;
}
