// Faults the host's machine can throw at the engine: database files that
// are garbage, truncated, read-only or locked by another process, a folder
// that does not exist, a disk that fills up, payload paths that cannot be
// written, and paths and names far beyond their usual lengths.  Each must
// end in a status code and a log line that says what went wrong, never in a
// crash, and must not lose what the engine acknowledged: once
// flush_db_buffer has returned success, the items are in the file, whatever
// happens to the process afterwards.
//
// Where the outcome depends on file permissions the engine runs in a child
// process as an unprivileged user (tests run as root in CI, and root writes
// through any permission).  Children report back in lines of text and leave
// with _exit, so that nothing of the test process's own teardown runs there.
#include <cjson/cJSON.h>
#include <grp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "BRIXLogger.h"
#include "Hash.h"
#include "brix.h"
#include "test_util.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr uint32_t kLogAll = 15;

// A digest that names its seed in the first four bytes.
std::string Digest(uint32_t seed) {
  std::string d(32, '\xa5');
  memcpy(d.data(), &seed, sizeof(seed));
  return d;
}

std::string Hex(const std::string& bytes) {
  return Hash::ToHex(reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
}

// An inventory item whose texts it owns; `seed` makes its name and digest
// unique.
class Item {
 public:
  Item(uint32_t seed, uint32_t source = DAL_SOURCE_APPROVED_DRIFT,
       const std::string& folder = "/srv/items/")
      : fileName_("item-" + std::to_string(seed)),
        path_(folder),
        nativePath_(folder + fileName_),
        digest_(Digest(seed)) {
    record_.source = source;
    record_.size = 1000 + seed;
    record_.isAuthorized = 1;
    memcpy(record_.sha256, digest_.data(), 32);
    record_.fileName = fileName_.c_str();
    record_.path = path_.c_str();
    record_.nativePath = nativePath_.c_str();
    record_.ruleset = "";
  }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;

  const ac_db_item_s* record() const { return &record_; }
  const std::string& fileName() const { return fileName_; }

 private:
  std::string fileName_, path_, nativePath_, digest_;
  ac_db_item_s record_{};
};

uint32_t Store(uint32_t seed, bool buffered,
               uint32_t source = DAL_SOURCE_APPROVED_DRIFT) {
  Item item(seed, source);
  return store_item(item.record(), buffered ? 1 : 0);
}

// Stores seeds [from, to) buffered; the number of them the engine refused.
int StoreRange(uint32_t from, uint32_t to) {
  int refused = 0;
  for (uint32_t seed = from; seed < to; ++seed)
    refused += Store(seed, true) != BRIX_STATUS_SUCCESS;
  return refused;
}

// An execution ruleset of `count` allow rules with digests from `first` on.
std::string Ruleset(uint32_t first, uint32_t count) {
  std::string text = "{\"rules\": [";
  for (uint32_t i = 0; i < count; ++i) {
    if (i) text += ",";
    text += "{\"fileName\": \"rule-" + std::to_string(first + i) +
            "\", \"sha256\": \"" + Hex(Digest(first + i)) +
            "\", \"action\": \"allow\"}";
  }
  return text + "]}";
}

// True when a line at `level` was logged whose message contains `text`.
bool Logged(unsigned level, const std::string& text) {
  for (const CapturedLog& line : LogCapture::Lines())
    if (line.level == level && line.message.find(text) != std::string::npos)
      return true;
  return false;
}

// Starts the engine with the capturing callback.  The logger keeps its
// first initialisation for the life of the process, so the mask is set
// anew each time.
uint32_t StartOn(const std::string& path, uint32_t mask = kLogAll) {
  LogCapture::Clear();
  BRIXLogger::GetInstance()->InitLogger(&LogCapture::Callback, mask);
  BRIXLogger::GetInstance()->SetLogMask(mask);
  ac_engine_start_s start = MakeStart(path.c_str(), &LogCapture::Callback, mask);
  return engine_start(&start);
}

// The file name of every inventory row in a database file.
std::set<std::string> NamesIn(const std::string& dbPath) {
  Db db(dbPath);
  std::set<std::string> names;
  for (const std::string& row : db.Rows("SELECT fileName FROM InventoryItems"))
    names.insert(row);
  return names;
}

// Which of "<prefix><first>" to "<prefix><last>" are not among `names`:
// empty when none is missing, else the count and the first one.
std::string Missing(const std::set<std::string>& names,
                    const std::string& prefix, uint32_t first, uint32_t last) {
  size_t count = 0;
  std::string example;
  for (uint32_t seed = first; seed <= last; ++seed) {
    const std::string name = prefix + std::to_string(seed);
    if (names.count(name) != 0) continue;
    if (count++ == 0) example = name;
  }
  return count == 0 ? "" : std::to_string(count) + " missing, " + example;
}

std::string IntegrityOf(const std::string& dbPath) {
  Db db(dbPath);
  return db.One("PRAGMA integrity_check;");
}

// --- Child processes ---------------------------------------------------------

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
  bool Said(const std::string& line) const {
    for (const std::string& l : lines)
      if (l == line) return true;
    return false;
  }
};

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
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08x", status);
    (*this)(key, std::string(hex));
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
    const std::function<bool(const std::string&)>& onLine = nullptr) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe(fds) != 0) return outcome;
  const pid_t child = fork();
  if (child < 0) return outcome;
  if (child == 0) {
    close(fds[0]);
    if (unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
         setuid(kNobody) != 0))
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

// Another process that holds a lock on a database file: a writer's
// exclusive lock, which keeps everyone else out, or a reader's shared lock,
// which lets others write but not commit.  The process is forked before
// the test touches SQLite, so it shares no SQLite state with the engine.
class LockHolder {
 public:
  LockHolder() {
    if (pipe(commands_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) Serve();
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

  // True once the lock is held.
  bool LockExclusive(const std::string& path) { return Lock('w', path); }
  bool LockShared(const std::string& path) { return Lock('r', path); }
  bool Release() { return Send('u') && Answer() == 'k'; }

 private:
  bool Lock(char kind, const std::string& path) {
    const std::string command = std::string(1, kind) + path + '\n';
    return write(commands_[1], command.data(), command.size()) ==
               static_cast<ssize_t>(command.size()) &&
           Answer() == 'k';
  }
  bool Send(char c) {
    const std::string command(1, c);
    return write(commands_[1], (command + "\n").data(), 2) == 2;
  }
  char Answer() {
    char c = 0;
    return read(answers_[0], &c, 1) == 1 ? c : 0;
  }

  [[noreturn]] void Serve() {
    close(commands_[1]);
    close(answers_[0]);
    sqlite3* db = nullptr;
    std::string line;
    char c;
    while (read(commands_[0], &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      char answer = 'k';
      if (line.empty() || line[0] == 'q') break;
      if (line[0] == 'w' || line[0] == 'r') {
        // The reader's SELECT opens a read transaction that holds its
        // shared lock until the rollback.
        const char* sql = line[0] == 'w'
                              ? "BEGIN EXCLUSIVE;"
                              : "BEGIN; SELECT count(*) FROM sqlite_master;";
        if (sqlite3_open_v2(line.c_str() + 1, &db, SQLITE_OPEN_READWRITE,
                            nullptr) != SQLITE_OK ||
            sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
          answer = 'e';
      } else if (line[0] == 'u') {
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        db = nullptr;
      }
      line.clear();
      if (write(answers_[1], &answer, 1) != 1) break;
    }
    if (db != nullptr) sqlite3_close(db);
    _exit(0);
  }

  pid_t pid_ = -1;
  int commands_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
};

class FaultTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    // An unprivileged child must be able to reach the files of the test.
    chmod(dir().c_str(), 0755);
  }
  void TearDown() override {
    engine_stop();
    TempDirTest::TearDown();
  }

  // A database with `count` items from seed 1 on, written by the engine,
  // which is stopped again.
  void MakeDatabase(const std::string& path, uint32_t count) {
    ASSERT_EQ(StartOn(path, 0), BRIX_STATUS_SUCCESS);
    ASSERT_EQ(StoreRange(1, count + 1), 0);
    ASSERT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
    ASSERT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
  }

  static void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
};

// --- Database files that are not what they should be -------------------------

TEST_F(FaultTest, GarbageDatabaseIsRefusedAndLeftUntouched) {
  std::string garbage(64 * 1024, '\0');
  uint32_t x = 12345;
  for (char& c : garbage) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  const std::string path = PathIn("ac.db");
  WriteAll(path, garbage);

  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Init or Update Schema failed. rc: 26"));
  // The file may hold something the host still wants: it is not replaced.
  EXPECT_EQ(ReadFile(path), garbage);
  // Without an engine every call answers so, and nothing reaches the file.
  ac_wrapper_event_s event{};
  event.type = 23;
  event.name = "/usr/bin/true";
  EXPECT_EQ(app_ctl(nullptr, &event, nullptr), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(Store(1, false), BRIX_STATUS_NOT_STARTED);
  EXPECT_EQ(ReadFile(path), garbage);
}

TEST_F(FaultTest, DatabaseCutToNothingStartsAfresh) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 10);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  // SQLite takes an empty file for a new database: the schema is built.
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(Logged(BRIX_LOG_INFO, "SCHEMA user_version: 0"));
  EXPECT_EQ(Store(1, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(path).size(), 1u);
}

TEST_F(FaultTest, DatabaseCutInsideItsHeaderIsRefused) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 10);
  ASSERT_EQ(truncate(path.c_str(), 50), 0);
  // The half header reads as version 0, but building the schema over it
  // finds the file malformed (SQLITE_CORRUPT).
  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                     "sqlite3_exec for schema size failed fro version 0. rc: 11"));
  EXPECT_EQ(Store(1, false), BRIX_STATUS_NOT_STARTED);
}

TEST_F(FaultTest, TruncatedDatabaseIsRefusedAndLeftUntouched) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 3000);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  ASSERT_EQ(truncate(path.c_str(), st.st_size / 2), 0);
  const std::string before = ReadFile(path);
  // The header still counts the pages that are gone: SQLITE_CORRUPT.
  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Init or Update Schema failed. rc: 11"));
  EXPECT_EQ(ReadFile(path), before);
}

TEST_F(FaultTest, DamagedPagesFailTheReadsThatNeedThem) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 3000);
  // The second half of the file becomes noise; the schema in the first
  // pages stays readable, so the engine starts.
  std::string bytes = ReadFile(path);
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 131 + 7);
  WriteAll(path, bytes);
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);

  LogCapture::Clear();
  const std::string payload = PathIn("payload.json");
  EXPECT_EQ(get_inventory(0, 100000, DAL_SOURCE_ALL, payload.c_str(), "s"),
            BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                     "Reading the next row failed, aborting query. rc: 11"));

  // A decision that cannot read the inventory treats the program as not
  // found; lockdown is off, so it is only logged.
  const std::string digest = Digest(2999);
  ac_wrapper_event_s event{};
  event.type = 23;
  event.isexec = 1;
  event.size = 1000 + 2999;
  event.name = "/srv/items/item-2999";
  event.processName = "/usr/bin/bash";
  event.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
  ac_wrapper_response_s response{};
  EXPECT_EQ(app_ctl(nullptr, &event, &response), BRIX_STATUS_SUCCESS);

  // Metrics still come back; a member whose query failed is left out.
  uint32_t length = 0;
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  std::vector<char> buffer(length);
  EXPECT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  cJSON* root = cJSON_Parse(buffer.data());
  EXPECT_NE(root, nullptr);
  cJSON_Delete(root);
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
}

TEST_F(FaultTest, DatabasePathThatIsAFolderIsRefused) {
  const std::string path = PathIn("folder.db");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "sqlite3_open_v2 failed. rc: 14"));
}

TEST_F(FaultTest, MissingFolderFailsTheStartUntilItExists) {
  const std::string path = PathIn("not/yet/ac.db");
  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "sqlite3_open_v2 failed. rc: 14"));
  EXPECT_EQ(Store(1, false), BRIX_STATUS_NOT_STARTED);
  // Nothing of the failed start is left in the way of the next one.
  ASSERT_EQ(mkdir(PathIn("not").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(PathIn("not/yet").c_str(), 0755), 0);
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(1, false), BRIX_STATUS_SUCCESS);
}

// --- Permissions ---------------------------------------------------------------

TEST_F(FaultTest, ReadOnlyDatabaseStillDecidesButRefusesEveryWrite) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 3);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const std::string out = PathIn("out");  // where the child may write
  ASSERT_EQ(mkdir(out.c_str(), 0777), 0);
  ASSERT_EQ(chmod(out.c_str(), 0777), 0);

  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(path));
        // A known program is still recognised from the file.
        const std::string digest = Digest(2);
        ac_wrapper_event_s event{};
        event.type = 23;
        event.isexec = 1;
        event.size = 1002;
        event.name = "/srv/items/item-2";
        event.processName = "/usr/bin/bash";
        event.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
        ac_wrapper_response_s response{};
        say("decide", app_ctl(nullptr, &event, &response));
        say("decision", std::to_string(response.decision));
        say("store", Store(10, false));
        say("buffer", Store(11, true));
        say("flush", flush_db_buffer());
        say("purge", purge_db(DAL_SOURCE_SCANNED_ITEMS));
        say("export", get_inventory(0, 10, DAL_SOURCE_ALL,
                                    (out + "/payload.json").c_str(), "s"));
        say.Logs(BRIX_LOG_WARNING);
        say.Logs(BRIX_LOG_ERROR);
      },
      /*unprivileged=*/true);

  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  // SQLite opens a file it may not write read-only: the rules still apply.
  EXPECT_EQ(child.Value("start"), "0x00000000");
  EXPECT_EQ(child.Value("decide"), "0x00000000");
  EXPECT_EQ(child.Value("decision"), "1");
  // Every write says it failed, with SQLITE_READONLY in its log line.
  EXPECT_EQ(child.Value("store"), "0xc0000000");
  EXPECT_EQ(child.Value("buffer"), "0x00000000");  // only queued so far
  EXPECT_EQ(child.Value("flush"), "0xc0000000");
  EXPECT_EQ(child.Value("purge"), "0xc0000000");
  EXPECT_TRUE(child.Said(
      "log Unable to execute sqlite insert statement. Error code: 8"));
  EXPECT_TRUE(child.Said(
      "log StoreItemFlushInternal - 1 records not written, kept for the next "
      "flush. rc: 8"));
  // Reading the inventory out needs no write.
  EXPECT_EQ(child.Value("export"), "0x00000000");
  EXPECT_EQ(NamesIn(path).size(), 3u);
}

TEST_F(FaultTest, RefusedRecordsStayQueuedAndAreRetriedAtEveryStore) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 1);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(path, BRIX_LOG_ERROR));
        // The automatic flush fails at the 1001st record and keeps them all;
        // every store after it tries again and fails the same way.
        std::string refused;
        for (uint32_t seed = 1; seed <= 1003; ++seed)
          if (Store(seed, true) != BRIX_STATUS_SUCCESS)
            refused += " " + std::to_string(seed);
        say("refused", refused);
        say("flush", flush_db_buffer());
        say.Logs(BRIX_LOG_ERROR);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  EXPECT_EQ(child.Value("start"), "0x00000000");
  EXPECT_EQ(child.Value("refused"), " 1001 1002 1003");
  EXPECT_EQ(child.Value("flush"), "0xc0000000");
  std::vector<std::string> expected;
  for (const char* count : {"1001", "1002", "1003", "1003"})
    expected.push_back(std::string("log StoreItemFlushInternal - ") + count +
                       " records not written, kept for the next flush. rc: 8");
  std::vector<std::string> logged;
  for (const std::string& line : child.lines)
    if (line.find("records not written") != std::string::npos)
      logged.push_back(line);
  EXPECT_EQ(logged, expected);
}

TEST_F(FaultTest, ReadOnlyEmptyDatabaseCannotBeCreated) {
  const std::string path = PathIn("ac.db");
  WriteAll(path, "");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(path));
        say.Logs(BRIX_LOG_ERROR);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  EXPECT_EQ(child.Value("start"), "0xc0000006");
  EXPECT_TRUE(child.Said(
      "log sqlite3_exec for schema size failed fro version 0. rc: 8"));
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(FaultTest, FolderThatCannotBeWrittenRefusesANewDatabase) {
  const std::string folder = PathIn("sealed");
  ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(folder + "/ac.db"));
        say.Logs(BRIX_LOG_ERROR);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  EXPECT_EQ(child.Value("start"), "0xc0000006");
  EXPECT_TRUE(child.Said("log sqlite3_open_v2 failed. rc: 14"));
}

// --- Another process holding the file -----------------------------------------

TEST_F(FaultTest, WriterLockBeyondTheBusyTimeoutFailsAndLosesNothing) {
  LockHolder other;  // forked before anything here touches SQLite
  const std::string path = PathIn("ac.db");
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(StoreRange(1, 51), 0);  // queued, not yet written

  ASSERT_TRUE(other.LockExclusive(path));
  // Each call waits out the busy timeout once, then gives up.  A flush
  // stops at its first refused insert: it must not wait once per item.
  EXPECT_EQ(Store(100, false), BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_WARNING,
                     "Unable to execute sqlite insert statement. Error code: 5"));
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                     "StoreItemFlushInternal - 50 records not written, kept "
                     "for the next flush. rc: 5"));
  ASSERT_TRUE(other.Release());

  // The queued items were kept, and the next flush writes them all.
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
  const std::set<std::string> names = NamesIn(path);
  EXPECT_EQ(names.size(), 50u);
  EXPECT_EQ(names.count("item-100"), 0u);
}

TEST_F(FaultTest, ReaderLockBeyondTheBusyTimeoutFailsTheCommit) {
  LockHolder other;
  const std::string path = PathIn("ac.db");
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  LogCapture::Clear();
  ASSERT_EQ(StoreRange(1, 21), 0);

  // A reader lets the inserts in but keeps the commit from finishing.  A
  // flush whose commit failed has written nothing and must say so; had it
  // reported success, the items would be lost with the process.
  ASSERT_TRUE(other.LockShared(path));
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                     "StoreItemFlushInternal - 20 records not written, kept "
                     "for the next flush. rc: 5"));
  ASSERT_TRUE(other.Release());
  EXPECT_EQ(NamesIn(path).size(), 0u);

  // No transaction was left open: a direct store commits at once.
  EXPECT_EQ(Store(100, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(path).count("item-100"), 1u);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(path).size(), 21u);
}

TEST_F(FaultTest, StartWhileAnotherProcessHoldsTheFileFails) {
  LockHolder other;
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 1);
  ASSERT_TRUE(other.LockExclusive(path));
  EXPECT_EQ(StartOn(path), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Init or Update Schema failed. rc: 5"));
  ASSERT_TRUE(other.Release());
  EXPECT_EQ(NamesIn(path).size(), 1u);

  // The file was opened before it could be read, and the connection stays
  // open: the same path is now refused as a change of path, while a start
  // without a path keeps the one given and prepares what is missing.
  EXPECT_EQ(StartOn(path), BRIX_STATUS_BAD_PATH);
  LogCapture::Clear();
  ac_engine_start_s again = MakeStart(nullptr, &LogCapture::Callback, kLogAll);
  ASSERT_EQ(engine_start(&again), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(Logged(BRIX_LOG_WARNING, "m_DB is not null."));
  EXPECT_EQ(Store(2, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(path).size(), 2u);
}

// --- A disk that fills up -----------------------------------------------------

// The file size limit of the process stands in for a full disk: writes
// past it fail (SIGXFSZ is ignored, so write returns EFBIG).
TEST_F(FaultTest, DiskFillingDuringAnImportKeepsWhatWasAcknowledged) {
  const std::string path = PathIn("ac.db");
  const ChildOutcome child = RunInChild([&](const Say& say) {
    signal(SIGXFSZ, SIG_IGN);
    say("start", StartOn(path, BRIX_LOG_WARNING | BRIX_LOG_ERROR));
    say("refused-before", std::to_string(StoreRange(1, 201)));
    say("flush-before", flush_db_buffer());

    struct stat st;
    stat(path.c_str(), &st);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(st.st_size) + 8192;
    say("limit", std::to_string(setrlimit(RLIMIT_FSIZE, &limit)));

    say("refused-full", std::to_string(StoreRange(1001, 1601)));
    say("flush-full", flush_db_buffer());
    // With the 600 items still queued the rules pass 1000 in the buffer,
    // and every rule after that tries the flush again.
    say("import-full",
        set_ruleset_buffer(false, Ruleset(5001, 500).c_str(), "corp-rules"));
    say.Logs(BRIX_LOG_ERROR);

    // Room again: everything still queued is written.
    limit.rlim_cur = unlimited;
    setrlimit(RLIMIT_FSIZE, &limit);
    say("flush-after", flush_db_buffer());
  });

  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  EXPECT_EQ(child.Value("start"), "0x00000000");
  EXPECT_EQ(child.Value("flush-before"), "0x00000000");
  ASSERT_EQ(child.Value("limit"), "0");
  // With the disk full nothing is acknowledged...
  EXPECT_EQ(child.Value("flush-full"), "0xc0000000");
  // ...the import itself only reports a ruleset it could not read (its
  // rows are logged and kept in the buffer)...
  EXPECT_EQ(child.Value("import-full"), "0x00000000");
  bool explained = false;
  for (const std::string& line : child.lines)
    explained |= line.find("records not written, kept for the next flush") !=
                 std::string::npos;
  EXPECT_TRUE(explained);
  // ...and once there is room, nothing was lost.
  EXPECT_EQ(child.Value("flush-after"), "0x00000000");

  EXPECT_EQ(IntegrityOf(path), "ok");
  const std::set<std::string> names = NamesIn(path);
  EXPECT_EQ(Missing(names, "item-", 1, 200), "");
  EXPECT_EQ(Missing(names, "item-", 1001, 1600), "");
  EXPECT_EQ(Missing(names, "rule-", 5001, 5500), "");
}

// --- Killed processes -------------------------------------------------------

TEST_F(FaultTest, AcknowledgedItemsSurviveAKill) {
  const std::string path = PathIn("ac.db");
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(path, 0));
        say("refused", std::to_string(StoreRange(1, 501)));
        for (uint32_t seed = 501; seed <= 520; ++seed)
          if (Store(seed, false) != BRIX_STATUS_SUCCESS) say("refused", "direct");
        say("flush", flush_db_buffer());
        // Queued after the flush: not acknowledged, and lost with the
        // process.
        StoreRange(600, 650);
        say("ready", "");
        pause();
      },
      false, [](const std::string& line) { return line == "ready "; });

  ASSERT_TRUE(child.killed);
  ASSERT_TRUE(WIFSIGNALED(child.status));
  EXPECT_EQ(child.Value("refused"), "0");
  ASSERT_EQ(child.Value("flush"), "0x00000000");
  EXPECT_EQ(IntegrityOf(path), "ok");
  const std::set<std::string> names = NamesIn(path);
  EXPECT_EQ(names.size(), 520u);
  EXPECT_EQ(Missing(names, "item-", 1, 520), "");
  // The engine opens the file the dead process left behind.
  EXPECT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
}

TEST_F(FaultTest, KillInTheMiddleOfWritesLosesNothingAcknowledged) {
  const std::string path = PathIn("ac.db");
  constexpr uint32_t kBatch = 97;
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        if (StartOn(path, 0) != BRIX_STATUS_SUCCESS) return;
        // Far more batches than the parent waits for before its kill.
        for (uint32_t batch = 0; batch < 1000; ++batch) {
          const uint32_t first = batch * (kBatch + 1) + 1;
          StoreRange(first, first + kBatch);
          // One direct store per batch, acknowledged by its own result.
          if (Store(first + kBatch, false) == BRIX_STATUS_SUCCESS)
            say("stored", std::to_string(first + kBatch));
          if (flush_db_buffer() == BRIX_STATUS_SUCCESS)
            say("acked", std::to_string(first));
        }
      },
      false,
      [acks = 0](const std::string& line) mutable {
        // Killed while the next batch is being written.
        return line.rfind("acked ", 0) == 0 && ++acks == 25;
      });

  ASSERT_TRUE(child.killed);
  EXPECT_EQ(IntegrityOf(path), "ok");
  const std::set<std::string> names = NamesIn(path);
  size_t checked = 0;
  for (const std::string& line : child.lines) {
    if (line.rfind("acked ", 0) == 0) {
      const uint32_t first = static_cast<uint32_t>(std::stoul(line.substr(6)));
      EXPECT_EQ(Missing(names, "item-", first, first + kBatch - 1), "");
      checked += kBatch;
    } else if (line.rfind("stored ", 0) == 0) {
      ++checked;
      EXPECT_EQ(names.count("item-" + line.substr(7)), 1u) << line;
    }
  }
  EXPECT_GE(checked, 25u * kBatch);
  // A journal left by the kill is rolled back when the file is next opened.
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(1000000, false), BRIX_STATUS_SUCCESS);
}

// --- Payload paths -------------------------------------------------------------

TEST_F(FaultTest, PayloadPathsThatMustNotBeWritten) {
  const std::string path = PathIn("ac.db");
  ASSERT_EQ(StartOn(path), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(Store(1, false), BRIX_STATUS_SUCCESS);
  const std::string dbBefore = ReadFile(path);

  // A link to the database itself: following it would truncate the file.
  ASSERT_EQ(symlink(path.c_str(), PathIn("to-db").c_str()), 0);
  LogCapture::Clear();
  EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, PathIn("to-db").c_str(), "s"),
            BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Couldn't create Payload"));
  EXPECT_EQ(ReadFile(path), dbBefore);
  // A dangling link: its target is not created.
  ASSERT_EQ(symlink(PathIn("made-by-link").c_str(), PathIn("dangling").c_str()),
            0);
  EXPECT_EQ(
      get_inventory(0, 10, DAL_SOURCE_ALL, PathIn("dangling").c_str(), "s"),
      BRIX_STATUS_FAILED);
  EXPECT_NE(access(PathIn("made-by-link").c_str(), F_OK), 0);
  // A device that is always full: the write fails and says where.
  if (access("/dev/full", W_OK) == 0) {
    LogCapture::Clear();
    EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, "/dev/full", "s"),
              BRIX_STATUS_FAILED);
    EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                       "Write to payload /dev/full failed, aborting query"));
  }
  // The export holds the DAL lock while it writes; it let go every time.
  EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, PathIn("ok.json").c_str(), "s"),
            BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(2, false), BRIX_STATUS_SUCCESS);
}

TEST_F(FaultTest, PayloadThatAnUnprivilegedHostCannotWrite) {
  const std::string path = PathIn("ac.db");
  MakeDatabase(path, 2);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const std::string payload = PathIn("payload.json");
  WriteAll(payload, "earlier page\r\n");
  ASSERT_EQ(chmod(payload.c_str(), 0444), 0);
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(path));
        say("export", get_inventory(0, 10, DAL_SOURCE_ALL, payload.c_str(), "s"));
        say.Logs(BRIX_LOG_ERROR);
      },
      /*unprivileged=*/true);
  ASSERT_TRUE(child.ExitedCleanly()) << child.status;
  EXPECT_EQ(child.Value("start"), "0x00000000");
  EXPECT_EQ(child.Value("export"), "0xc0000000");
  EXPECT_TRUE(child.Said("log Couldn't create Payload"));
  EXPECT_EQ(ReadFile(payload), "earlier page\r\n");
}

// --- Very long paths and names ----------------------------------------------

TEST_F(FaultTest, DatabasePathsBeyondTheLimitsAreRefused) {
  // A component longer than a file name may be.
  const std::string longName = PathIn(std::string(NAME_MAX + 1, 'n') + ".db");
  EXPECT_EQ(StartOn(longName), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "sqlite3_open_v2 failed. rc: 14"));
  // A path longer than PATH_MAX.
  std::string longPath = dir();
  while (longPath.size() <= PATH_MAX) longPath += "/" + std::string(200, 'p');
  EXPECT_EQ(StartOn(longPath + "/ac.db"), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "sqlite3_open_v2 failed. rc: 14"));
  // SQLite takes no database path longer than 512 bytes, even where every
  // folder exists.
  std::string deep = dir();
  while (deep.size() < 600) {
    deep += "/" + std::string(50, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  LogCapture::Clear();
  EXPECT_EQ(StartOn(deep + "/ac.db"), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "sqlite3_open_v2 failed. rc: 14"));
  // Refusals leave no connection behind: a usable path still starts.
  EXPECT_EQ(StartOn(PathIn("ac.db")), BRIX_STATUS_SUCCESS);
}

TEST_F(FaultTest, RulesetAndPayloadPathsBeyondPathMaxFail) {
  ASSERT_EQ(StartOn(PathIn("ac.db")), BRIX_STATUS_SUCCESS);
  const std::string tooLong = "/" + std::string(PATH_MAX + 10, 'r');
  EXPECT_EQ(set_ruleset(false, tooLong.c_str(), "corp"), BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR,
                     "BRIXDAL::ImportRuleset Unable to get ruleset file "
                     "information"));
  EXPECT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, tooLong.c_str(), "s"),
            BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Couldn't create Payload"));
}

TEST_F(FaultTest, EventsWithHugeNamesAndCommandLinesAreDecided) {
  ASSERT_EQ(StartOn(PathIn("ac.db")), BRIX_STATUS_SUCCESS);
  // Trust rules make the pattern matcher walk every long name.
  ASSERT_EQ(set_ruleset_buffer(false, R"({"Trustrules": [
      {"processName": "/usr/*/py*", "paths": "/opt/**/bin/*", "trustType": 2},
      {"paths": "/srv/**/x?/*.sh;/home/*/", "trustType": 4},
      {"paths": "/var/cache/**", "trustType": 3}]})",
                               "corp-trustrules"),
            BRIX_STATUS_SUCCESS);

  std::string deep;  // beyond PATH_MAX, in components a file system allows
  while (deep.size() < 8 * 1024) deep += "/" + std::string(NAME_MAX, 'd');
  const std::string huge = "/opt" + std::string(64 * 1024, 'h') + "/bin/tool";
  const std::string commandLine(1024 * 1024, 'c');
  const std::string longUser(4096, 'u');
  const std::string digest = Digest(77);

  auto decide = [&](uint32_t type, const std::string& name,
                    const std::string& process) {
    const std::string cmdLine = commandLine + " " + name;
    const std::string groups = longUser + ",wheel";
    ac_wrapper_event_s event{};
    event.pid = 4242;
    event.type = type;
    event.isexec = 1;
    event.dirty = 1;
    event.mode = 4;
    event.name = name.c_str();
    event.processName = process.c_str();
    event.cmdLine = cmdLine.c_str();
    event.user = longUser.c_str();
    event.group = groups.c_str();
    event.fileSha256 = reinterpret_cast<const unsigned char*>(digest.data());
    ac_wrapper_response_s response{};
    return app_ctl(nullptr, &event, &response);
  };
  // Program starts, mappings and scripts of unknown files are logged only.
  EXPECT_EQ(decide(23, deep + "/tool", "/usr/bin/bash"), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(decide(23, huge, huge), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(decide(53, huge, "/usr/bin/python3"), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(decide(15, deep + "/run.py", "/usr/bin/python3"),
            BRIX_STATUS_SUCCESS);
  EXPECT_EQ(decide(0, huge, huge), BRIX_STATUS_SUCCESS);
  // A change to a file that cannot be examined is an error verdict.
  LogCapture::Clear();
  EXPECT_EQ(decide(36, huge, "/usr/bin/cp"), BRIX_STATUS_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_TRACE, "Error getting attributes of path /opt"));
  // Log lines are cut at their buffer, not written past it.
  for (const CapturedLog& line : LogCapture::Lines())
    EXPECT_LT(line.message.size(), 1024u);

  // Items and rulesets with names of any length are stored and exported.
  const std::string longFile(256 * 1024, 'f');
  ac_db_item_s item{};
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  item.fileName = longFile.c_str();
  item.path = deep.c_str();
  const std::string native = deep + "/" + longFile;
  item.nativePath = native.c_str();
  item.ruleset = "";
  EXPECT_EQ(store_item(&item, 0), BRIX_STATUS_SUCCESS);
  const std::string longRuleset(64 * 1024, 'R');
  EXPECT_EQ(set_ruleset_buffer(true, Ruleset(1, 2).c_str(), longRuleset.c_str()),
            BRIX_STATUS_SUCCESS);
  const std::string payload = PathIn("payload.json");
  ASSERT_EQ(get_inventory(0, 10, DAL_SOURCE_ALL, payload.c_str(), "s"),
            BRIX_STATUS_SUCCESS);
  const std::string text = ReadFile(payload);
  const size_t end = text.find("\r\n");
  ASSERT_NE(end, std::string::npos);
  cJSON* first = cJSON_Parse(text.substr(0, end).c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(strlen(cJSON_GetObjectItem(first, "fileName")->valuestring),
            longFile.size());
  cJSON_Delete(first);
  uint32_t length = 0;
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_GT(length, longRuleset.size());
}

}  // namespace
