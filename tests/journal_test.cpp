// Tests of the decision journal: brixd's writer (queue, rotation, files it
// refuses), the line format, the reader that brixctl's report and suggest
// share.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "Journal.h"
#include "JournalFormat.h"
#include "JournalReader.h"
#include "test_util.h"

namespace {

using brix_host::JournalKind;
using brix_host::JournalRecord;

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');
const std::string kHashC(64, 'c');

JournalRecord Decision(JournalKind kind, const std::string& path, const std::string& sha256,
                       const std::string& verdict = "logged only", uint64_t time = 1700000000000) {
  JournalRecord record;
  record.timeMillis = time;
  record.kind = kind;
  record.verdict = verdict;
  record.path = path;
  record.sha256 = sha256;
  record.size = 4096;
  record.pid = 42;
  record.process = "/usr/bin/bash";
  record.parent = "/usr/sbin/sshd";
  record.user = "alice";
  record.group = "staff";
  return record;
}

void Append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

std::vector<JournalRecord> ReadAllRecords(const std::vector<std::string>& paths,
                                          brix_host::JournalReading* reading,
                                          brix_host::JournalFilter filter = {}) {
  std::vector<JournalRecord> records;
  std::string error;
  EXPECT_TRUE(brix_host::ReadJournals(
      paths, filter, [&](const JournalRecord& r) { records.push_back(r); }, reading, &error))
      << error;
  return records;
}

// ---------------------------------------------------------------- format

TEST(JournalFormatTest, LinesRoundTripAndBadLinesSayWhy) {
  JournalRecord record = Decision(JournalKind::kDrift, "/srv/a b\n\"c\"", kHashA, "drift trusted");
  record.oldPath = "/srv/old";
  record.denied = true;
  record.reason = "deadline";
  record.source = 4;
  record.isAuthorized = 4;
  record.ruleset = "site";
  const std::string line = brix_host::JournalLine(record);
  EXPECT_EQ(line.find('\n'), std::string::npos) << "one record, one line";
  JournalRecord back;
  std::string error;
  ASSERT_TRUE(brix_host::ParseJournalLine(line, &back, &error)) << error;
  EXPECT_EQ(back.timeMillis, record.timeMillis);
  EXPECT_EQ(back.kind, JournalKind::kDrift);
  EXPECT_EQ(back.path, record.path);
  EXPECT_EQ(back.oldPath, "/srv/old");
  EXPECT_TRUE(back.denied);
  EXPECT_EQ(back.reason, "deadline");
  EXPECT_EQ(back.parent, "/usr/sbin/sshd");
  EXPECT_EQ(back.isAuthorized, 4u);
  EXPECT_EQ(back.ruleset, "site");

  JournalRecord summary;
  summary.kind = JournalKind::kSummary;
  summary.timeMillis = 1700000060000;
  summary.sinceMillis = 1700000000000;
  summary.inventoryStarts = 7;
  summary.dropped = 2;
  ASSERT_TRUE(brix_host::ParseJournalLine(brix_host::JournalLine(summary), &back, &error));
  EXPECT_EQ(back.kind, JournalKind::kSummary);
  EXPECT_EQ(back.sinceMillis, 1700000000000u);
  EXPECT_EQ(back.inventoryStarts, 7u);
  EXPECT_EQ(back.dropped, 2u);

  const std::string base = R"({"time":"2026-12-06T05:00:00.000Z","kind":"start",)"
                           R"("verdict":"blocked","answer":"deny",)";
  for (const auto& [bad, why] : std::vector<std::pair<std::string, std::string>>{
           {"[1]", "not a JSON object"},
           {base + R"("path":"relative"})", "absolute"},
           {base + R"("path":"/x","sha256":"abc"})", "sha256"},
           {base + R"("path":"/x","size":-1})", "size"},
           {R"({"time":"yesterday","kind":"start"})", "time"},
           {R"({"time":"2026-12-06T05:00:00Z","kind":"exec"})", "kind"}}) {
    EXPECT_FALSE(brix_host::ParseJournalLine(bad, &back, &error)) << bad;
    EXPECT_NE(error.find(why), std::string::npos) << bad << ": " << error;
  }
}

TEST(JournalFormatTest, EntryKeepsWhatMattersAndCountsInventoryAllows) {
  using brixd::JournalEntry;
  using brixd::JournalEntryFor;
  ac_wrapper_response_s response{};
  response.action = BRIX_ACTION_ALLOW;
  response.type = 1;
  // Unknown software without lockdown: what lockdown would stop.
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kRecord);
  response.decision = 1;
  response.isAuthorized = 3;
  response.source = DAL_SOURCE_SCANNED_ITEMS;
  EXPECT_EQ(JournalEntryFor(JournalKind::kLibrary, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kCountInventory);
  // The fail policy always leaves a line, whatever the engine said.
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_SUCCESS, response, true, false),
            JournalEntry::kRecord);
  response.isAuthorized = 4;
  response.source = DAL_SOURCE_TRUST_RULES;
  EXPECT_EQ(JournalEntryFor(JournalKind::kScript, BRIX_STATUS_SUCCESS, response, false, false),
            JournalEntry::kRecord);
  EXPECT_EQ(JournalEntryFor(JournalKind::kStart, BRIX_STATUS_BLOCK, response, false, false),
            JournalEntry::kRecord);

  ac_wrapper_response_s drift{};
  drift.type = 4;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, false),
            JournalEntry::kSkip) << "a written text file is not worth a line";
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, true),
            JournalEntry::kRecord);
  drift.isAuthorized = 3;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, true),
            JournalEntry::kSkip) << "known content";
  drift.isAuthorized = 1;
  EXPECT_EQ(JournalEntryFor(JournalKind::kDrift, BRIX_STATUS_SUCCESS, drift, false, false),
            JournalEntry::kRecord) << "recorded by the maintenance window";

  uint64_t bytes = 0;
  EXPECT_TRUE(brixd::ParseByteSize("64K", &bytes));
  EXPECT_EQ(bytes, 65536u);
  EXPECT_TRUE(brixd::ParseByteSize("3M", &bytes));
  EXPECT_EQ(bytes, 3u << 20);
  EXPECT_FALSE(brixd::ParseByteSize("12X", &bytes));
  EXPECT_FALSE(brixd::ParseByteSize("99999999999999999999G", &bytes));
}

// ---------------------------------------------------------------- writer

class JournalWriterTest : public TempDirTest {
 protected:
  brixd::JournalSettings Settings() {
    brixd::JournalSettings settings;
    settings.path = PathIn("journal.jsonl");
    return settings;
  }
  std::vector<std::string> errors_;
  brixd::Journal::ErrorSink Sink() {
    return [this](const std::string& error) { errors_.push_back(error); };
  }
};

TEST_F(JournalWriterTest, AppendsAcrossRestartsAfterACutOffLine) {
  {
    brixd::Journal journal(Settings(), Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    journal.Add(Decision(JournalKind::kStart, "/srv/a", kHashA));
    journal.CountInventoryAllow(JournalKind::kStart);
    journal.CountInventoryAllow(JournalKind::kLibrary);
    journal.Stop();
    EXPECT_EQ(journal.written(), 2u) << "the record and the closing summary";
  }
  struct stat st {};
  ASSERT_EQ(stat(PathIn("journal.jsonl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A crash in the middle of a line: the next brixd must not glue its
  // first record to it.
  Append(PathIn("journal.jsonl"), R"({"time":"2026-12-06T05:00:00.000Z","ki)");
  {
    brixd::Journal journal(Settings(), Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    journal.Add(Decision(JournalKind::kScript, "/srv/b.py", kHashB));
  }  // the destructor writes what is queued
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({PathIn("journal.jsonl")}, &reading);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].path, "/srv/a");
  EXPECT_EQ(records[1].kind, JournalKind::kSummary);
  EXPECT_EQ(records[1].inventoryStarts, 1u);
  EXPECT_EQ(records[1].inventoryLibraries, 1u);
  EXPECT_EQ(records[2].path, "/srv/b.py");
  EXPECT_EQ(reading.badLines, 1u) << "the cut-off line, now complete but not a record";
  EXPECT_TRUE(errors_.empty());
}

TEST_F(JournalWriterTest, RotatesBySizeKeepingNFilesAndTheReaderTakesThemInOrder) {
  brixd::JournalSettings settings = Settings();
  settings.maxSize = 1024;
  settings.keep = 2;
  {
    brixd::Journal journal(settings, Sink());
    std::string error;
    ASSERT_TRUE(journal.Start(&error)) << error;
    // Each about 300 bytes: three fit in a file, so 20 records need
    // seven files and only the newest three stay.
    for (int i = 0; i < 20; ++i)
      journal.Add(Decision(JournalKind::kStart, "/srv/p" + std::to_string(i), kHashA, "logged only",
                           1700000000000 + static_cast<uint64_t>(i)));
    journal.Stop();
  }
  for (const char* name : {"journal.jsonl", "journal.jsonl.1", "journal.jsonl.2"}) {
    struct stat st {};
    ASSERT_EQ(stat(PathIn(name).c_str(), &st), 0) << name;
    EXPECT_LE(st.st_size, 1024) << name;
  }
  EXPECT_NE(access(PathIn("journal.jsonl.3").c_str(), F_OK), 0);
  brix_host::JournalReading reading;
  // Named twice (once through a rotated file): read once.
  const auto records =
      ReadAllRecords({PathIn("journal.jsonl"), PathIn("journal.jsonl.1")}, &reading);
  ASSERT_EQ(reading.files.size(), 3u);
  EXPECT_EQ(reading.files[0], PathIn("journal.jsonl.2"));
  ASSERT_GE(records.size(), 5u);
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_LE(records[i - 1].timeMillis, records[i].timeMillis) << "oldest file first";
  EXPECT_EQ(records.back().kind, JournalKind::kSummary);
  EXPECT_EQ(records[records.size() - 2].path, "/srv/p19");

  // --since and --until keep records inside the window only.
  brix_host::JournalReading window;
  const auto inside = ReadAllRecords({PathIn("journal.jsonl")}, &window,
                                     {1700000000018, 1700000000019});
  EXPECT_EQ(inside.size(), 2u);
  EXPECT_GE(window.outsideTime, 1u);
}

TEST_F(JournalWriterTest, RefusesLinksAndCountsWhatItDrops) {
  const std::string target = PathIn("elsewhere");
  Append(target, "");
  ASSERT_EQ(symlink(target.c_str(), PathIn("journal.jsonl").c_str()), 0);
  std::string error;
  {
    brixd::Journal journal(Settings(), Sink());
    EXPECT_FALSE(journal.Start(&error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  }
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);
  ASSERT_EQ(link(target.c_str(), PathIn("journal.jsonl").c_str()), 0);
  {
    brixd::Journal journal(Settings(), Sink());
    EXPECT_FALSE(journal.Start(&error)) << "a second name could be anyone's file";
  }
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);
  ASSERT_EQ(mkfifo(PathIn("journal.jsonl").c_str(), 0600), 0);
  {
    brixd::Journal journal(Settings(), Sink());
    EXPECT_FALSE(journal.Start(&error)) << "a FIFO must neither hang nor be written";
  }
  ASSERT_EQ(unlink(PathIn("journal.jsonl").c_str()), 0);

  brixd::JournalSettings settings = Settings();
  settings.maxQueued = 0;  // every record finds the queue full
  brixd::Journal journal(settings, Sink());
  ASSERT_TRUE(journal.Start(&error)) << error;
  for (int i = 0; i < 3; ++i) journal.Add(Decision(JournalKind::kStart, "/srv/x", kHashA));
  journal.Stop();
  EXPECT_EQ(journal.dropped(), 3u);
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({PathIn("journal.jsonl")}, &reading);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].dropped, 3u) << "the summary says what was lost";
  ASSERT_FALSE(errors_.empty());
  EXPECT_NE(errors_.back().find("3 records dropped"), std::string::npos);
}

TEST_F(JournalWriterTest, ReaderSkipsBadLinesAndTheCutOffLastLine) {
  const std::string path = PathIn("j.jsonl");
  Append(path, brix_host::JournalLine(Decision(JournalKind::kStart, "/srv/a", kHashA)) + "\n");
  Append(path, "not json\n\n{\"kind\":\"start\"}\n");
  Append(path, brix_host::JournalLine(Decision(JournalKind::kStart, "/srv/b", kHashB)) + "\n");
  Append(path, R"({"time":"2026-12-06T05:00:00.000Z","kind":"sta)");
  brix_host::JournalReading reading;
  const auto records = ReadAllRecords({path}, &reading);
  EXPECT_EQ(records.size(), 2u);
  EXPECT_EQ(reading.badLines, 2u);
  EXPECT_EQ(reading.truncated, 1u);
  ASSERT_EQ(reading.problems.size(), 2u);
  EXPECT_EQ(reading.problems[0].rfind(path + ":2: ", 0), 0u) << reading.problems[0];

  std::string error;
  EXPECT_FALSE(brix_host::ReadJournals({PathIn("missing")}, {}, [](const JournalRecord&) {},
                                       &reading, &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

}  // namespace
