// Faults in the database file and its permissions: files that are garbage,
// truncated or damaged, read-only files and folders.  Each must end in a
// status code and a log line that says what went wrong, never in a crash,
// and must not lose what the engine acknowledged.
//
// Where the outcome depends on file permissions the engine runs in a child
// process as an unprivileged user (tests run as root in CI, and root writes
// through any permission).
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "brix.h"
#include "fault_util.h"
#include "test_util.h"

namespace {

// --- Database files that are not what they should be -------------------------

// Each start is refused with its reason in the log, in a process of its
// own, and leaves a file that SQLite did not take for its own as it was (it
// may hold something the host still wants).  A file that opened but could
// not be read keeps its connection, so a start on another path is refused
// as a change of path; a file that did not open leaves nothing behind.
TEST_F(FaultTest, UnusableDatabaseFilesAndPathsAreRefused) {
  std::string longPath = dir();
  while (longPath.size() <= PATH_MAX) longPath += "/" + std::string(200, 'p');
  constexpr uint32_t kBadPath = BRIX_STATUS_BAD_PATH, kOk = BRIX_STATUS_SUCCESS;
  const struct {
    const char* what;
    std::function<std::string()> prepare;  // returns the path to start on
    const char* log;
    uint32_t nextStart;
    bool untouched = true;
  } kCases[] = {
      {"garbage",
       [&] {
         std::string garbage(64 * 1024, '\0');
         uint32_t x = 12345;
         for (char& c : garbage) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
         WriteFileAt(PathIn("garbage.db"), garbage);
         return PathIn("garbage.db");
       },
       "Init or Update Schema failed. rc: 26", kBadPath},
      // The half header reads as version 0, but building the schema over
      // it finds the file malformed (SQLITE_CORRUPT).
      {"cut inside its header",
       [&] {
         MakeDatabase(PathIn("header.db"), 10);
         return truncate(PathIn("header.db").c_str(), 50) == 0 ? PathIn("header.db") : "";
       },
       "sqlite3_exec for schema size failed fro version 0. rc: 11", kBadPath,
       /*untouched=*/false},
      // The header still counts the pages that are gone.
      {"cut in half",
       [&] {
         const std::string half = PathIn("half.db");
         MakeDatabase(half, 3000);
         std::filesystem::resize_file(half, std::filesystem::file_size(half) / 2);
         return half;
       },
       "Init or Update Schema failed. rc: 11", kBadPath},
      {"a folder",
       [&] {
         mkdir(PathIn("folder.db").c_str(), 0755);
         return PathIn("folder.db");
       },
       "sqlite3_open_v2 failed. rc: 14", kOk},
      {"missing folder", [&] { return PathIn("not/yet/ac.db"); },
       "sqlite3_open_v2 failed. rc: 14", kOk},
      {"path longer than PATH_MAX", [&] { return longPath + "/ac.db"; },
       "sqlite3_open_v2 failed. rc: 14", kOk},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string fresh = PathIn("fresh-" + std::to_string(n++) + ".db");
    const ChildOutcome child = RunInChild([&](const Say& say) {
      const std::string path = c.prepare();
      const std::string before = ReadFile(path);
      say("start", StartOn(path));
      say("logged", std::to_string(Logged(BRIX_LOG_ERROR, c.log)));
      // Without an engine every call answers so, and nothing reaches the file.
      ac_wrapper_response_s response{};
      say("decide", StartItem(1, response));
      say("store", Store(1, false));
      say("unchanged", std::to_string(ReadFile(path) == before));
      say("next", StartOn(fresh));
    });
    ASSERT_TRUE(child.ExitedCleanly()) << child.status;
    EXPECT_EQ(child.Value("start"), "0xc0000006");
    EXPECT_EQ(child.Value("logged"), "1");
    EXPECT_EQ(child.Value("decide"), "0xc0000002");
    EXPECT_EQ(child.Value("store"), "0xc0000002");
    EXPECT_EQ(child.Value("unchanged"), c.untouched ? "1" : "0");
    EXPECT_EQ(child.Value("next"), StatusHex(c.nextStart));
  }
  // The missing folder, once there, is used.
  ASSERT_EQ(mkdir(PathIn("not").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(PathIn("not/yet").c_str(), 0755), 0);
  ASSERT_EQ(StartOn(PathIn("not/yet/ac.db")), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(1, false), BRIX_STATUS_SUCCESS);
}

TEST_F(FaultTest, DatabaseCutToNothingStartsAfresh) {
  MakeDatabase(db_, 10);
  ASSERT_EQ(truncate(db_.c_str(), 0), 0);
  // SQLite takes an empty file for a new database: the schema is built.
  ASSERT_EQ(StartOn(db_), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(1, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(db_).size(), 1u);
}

TEST_F(FaultTest, DamagedPagesFailTheReadsThatNeedThem) {
  MakeDatabase(db_, 3000);
  // The second half of the file becomes noise; the schema in the first
  // pages stays readable, so the engine starts.
  std::string bytes = ReadFile(db_);
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 131 + 7);
  WriteFileAt(db_, bytes);
  ASSERT_EQ(StartOn(db_), BRIX_STATUS_SUCCESS);

  LogCapture::Clear();
  const std::string payload = PathIn("payload.json");
  EXPECT_EQ(get_inventory(0, 100000, DAL_SOURCE_ALL, payload.c_str(), "s"),
            BRIX_STATUS_FAILED);

  // A decision that cannot read the inventory treats the program as not
  // found; lockdown is off, so it is only logged.
  ac_wrapper_response_s response{};
  EXPECT_EQ(StartItem(2999, response), BRIX_STATUS_SUCCESS);

  // Metrics still come back; a member whose query failed is left out.
  uint32_t length = 0;
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  std::vector<char> buffer(length);
  EXPECT_EQ(get_metrics_mem(buffer.data(), &length), BRIX_STATUS_SUCCESS);
  EXPECT_NE(ParseJson(buffer.data()), nullptr);
  EXPECT_EQ(engine_stop(), BRIX_STATUS_SUCCESS);
}

// --- Permissions ---------------------------------------------------------------

TEST_F(FaultTest, ReadOnlyDatabaseStillDecidesButRefusesEveryWrite) {
  MakeDatabase(db_, 3);
  ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
  const std::string out = PathIn("out");  // where the child may write
  ASSERT_EQ(mkdir(out.c_str(), 0777), 0);
  ASSERT_EQ(chmod(out.c_str(), 0777), 0);

  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        say("start", StartOn(db_));
        // A known program is still recognised from the file.
        ac_wrapper_response_s response{};
        say("decide", StartItem(2, response));
        say("decision", std::to_string(response.decision));
        say("store", Store(10, false));
        say("buffer", Store(11, true));
        say("flush", flush_db_buffer());
        say("purge", purge_db(DAL_SOURCE_SCANNED_ITEMS));
        say("export", get_inventory(0, 10, DAL_SOURCE_ALL,
                                    (out + "/payload.json").c_str(), "s"));
        // The automatic flush fails once more than 1000 records wait (item
        // 11 among them) and keeps them all; every store after it tries
        // again and fails the same way.
        std::string refused;
        for (uint32_t seed = 12; seed <= 1014; ++seed)
          if (Store(seed, true) != BRIX_STATUS_SUCCESS) refused += " " + std::to_string(seed);
        say("refused", refused);
        say("flush-again", flush_db_buffer());
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
  // Each failed call says once, in one line, what was refused and why.
  EXPECT_THAT(child.lines, testing::Contains(
      "log flush_db_buffer wrote nothing: StoreItemFlushInternal kept 1 "
      "records: the database refused them, rc: 8 (attempt to write a "
      "readonly database)"));
  EXPECT_THAT(child.lines, testing::Contains(
      "log purge_db failed: DELETE FROM InventoryItems WHERE source = 3; "
      "failed. rc: 8 (attempt to write a readonly database)"));
  // Reading the inventory out needs no write.
  EXPECT_EQ(child.Value("export"), "0x00000000");
  EXPECT_EQ(NamesIn(db_).size(), 3u);
  // Refused records stay queued, and every flush counts them all.
  EXPECT_EQ(child.Value("refused"), " 1011 1012 1013 1014");
  EXPECT_EQ(child.Value("flush-again"), "0xc0000000");
  std::vector<std::string> expected, logged;
  for (const char* count : {"1", "1001", "1002", "1003", "1004", "1004"})
    expected.push_back(std::string("log StoreItemFlushInternal - ") + count +
                       " records not written, kept for the next flush. rc: 8");
  for (const std::string& line : child.lines)
    if (line.find("records not written") != std::string::npos) logged.push_back(line);
  EXPECT_EQ(logged, expected);
}

TEST_F(FaultTest, DatabaseThatCannotBeCreatedIsRefused) {
  WriteText(db_, "", 0444);  // an empty file that only root may write
  const std::string folder = PathIn("sealed");
  ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
  const std::pair<std::string, std::string> kCases[] = {
      {db_, "log sqlite3_exec for schema size failed fro version 0. rc: 8"},
      {folder + "/ac.db", "log engine_start could not open the database: opening " +
                              folder + "/ac.db failed. rc: 14 (unable to open "
                              "database file)"}};
  for (const auto& [path, log] : kCases) {
    const ChildOutcome child = RunInChild(
        [&](const Say& say) {
          say("start", StartOn(path));
          say.Logs(BRIX_LOG_ERROR);
        },
        /*unprivileged=*/true);
    ASSERT_TRUE(child.ExitedCleanly()) << child.status;
    EXPECT_EQ(child.Value("start"), "0xc0000006") << path;
    EXPECT_THAT(child.lines, testing::Contains(log)) << path;
  }
  EXPECT_EQ(ReadFile(db_), "");
}

}  // namespace
