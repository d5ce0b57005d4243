// Faults of the running machine: another process holding the database
// file, a disk that fills up, a process killed in the middle of its
// writes, payload paths that cannot be written, and paths and names far
// beyond their usual lengths.  Each must end in a status code and a log
// line that says what went wrong, never in a crash, and must not lose what
// the engine acknowledged: once flush_db_buffer has returned success, the
// items are in the file, whatever happens to the process afterwards.
#include <signal.h>
#include <sys/resource.h>

#include <climits>
#include <filesystem>
#include <set>
#include <string>

#include <gmock/gmock.h>

#include "brix.h"
#include "fault_util.h"
#include "test_util.h"

namespace {

// --- Another process holding the file -----------------------------------------

TEST_F(FaultTest, WriterLockBeyondTheBusyTimeoutFailsAndLosesNothing) {
  LockHolder other(db_);  // forked before anything here touches SQLite
  ASSERT_EQ(StartOn(db_), BRIX_STATUS_SUCCESS);
  ASSERT_EQ(StoreRange(1, 51), 0);  // queued, not yet written

  ASSERT_TRUE(other.LockExclusive());
  // Each call waits out the busy timeout once, then gives up.  A flush
  // stops at its first refused insert: it must not wait once per item.
  EXPECT_EQ(Store(100, false), BRIX_STATUS_FAILED);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);
  ASSERT_TRUE(other.Release());

  // The queued items were kept, and the next flush writes them all.
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
  const std::set<std::string> names = NamesIn(db_);
  EXPECT_EQ(names.size(), 50u);
  EXPECT_EQ(names.count("item-100"), 0u);
}

TEST_F(FaultTest, ReaderLockBeyondTheBusyTimeoutFailsTheCommit) {
  LockHolder other(db_);
  ASSERT_EQ(StartOn(db_), BRIX_STATUS_SUCCESS);
  LogCapture::Clear();
  ASSERT_EQ(StoreRange(1, 21), 0);

  // A reader lets the inserts in but keeps the commit from finishing.  A
  // flush whose commit failed has written nothing and must say so; had it
  // reported success, the items would be lost with the process.
  ASSERT_TRUE(other.LockShared());
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_FAILED);
  ASSERT_TRUE(other.Release());
  EXPECT_EQ(NamesIn(db_).size(), 0u);

  // No transaction was left open: a direct store commits at once.
  EXPECT_EQ(Store(100, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(db_).count("item-100"), 1u);
  EXPECT_EQ(flush_db_buffer(), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(db_).size(), 21u);
}

TEST_F(FaultTest, StartWhileAnotherProcessHoldsTheFileFails) {
  LockHolder other(db_);
  MakeDatabase(db_, 1);
  ASSERT_TRUE(other.LockExclusive());
  EXPECT_EQ(StartOn(db_), BRIX_STATUS_DB_INIT_FAILED);
  EXPECT_TRUE(Logged(BRIX_LOG_ERROR, "Init or Update Schema failed. rc: 5"));
  ASSERT_TRUE(other.Release());
  EXPECT_EQ(NamesIn(db_).size(), 1u);

  // The file was opened before it could be read, and the connection stays
  // open: the same path is now refused as a change of path, while a start
  // without a path keeps the one given and prepares what is missing.
  EXPECT_EQ(StartOn(db_), BRIX_STATUS_BAD_PATH);
  LogCapture::Clear();
  ac_engine_start_s again = MakeStart(nullptr, &LogCapture::Callback, kLogAll);
  ASSERT_EQ(engine_start(&again), BRIX_STATUS_SUCCESS);
  EXPECT_TRUE(Logged(BRIX_LOG_WARNING, "m_DB is not null."));
  EXPECT_EQ(Store(2, false), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(NamesIn(db_).size(), 2u);
}

// --- A disk that fills up -----------------------------------------------------

// The file size limit of the process stands in for a full disk: writes
// past it fail (SIGXFSZ is ignored, so write returns EFBIG).
TEST_F(FaultTest, DiskFillingDuringAnImportKeepsWhatWasAcknowledged) {
  const ChildOutcome child = RunInChild([&](const Say& say) {
    signal(SIGXFSZ, SIG_IGN);
    say("start", StartOn(db_, BRIX_LOG_WARNING | BRIX_LOG_ERROR));
    say("refused-before", std::to_string(StoreRange(1, 201)));
    say("flush-before", flush_db_buffer());

    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(db_)) + 8192;
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
  EXPECT_THAT(child.lines, testing::Contains(testing::HasSubstr(
                               "records not written, kept for the next flush")));
  // ...and once there is room, nothing was lost.
  EXPECT_EQ(child.Value("flush-after"), "0x00000000");

  EXPECT_EQ(IntegrityOf(db_), "ok");
  const std::set<std::string> names = NamesIn(db_);
  EXPECT_EQ(Missing(names, "item-", 1, 200), "");
  EXPECT_EQ(Missing(names, "item-", 1001, 1600), "");
  EXPECT_EQ(Missing(names, "rule-", 5001, 5500), "");
}

// --- Killed processes -------------------------------------------------------

TEST_F(FaultTest, KillInTheMiddleOfWritesLosesNothingAcknowledged) {
  constexpr uint32_t kBatch = 97;
  const ChildOutcome child = RunInChild(
      [&](const Say& say) {
        if (StartOn(db_, 0) != BRIX_STATUS_SUCCESS) return;
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
  EXPECT_EQ(IntegrityOf(db_), "ok");
  const std::set<std::string> names = NamesIn(db_);
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
  ASSERT_EQ(StartOn(db_), BRIX_STATUS_SUCCESS);
  EXPECT_EQ(Store(1000000, false), BRIX_STATUS_SUCCESS);
}

// --- Very long paths and names ----------------------------------------------

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
  EXPECT_EQ(decide(36, huge, "/usr/bin/cp"), BRIX_STATUS_FAILED);

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
  const JsonPtr first = ParseJson(text.substr(0, text.find("\r\n")));
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(JsonText(first.get(), "fileName") == longFile);
  uint32_t length = 0;
  EXPECT_EQ(get_metrics_mem(nullptr, &length), BRIX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_GT(length, longRuleset.size());
}

}  // namespace
